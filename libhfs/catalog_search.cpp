// Catalog search: the descent from the catalog root to a leaf, by key and by
// CNID through the thread record.
#include "btree_internal.h"
#include "libhfs.h"
#include "report.h"

int hfslib_find_cat_record(hfslib_vol* vol, const hfslib_cat_key* key, hfslib_cat_rec* rec_out,
                           hfslib_cbctx* ctx) {
    if (!vol || !key || !rec_out) return 1;
    if (!vol->keycmp) return 1;

    auto rec_key = hfslib::hook_alloc<hfslib_cat_key>(1, ctx);
    if (!rec_key) {
        HFSLIB_ERROR("could not allocate catalog search key");
        return 1;
    }
    hfslib::tree_walker walk(vol, hfslib::catalog_traits, ctx);
    if (!walk.prepare()) return 1;
    const hfslib::node_records& node = walk.node;
    uint32_t number = vol->cat_header.root_node;
    for (;;) {
        if (!walk.enter(number) || !walk.load(number, hfslib::node_kinds::index_or_leaf)) return 1;
        const int8_t kind = node.desc.kind;

        // Scan for the last record whose key is not above the search key.
        // Each record is checked as a full decode would check it, but only
        // its key is decoded; the record chosen is decoded at the end.
        int result = 1;
        int chosen = -1;
        for (uint16_t j = 0; j < node.count(); ++j) {
            if (!hfslib::cat_record_parses(node.data(j), node.size(j), kind, true, vol)) {
                HFSLIB_ERROR("could not read catalog record #%i", int{j});
                return 1;
            }
            hfslib::take_cat_key(node.data(j), node.size(j), vol, *rec_key);
            const int c = vol->keycmp(key, rec_key.get());
            if (c < 0) {
                if (j == 0) {
                    HFSLIB_ERROR("all records greater than key");
                    return 1;
                }
                chosen = j - 1;
                result = -1;
                break;
            }
            if (c == 0) {
                chosen = j;
                result = 0;
                break;
            }
            if (j + 1 == node.count()) {
                chosen = j;
                result = -1;
                break;
            }
        }
        if (chosen < 0) return 1;
        const auto at = static_cast<uint16_t>(chosen);
        int16_t rec_kind = kind;
        if (hfslib_parse_cat_record(node.data(at), node.size(at), rec_out, &rec_kind, rec_key.get(),
                                    vol) == 0) {
            HFSLIB_ERROR("could not read catalog record #%i", chosen);
            return 1;
        }

        if (kind == HFSLIB_NODE_LEAF) return result;
        number = rec_out->child;
    }
}

int hfslib_find_cat_record_by_cnid(hfslib_vol* vol, uint32_t cnid, hfslib_cat_rec* rec_out,
                                   hfslib_cat_key* key_out, hfslib_cbctx* ctx) {
    if (!vol || !rec_out || cnid == 0) return 1;
    hfslib_cat_key key{};
    hfslib_cat_rec thread{};
    hfslib_make_cat_key(cnid, 0, nullptr, &key);
    if (hfslib_find_cat_record(vol, &key, &thread, ctx) != 0 ||
        (thread.type != HFSLIB_REC_FOLDER_THREAD && thread.type != HFSLIB_REC_FILE_THREAD) ||
        thread.thread.parent_cnid == 0) {
        HFSLIB_ERROR("could not find parent thread for cnid %i", static_cast<int>(cnid));
        return 1;
    }
    hfslib_make_cat_key(thread.thread.parent_cnid, thread.thread.name.length,
                        thread.thread.name.units, &key);
    if (key_out) *key_out = key;
    return hfslib_find_cat_record(vol, &key, rec_out, ctx);
}
