// Catalog search: the descent from the catalog root to a leaf, by key and by
// CNID through the thread record.
#include "libhfs/btree.h"
#include "libhfs/libhfs.h"
#include "libhfs/report.h"

int hfslib_find_cat_record(hfslib_vol* vol, const hfslib_cat_key* key, hfslib_cat_rec* rec_out,
                           hfslib_cbctx* ctx) {
    if (!vol || !key || !rec_out) return 1;
    if (!vol->keycmp) return 1;

    using catalog = hfslib::btree<hfslib::catalog_tree>;
    catalog tree(vol, ctx);
    if (!tree.open()) return 1;
    const catalog::result found = tree.find(*key);
    if (found == catalog::result::failed) return 1;
    if (found == catalog::result::below) return -1;
    const hfslib::node_records& node = tree.node();
    const uint16_t at = tree.index();
    if (!hfslib::take_cat_body(node.data(at), node.size(at), HFSLIB_NODE_LEAF, vol, *rec_out)) {
        HFSLIB_ERROR("could not read catalog record #%i", int{at});
        return 1;
    }
    return found == catalog::result::found ? 0 : -1;
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
