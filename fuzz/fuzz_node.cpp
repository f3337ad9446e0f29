// Fuzz target for the B-tree node parser: hfslib_parse_node, then
// hfslib_read_header_node on a header node and the record parser of the tree
// on every record of an index or leaf node.
//
// Input: two selector bytes, then the node. Byte 0: bits 0-1 the tree (0 an
// unknown tree, 1 catalog, 2 extents, 3 attributes), bit 2 the key-length
// width of the catalog and extents trees (1 or 2 bytes). Byte 1: bits 0-2 the
// node size 512 << k (k = 7 gives 0, a tree without nodes), bits 3-4 the
// largest attribute key (0, 266, 516, 65535). The node bytes are cut or
// padded with zeros to exactly the node size (at least the 14 bytes of a
// descriptor), in a heap block of that size.
#include "fuzz_common.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace {

const uint16_t max_attr_keys[4] = {0, 266, 516, 65535};

void parse_records(hfslib_vol& vol, uint8_t tree, const hfslib_node_desc& desc, uint8_t** recs,
                   const uint16_t* sizes) {
    for (uint16_t i = 0; i < desc.num_recs; ++i) {
        // Each copy is exactly its record's size, so reading past it is caught.
        const uint8_t* raw = recs[i];
        const size_t len = sizes[i];
        size_t used = 0;
        if (tree == HFSLIB_TREE_CATALOG) {
            hfslib_cat_rec rec{};
            hfslib_cat_key key{};
            int16_t kind = desc.kind;
            used = hfslib_parse_cat_record(raw, len, &rec, &kind, &key, &vol);
            if (used) qfuzz::check(key.name.length <= 255);
        } else if (tree == HFSLIB_TREE_EXTENTS) {
            hfslib_extent extents[8];
            uint32_t child = 0;
            hfslib_ext_key key{};
            void* out = desc.kind == HFSLIB_NODE_LEAF ? static_cast<void*>(extents) : &child;
            used = hfslib_parse_ext_record(raw, len, out, desc.kind, &key, &vol);
        } else {
            hfslib_attr_rec rec{};
            uint32_t child = 0;
            hfslib_attr_key key{};
            const uint8_t* inline_data = nullptr;
            void* out = desc.kind == HFSLIB_NODE_LEAF ? static_cast<void*>(&rec) : &child;
            used = hfslib_parse_attr_record(raw, len, desc.kind, out, &key, &inline_data, &vol);
            if (used && inline_data) {
                qfuzz::check(inline_data >= raw &&
                             rec.inline_data.size <= len - size_t(inline_data - raw));
            }
            if (used) qfuzz::check(key.name.length <= 255);
        }
        qfuzz::check(used <= len);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    qfuzz::install_parser_hooks();
    const uint8_t tree = data[0] & 3;
    const uint8_t width = (data[0] & 4) ? 2 : 1;
    const unsigned k = data[1] & 7;
    const uint16_t node_size = k == 7 ? 0 : static_cast<uint16_t>(512u << k);

    hfslib_vol vol{};
    vol.cat_header.node_size = node_size;
    vol.ext_header.node_size = node_size;
    vol.attr_header.node_size = node_size;
    vol.attr_header.max_key_len = max_attr_keys[(data[1] >> 3) & 3];
    vol.cat_keylen_size = width;
    vol.ext_keylen_size = width;

    // A tree without a node size still gets the descriptor read: the bytes
    // handed over are never shorter than one.
    std::vector<uint8_t> node(std::max<size_t>(node_size, 14), 0);
    std::memcpy(node.data(), data + 2, std::min<size_t>(size - 2, node.size()));

    // The descriptor alone, then with record copies.
    hfslib_node_desc desc{};
    hfslib_vol scratch = vol;
    hfslib_parse_node(node.data(), &desc, nullptr, nullptr, tree, &scratch, nullptr);

    uint8_t** recs = nullptr;
    uint16_t* sizes = nullptr;
    const size_t used = hfslib_parse_node(node.data(), &desc, &recs, &sizes, tree, &vol, nullptr);
    if (used == 0) {
        qfuzz::check(recs == nullptr && sizes == nullptr);
        return 0;
    }
    qfuzz::check(used <= node_size && recs && sizes);
    qfuzz::check(hfslib_valid_node_size(vol.cat_header.node_size) || tree != HFSLIB_TREE_CATALOG ||
                 vol.cat_header.node_size == node_size);

    if (desc.kind == HFSLIB_NODE_HEADER) {
        hfslib_btree_header hr{};
        // The user and map records are at most one node long.
        std::vector<uint8_t> user(node_size), map(node_size);
        hfslib_read_header_node(recs, sizes, desc.num_recs, &hr, user.data(), map.data());
    } else if (tree != 0 && (desc.kind == HFSLIB_NODE_LEAF || desc.kind == HFSLIB_NODE_INDEX)) {
        parse_records(vol, tree, desc, recs, sizes);
    }
    hfslib_free_node_records(recs, sizes, desc.num_recs, nullptr);
    return 0;
}
