// Attributes file: keys and records of the attributes B-tree, the lookup of
// one attribute, the listing of a CNID's attributes and the extent list of
// an attribute stored as a fork.
#include "libhfs/btree.h"
#include "libhfs/btree_internal.h"
#include "libhfs/libhfs.h"
#include "libhfs/report.h"

#include <algorithm>
#include <cstring>

namespace {

using hfslib::byte_reader;
using hfslib::hook_ptr;

constexpr uint16_t min_key_len = 12; // pad, CNID, start block, name length
constexpr uint16_t max_name_units = 255;
constexpr size_t max_extents = 65535;

// A volume whose attributes tree can be searched at all.
bool attributes_usable(const hfslib_vol& vol) {
    return vol.vh.attributes_file.extents[0].block_count != 0 && vol.attr_header.leaf_recs != 0 &&
           vol.attr_header.tree_depth != 0;
}

} // namespace

uint16_t hfslib_build_attr_key(uint32_t cnid, uint32_t start_block, uint16_t name_len,
                               const uint16_t* name, hfslib_attr_key* out) {
    if (cnid == 0 || !out || (!name && name_len != 0)) return 0;
    const uint16_t len = std::min(name_len, max_name_units);
    *out = {};
    out->key_len = static_cast<uint16_t>(min_key_len + 2u * len);
    out->pad = 0;
    out->file_cnid = cnid;
    out->start_block = start_block;
    out->name.length = len;
    if (len) std::memcpy(out->name.units, name, len * sizeof(uint16_t));
    return out->key_len;
}

int hfslib_cmp_attr_keys(const hfslib_attr_key* a, const hfslib_attr_key* b) {
    if (a->file_cnid != b->file_cnid) return hfslib::order(a->file_cnid, b->file_cnid);
    const uint16_t la = std::min(a->name.length, max_name_units);
    const uint16_t lb = std::min(b->name.length, max_name_units);
    const uint16_t common = std::min(la, lb);
    for (uint16_t i = 0; i < common; ++i)
        if (a->name.units[i] != b->name.units[i])
            return int{a->name.units[i]} - int{b->name.units[i]};
    if (la != lb) return int{la} - int{lb};
    return hfslib::order(a->start_block, b->start_block);
}

size_t hfslib_parse_attr_record(const uint8_t* raw, size_t raw_len, int node_kind, void* rec_out,
                                hfslib_attr_key* key_out, const uint8_t** inline_out,
                                const hfslib_vol* vol) {
    if (inline_out) *inline_out = nullptr;
    if (!raw || raw_len < 2 || (!rec_out && !key_out) || !vol) return 0;
    byte_reader r({raw, raw_len});
    const uint16_t key_len = r.u16();
    if (key_len < min_key_len || key_len > vol->attr_header.max_key_len ||
        raw_len < size_t{key_len} + 2)
        return 0;

    if (key_out) {
        hfslib_attr_key key{};
        key.key_len = key_len;
        key.pad = r.u16();
        key.file_cnid = r.u32();
        key.start_block = r.u32();
        const uint16_t name_len = r.u16();
        if (size_t{min_key_len} + 2u * name_len != key_len) return 0;
        key.name.length = std::min(name_len, max_name_units);
        for (uint16_t i = 0; i < key.name.length; ++i) key.name.units[i] = r.u16();
        *key_out = key;
    }
    // The record data begins right behind the key, whatever was decoded.
    byte_reader d({raw + key_len + 2, raw_len - key_len - 2u});
    if (rec_out) {
        if (!d.has(4)) return 0;
        if (node_kind == HFSLIB_NODE_LEAF) {
            hfslib_attr_rec rec{};
            rec.type = d.u32();
            const uint8_t* data = nullptr;
            switch (rec.type) {
            case HFSLIB_ATTR_EXTENTS:
                if (!d.has(68)) return 0;
                rec.reserved = d.u32();
                d.skip(hfslib_parse_extent_record(d.here(), rec.extents));
                break;
            case HFSLIB_ATTR_FORK:
                if (!d.has(84)) return 0;
                rec.reserved = d.u32();
                d.skip(hfslib_parse_fork(d.here(), &rec.fork));
                break;
            case HFSLIB_ATTR_INLINE:
                if (!d.has(12)) return 0;
                rec.reserved = d.u32();
                rec.inline_data.reserved2 = d.u32();
                rec.inline_data.size = d.u32();
                if (!d.has(rec.inline_data.size)) return 0;
                data = d.here();
                d.skip(rec.inline_data.size);
                break;
            default:
                return 0;
            }
            *static_cast<hfslib_attr_rec*>(rec_out) = rec;
            if (inline_out) *inline_out = data;
        } else if (node_kind == HFSLIB_NODE_INDEX) {
            *static_cast<uint32_t*>(rec_out) = d.u32();
        } else {
            return 0;
        }
    }
    return key_len + 2u + d.consumed();
}

