// Listing a folder: descend the catalog to the folder's first record, then
// walk the leaf level sideways while the records belong to the folder.
#include "btree_internal.h"
#include "libhfs.h"
#include "report.h"

#include <cstring>

namespace {

using hfslib::hook_ptr;

bool is_special_root_entry(const hfslib_uname& name) {
    for (const hfslib_cat_key* const* key = hfslib_special_keys; *key; ++key) {
        const hfslib_uname& special = (*key)->name;
        if (special.length == name.length &&
            std::memcmp(special.units, name.units, name.length * sizeof(uint16_t)) == 0)
            return true;
    }
    return false;
}

// The arrays handed to the caller, grown geometrically through the hooks.
template <class T>
struct growing_array {
    hook_ptr<T[]> items;
    uint32_t capacity = 0;

    explicit growing_array(hfslib_cbctx* ctx) : items(nullptr, hfslib::hook_deleter{ctx}) {}
    bool append(const T& value, uint32_t index, hfslib_cbctx* ctx) {
        if (index >= capacity) {
            uint32_t wanted = capacity < 16 ? 16 : capacity * 2;
            if (wanted <= capacity || !hfslib::hook_resize(items, wanted, ctx)) return false;
            capacity = wanted;
        }
        items[index] = value;
        return true;
    }
};

} // namespace

int hfslib_walk_folder(hfslib_vol* vol, uint32_t folder_cnid, hfslib_child_fn visit, void* arg,
                       hfslib_cbctx* ctx) {
    if (!vol || !visit || folder_cnid == 0) return 1;
    if (!vol->keycmp) return 1;

    hfslib::tree_walker walk(vol, hfslib::catalog_traits, ctx);
    if (!walk.prepare()) return 1;
    const hfslib::node_records& node = walk.node;
    hfslib_cat_rec rec{};
    hfslib_cat_key key{};
    // Keys along the leaf level must strictly increase; a forward link that
    // leads back to keys already seen (a cycle) is refused.
    hfslib_cat_key last_key{};
    bool have_last_key = false;
    bool in_leaves = false;

    uint32_t number = vol->cat_header.root_node;
    for (;;) {
        // Along the leaf level the key order, not the path, stops a cycle.
        if (!in_leaves && !walk.enter(number)) return 1;
        if (!walk.load(number, in_leaves ? hfslib::node_kinds::leaf_only
                                         : hfslib::node_kinds::index_or_leaf))
            return 1;
        const int8_t kind = node.desc.kind;

        uint32_t next = 0;
        bool done = false;
        for (uint16_t j = 0; j < node.count() && !done; ++j) {
            int16_t rec_kind = kind;
            if (hfslib_parse_cat_record(node.data(j), node.size(j), &rec, &rec_kind, &key, vol) ==
                0) {
                HFSLIB_ERROR("could not read cat record %i:%i", static_cast<int>(number), int{j});
                return 1;
            }
            if (kind == HFSLIB_NODE_INDEX) {
                const int order = hfslib::order(folder_cnid, key.parent_cnid);
                if (order < 0 && j == 0) {
                    HFSLIB_ERROR("all records greater than key");
                    return 1;
                }
                if (order <= 0) {
                    // The folder's records begin in the child of the record
                    // before (or, at the very first record, in its own child).
                    if (j == 0) next = rec.child;
                    done = true;
                } else {
                    next = rec.child;
                }
                continue;
            }

            if (have_last_key && vol->keycmp(&key, &last_key) <= 0) {
                HFSLIB_ERROR("catalog leaf #%u out of key order", number);
                return 1;
            }
            last_key = key;
            have_last_key = true;

            if (folder_cnid > key.parent_cnid) continue;
            if (folder_cnid < key.parent_cnid) {
                done = true;
                break;
            }
            if (folder_cnid == 2 && is_special_root_entry(key.name)) continue;
            if (rec.type != HFSLIB_REC_FOLDER && rec.type != HFSLIB_REC_FILE) continue;
            if (visit(arg, &rec, &key.name) != 0) return 1;
        }

        if (kind == HFSLIB_NODE_LEAF) {
            if (done || node.desc.flink == 0) break;
            next = node.desc.flink;
            in_leaves = true;
        }
        number = next;
    }
    return 0;
}

int hfslib_list_folder(hfslib_vol* vol, uint32_t folder_cnid, hfslib_cat_rec** children_out,
                       hfslib_uname** names_out, uint32_t* count_out, hfslib_cbctx* ctx) {
    if (!vol || !count_out || folder_cnid == 0) return 1;
    *count_out = 0;
    if (children_out) *children_out = nullptr;
    if (names_out) *names_out = nullptr;
    if (!vol->keycmp) return 1;

    struct gathered {
        growing_array<hfslib_cat_rec> children;
        growing_array<hfslib_uname> names;
        uint32_t count = 0;
        bool want_children, want_names;
        hfslib_cbctx* ctx;
    } g{growing_array<hfslib_cat_rec>(ctx),
        growing_array<hfslib_uname>(ctx),
        0,
        children_out != nullptr,
        names_out != nullptr,
        ctx};
    auto append = [](void* arg, const hfslib_cat_rec* rec, const hfslib_uname* name) {
        auto& all = *static_cast<gathered*>(arg);
        if (all.want_children && !all.children.append(*rec, all.count, all.ctx)) {
            HFSLIB_ERROR("could not allocate child record");
            return 1;
        }
        if (all.want_names && !all.names.append(*name, all.count, all.ctx)) {
            HFSLIB_ERROR("could not allocate child name");
            return 1;
        }
        ++all.count;
        return 0;
    };
    if (hfslib_walk_folder(vol, folder_cnid, append, &g, ctx) != 0) return 1;

    *count_out = g.count;
    if (children_out) *children_out = g.children.items.release();
    if (names_out) *names_out = g.names.items.release();
    return 0;
}
