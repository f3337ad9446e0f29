// Fuzz target for the catalog, extents and attributes record parsers:
// hfslib_parse_cat_record, hfslib_parse_ext_record, hfslib_parse_attr_record,
// and the key orders on what they decode.
//
// Input: one selector byte, then the record. Selector bits 0-1: the parser
// (0 catalog, 1 extents, 2 attributes, 3 all three); bits 2-3: the node kind
// (0 leaf, 1 index, 2 header, 3 map); bit 4: key-only decode (null record);
// bit 5: 1-byte key lengths for catalog and extents keys; bits 6-7: the
// largest attribute key (0, 266, 516, 65535). The record sits in a heap block
// of exactly its size.
#include "fuzz_common.h"

#include <vector>

namespace {

const int8_t kinds[4] = {HFSLIB_NODE_LEAF, HFSLIB_NODE_INDEX, HFSLIB_NODE_HEADER, HFSLIB_NODE_MAP};
const uint16_t max_attr_keys[4] = {0, 266, 516, 65535};

void catalog(const std::vector<uint8_t>& raw, int8_t kind, bool key_only, const hfslib_vol& vol) {
    hfslib_cat_rec rec{};
    hfslib_cat_key key{};
    int16_t kind_io = kind;
    size_t used = hfslib_parse_cat_record(raw.data(), raw.size(), key_only ? nullptr : &rec,
                                          &kind_io, &key, &vol);
    qfuzz::check(used <= raw.size());
    if (!used) return;
    qfuzz::check(key.name.length <= 255);
    qfuzz::check(hfslib_cmp_cat_keys_folded(&key, &key) == 0);
    qfuzz::check(hfslib_cmp_cat_keys_ordinal(&key, &key) == 0);
    // Remaking the key from its parts gives a key equal to it.
    hfslib_cat_key again{};
    if (hfslib_make_cat_key(key.parent_cnid, key.name.length, key.name.units, &again) != 0) {
        qfuzz::check(hfslib_cmp_cat_keys_ordinal(&key, &again) == 0);
        qfuzz::check(hfslib_cmp_cat_keys_folded(&key, &again) == 0);
    }
}

void extents(const std::vector<uint8_t>& raw, int8_t kind, bool key_only, const hfslib_vol& vol) {
    hfslib_extent ext[8];
    uint32_t child = 0;
    void* out = key_only ? nullptr : kind == HFSLIB_NODE_LEAF ? static_cast<void*>(ext) : &child;
    hfslib_ext_key key{};
    size_t used = hfslib_parse_ext_record(raw.data(), raw.size(), out, kind, &key, &vol);
    qfuzz::check(used <= raw.size());
    if (used) qfuzz::check(hfslib_cmp_ext_keys(&key, &key) == 0);
}

void attributes(const std::vector<uint8_t>& raw, int8_t kind, bool key_only,
                const hfslib_vol& vol) {
    hfslib_attr_rec rec{};
    uint32_t child = 0;
    void* out = key_only ? nullptr : kind == HFSLIB_NODE_LEAF ? static_cast<void*>(&rec) : &child;
    hfslib_attr_key key{};
    const uint8_t* inline_data = nullptr;
    size_t used =
        hfslib_parse_attr_record(raw.data(), raw.size(), kind, out, &key, &inline_data, &vol);
    qfuzz::check(used <= raw.size());
    if (!used) return;
    qfuzz::check(key.name.length <= 255);
    qfuzz::check(hfslib_cmp_attr_keys(&key, &key) == 0);
    if (inline_data) {
        qfuzz::check(inline_data >= raw.data() &&
                     rec.inline_data.size <= raw.size() - size_t(inline_data - raw.data()));
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    qfuzz::install_parser_hooks();
    const uint8_t sel = data[0];
    const int8_t kind = kinds[(sel >> 2) & 3];
    const bool key_only = (sel & 0x10) != 0;

    hfslib_vol vol{};
    vol.cat_keylen_size = (sel & 0x20) ? 1 : 2;
    vol.ext_keylen_size = vol.cat_keylen_size;
    vol.attr_header.max_key_len = max_attr_keys[sel >> 6];
    vol.cat_header.node_size = 4096;
    vol.ext_header.node_size = 4096;
    vol.attr_header.node_size = 4096;

    const std::vector<uint8_t> raw(data + 1, data + size);
    const unsigned which = sel & 3;
    if (which == 0 || which == 3) catalog(raw, kind, key_only, vol);
    if (which == 1 || which == 3) extents(raw, kind, key_only, vol);
    if (which == 2 || which == 3) attributes(raw, kind, key_only, vol);
    return 0;
}