int hfslib_lookup_attr(hfslib_vol* vol, const hfslib_attr_key* key, hfslib_attr_rec* rec_out,
                       uint8_t** inline_out, hfslib_cbctx* ctx) {
    if (rec_out) rec_out->type = 0;
    if (inline_out) *inline_out = nullptr;
    if (!rec_out || !vol || !key) return 1;
    if (!attributes_usable(*vol)) return 1;

    using attributes = hfslib::btree<hfslib::attributes_tree>;
    attributes tree(vol, ctx);
    if (!tree.open()) return 1;
    if (tree.find(*key) != attributes::result::found) return 1;
    const hfslib::node_records& node = tree.node();
    const uint16_t at = tree.index();
    hfslib_attr_rec rec{};
    const uint8_t* data = nullptr;
    if (hfslib_parse_attr_record(node.data(at), node.size(at), HFSLIB_NODE_LEAF, &rec, nullptr,
                                 &data, vol) == 0) {
        HFSLIB_ERROR("could not read attribute record #%u", unsigned{at});
        return 1;
    }
    *rec_out = rec;
    if (inline_out && rec.type == HFSLIB_ATTR_INLINE && rec.inline_data.size > 0) {
        auto copy = hfslib::hook_alloc<uint8_t[]>(rec.inline_data.size, ctx);
        if (!copy) {
            HFSLIB_ERROR("couldn't allocate attribute data #%u", unsigned{at});
            return 1;
        }
        std::memcpy(copy.get(), data, rec.inline_data.size);
        *inline_out = copy.release();
    }
    return 0;
}

int hfslib_list_attr_keys(hfslib_vol* vol, uint32_t cnid, hfslib_attr_key** keys_out,
                          uint32_t* count_out, hfslib_cbctx* ctx) {
    if (count_out) *count_out = 0;
    if (!keys_out) return 1;
    *keys_out = nullptr;
    if (!count_out || !vol) return 1;
    if (!attributes_usable(*vol)) return 0;

    // The keys gathered are handed over on every outcome.
    hfslib::hook_array<hfslib_attr_key> keys(ctx);
    auto finish = [&](int rc) {
        *count_out = keys.size();
        *keys_out = keys.release();
        return rc;
    };
    hfslib::btree<hfslib::attributes_tree> tree(vol, ctx);
    if (!tree.open()) return finish(1);

    // The first records of the CNID's attributes, from the lowest key it may
    // have on; no more nodes are read than the tree holds.
    hfslib_attr_key first{};
    first.key_len = min_key_len;
    first.file_cnid = cnid;
    auto gather = [&](const hfslib::node_records&, uint16_t, const hfslib_attr_key& k) {
        if (k.file_cnid > cnid) return hfslib::walk_step::stop;
        if (k.file_cnid != cnid || k.start_block != 0) return hfslib::walk_step::next;
        if (!keys.push_back(k)) {
            HFSLIB_ERROR("could not allocate attribute keys");
            return hfslib::walk_step::fail;
        }
        return hfslib::walk_step::next;
    };
    return finish(tree.walk_from(first, vol->attr_header.total_nodes, gather) ? 0 : 1);
}

int hfslib_collect_attr_extents(hfslib_vol* vol, const hfslib_attr_key* key,
                                const hfslib_attr_rec* fork_rec, uint16_t* count_out,
                                hfslib_extent** out, hfslib_cbctx* ctx) {
    if (out) *out = nullptr;
    if (count_out) *count_out = 0;
    if (!vol || !key || !fork_rec || fork_rec->type != HFSLIB_ATTR_FORK || key->start_block != 0)
        return 1;

    hfslib_attr_key work = *key;
    hfslib_extent group[8];
    std::copy_n(fork_rec->fork.extents, 8, group);
    const uint32_t total = fork_rec->fork.total_blocks;
    hook_ptr<hfslib_extent[]> list(nullptr, hfslib::hook_deleter{ctx});
    uint32_t sum = 0;
    size_t gathered = 0;
    for (;;) {
        unsigned used = 0;
        while (used < 8 && group[used].block_count != 0) ++used;
        for (unsigned i = 0; i < used; ++i)
            if (__builtin_add_overflow(sum, group[i].block_count, &sum)) return 1;
        // The count travels in 16 bits; this also bounds the continuations
        // followed.
        if (gathered + used > max_extents) return 1;
        if (out && used > 0) {
            if (!hfslib::hook_resize(list, gathered + used, ctx)) return 1;
            std::copy_n(group, used, list.get() + gathered);
        }
        gathered += used;
        if (sum >= total) break;
        // Only a full group can be continued.
        if (used < 8) return 1;
        work.start_block = sum;
        hfslib_attr_rec next{};
        if (hfslib_lookup_attr(vol, &work, &next, nullptr, ctx) != 0) return 1;
        if (next.type != HFSLIB_ATTR_EXTENTS) return 1;
        std::copy_n(next.extents, 8, group);
    }
    if (out) *out = list.release();
    if (count_out) *count_out = static_cast<uint16_t>(gathered);
    return 0;
}
