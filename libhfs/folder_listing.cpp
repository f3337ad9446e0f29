// Listing a folder: the catalog's leaf records from the folder's thread
// record on, while they belong to the folder.
#include "libhfs/btree.h"
#include "libhfs/libhfs.h"
#include "libhfs/report.h"

#include <cstring>

namespace {

bool is_special_root_entry(const hfslib_uname& name) {
    for (const hfslib_cat_key* const* key = hfslib_special_keys; *key; ++key) {
        const hfslib_uname& special = (*key)->name;
        if (special.length == name.length &&
            std::memcmp(special.units, name.units, name.length * sizeof(uint16_t)) == 0)
            return true;
    }
    return false;
}

} // namespace

int hfslib_walk_folder(hfslib_vol* vol, uint32_t folder_cnid, hfslib_child_fn visit, void* arg,
                       hfslib_cbctx* ctx) {
    if (!vol || !visit || folder_cnid == 0) return 1;
    if (!vol->keycmp) return 1;

    hfslib::btree<hfslib::catalog_tree> tree(vol, ctx);
    if (!tree.open()) return 1;
    // The folder's records begin with its thread record, keyed (folder, "").
    hfslib_cat_key first{};
    hfslib_make_cat_key(folder_cnid, 0, nullptr, &first);
    hfslib_cat_rec rec{};
    auto child = [&](const hfslib::node_records& node, uint16_t i, const hfslib_cat_key& key) {
        if (key.parent_cnid != folder_cnid)
            return key.parent_cnid > folder_cnid ? hfslib::walk_step::stop
                                                 : hfslib::walk_step::next;
        if (folder_cnid == 2 && is_special_root_entry(key.name)) return hfslib::walk_step::next;
        if (!hfslib::take_cat_body(node.data(i), node.size(i), HFSLIB_NODE_LEAF, vol, rec)) {
            HFSLIB_ERROR("could not read cat record %i:%i", static_cast<int>(tree.node_number()),
                         int{i});
            return hfslib::walk_step::fail;
        }
        if (rec.type != HFSLIB_REC_FOLDER && rec.type != HFSLIB_REC_FILE)
            return hfslib::walk_step::next;
        return visit(arg, &rec, &key.name) == 0 ? hfslib::walk_step::next : hfslib::walk_step::fail;
    };
    return tree.walk_from(first, UINT32_MAX, child) ? 0 : 1;
}

int hfslib_list_folder(hfslib_vol* vol, uint32_t folder_cnid, hfslib_cat_rec** children_out,
                       hfslib_uname** names_out, uint32_t* count_out, hfslib_cbctx* ctx) {
    if (!vol || !count_out || folder_cnid == 0) return 1;
    *count_out = 0;
    if (children_out) *children_out = nullptr;
    if (names_out) *names_out = nullptr;
    if (!vol->keycmp) return 1;

    struct gathered {
        hfslib::hook_array<hfslib_cat_rec> children;
        hfslib::hook_array<hfslib_uname> names;
        uint32_t count = 0;
        bool want_children, want_names;
    } g{hfslib::hook_array<hfslib_cat_rec>(ctx), hfslib::hook_array<hfslib_uname>(ctx), 0,
        children_out != nullptr, names_out != nullptr};
    auto append = [](void* arg, const hfslib_cat_rec* rec, const hfslib_uname* name) {
        auto& all = *static_cast<gathered*>(arg);
        if (all.want_children && !all.children.push_back(*rec)) {
            HFSLIB_ERROR("could not allocate child record");
            return 1;
        }
        if (all.want_names && !all.names.push_back(*name)) {
            HFSLIB_ERROR("could not allocate child name");
            return 1;
        }
        ++all.count;
        return 0;
    };
    if (hfslib_walk_folder(vol, folder_cnid, append, &g, ctx) != 0) return 1;

    *count_out = g.count;
    if (children_out) *children_out = g.children.release();
    if (names_out) *names_out = g.names.release();
    return 0;
}
