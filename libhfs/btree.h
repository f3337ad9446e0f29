// The B-tree engine: one bounded descent and one leaf walk, serving every
// tree of the volume (catalog, extents overflow, attributes).
//
// Adding a tree takes two pieces:
//  1. a row in tree_table (btree_internal.h): its file, where the volume
//     keeps its header and key-length width, whether node kinds follow the
//     level, and the messages it reports failures with;
//  2. a record parser below: a struct naming that row and its key type, with
//       static bool take_key(raw, len, kind, vol, key&)   the key of a record,
//                                                         false when malformed
//       static bool take_child(raw, len, vol, uint32_t&)  an index record's child
//       static int compare(vol, const key&, const key&)   the tree's key order
// The tree's public functions then open a btree<parser> and call find() for
// one key or walk_from() for the records in key order from a key on.
//
// Keys below the first key. A key lower than the first key of an index node
// is looked for under that node's first record; so a key lower than every key
// of the tree ends on the first leaf, before its first record. An exact
// search finds nothing there (not found; the catalog says so in its
// below_first message); a walk starts at the first leaf record. A tree whose
// root is node 0 is empty: searches find nothing, walks visit nothing.
//
// Bounds. A descent admits each node once and no more levels than the
// header's depth (at most max_tree_levels); along the leaves every key must
// be above the one before, so a sibling link back to a leaf already walked
// ends the walk in an error; a walk may also be held to a number of nodes.
#pragma once

#include "libhfs/btree_internal.h"
#include "libhfs/libhfs.h"
#include "libhfs/report.h"

#include <cstdint>

namespace hfslib {

// ---------------------------------------------------------------------------
// Record parsers

struct catalog_tree {
    using key = hfslib_cat_key;
    static constexpr const tree_traits& traits = catalog_traits;

    // The key of a record that a full decode would accept; only the key is
    // decoded.
    static bool take_key(const uint8_t* raw, size_t len, int8_t kind, const hfslib_vol& vol,
                         key& out) {
        if (!cat_record_parses(raw, len, kind, true, &vol)) return false;
        take_cat_key(raw, len, &vol, out);
        return true;
    }
    static bool take_child(const uint8_t* raw, size_t len, const hfslib_vol& vol, uint32_t& child) {
        hfslib_cat_rec rec;
        if (!take_cat_body(raw, len, HFSLIB_NODE_INDEX, &vol, rec)) return false;
        child = rec.child;
        return true;
    }
    static int compare(const hfslib_vol& vol, const key& a, const key& b) {
        return vol.keycmp(&a, &b);
    }
};

struct extents_tree {
    using key = hfslib_ext_key;
    static constexpr const tree_traits& traits = extents_traits;

    static bool take_key(const uint8_t* raw, size_t len, int8_t kind, const hfslib_vol& vol,
                         key& out) {
        return hfslib_parse_ext_record(raw, len, nullptr, kind, &out, &vol) != 0;
    }
    static bool take_child(const uint8_t* raw, size_t len, const hfslib_vol& vol, uint32_t& child) {
        key k;
        return hfslib_parse_ext_record(raw, len, &child, HFSLIB_NODE_INDEX, &k, &vol) != 0;
    }
    static int compare(const hfslib_vol&, const key& a, const key& b) {
        return hfslib_cmp_ext_keys(&a, &b);
    }
};

struct attributes_tree {
    using key = hfslib_attr_key;
    static constexpr const tree_traits& traits = attributes_traits;

    static bool take_key(const uint8_t* raw, size_t len, int8_t kind, const hfslib_vol& vol,
                         key& out) {
        return hfslib_parse_attr_record(raw, len, kind, nullptr, &out, nullptr, &vol) != 0;
    }
    static bool take_child(const uint8_t* raw, size_t len, const hfslib_vol& vol, uint32_t& child) {
        return hfslib_parse_attr_record(raw, len, HFSLIB_NODE_INDEX, &child, nullptr, nullptr,
                                        &vol) != 0;
    }
    static int compare(const hfslib_vol&, const key& a, const key& b) {
        return hfslib_cmp_attr_keys(&a, &b);
    }
};

// ---------------------------------------------------------------------------
// The engine

// What a walk's visitor tells the walk after each record.
enum class walk_step { next, stop, fail };

template <class Tree>
class btree {
public:
    using key_type = typename Tree::key;
    static constexpr const tree_traits& traits = Tree::traits;

    btree(hfslib_vol* vol, hfslib_cbctx* ctx)
        : vol_(vol), walker_(vol, traits, ctx), keys_(nullptr, hook_deleter{ctx}) {}

    // Allocates the working memory (the keys first) and collects the tree
    // file's extents; false after reporting why not.
    bool open() {
        keys_ = hook_alloc<key_type[]>(2, ctx());
        if (!keys_) {
            HFSLIB_ERROR("%s", traits.no_key);
            return false;
        }
        return walker_.prepare();
    }

    bool empty() const { return walker_.header().root_node == 0; }

    // How an exact search ended.
    enum class result {
        found,  // record index() of node() has the key
        lower,  // it does not; record index() is the nearest lower one of the leaf
        below,  // it does not, and the leaf reached has no lower record
        failed, // reported
    };

    // Searches for the leaf record whose key equals `key`.
    result find(const key_type& key) {
        if (empty()) return result::below;
        if (!descend(key)) return result::failed;
        if (at_ < 0) {
            if (traits.below_first) HFSLIB_ERROR("%s", traits.below_first);
            return result::below;
        }
        return equal_ ? result::found : result::lower;
    }

    // Hands every leaf record from the first one not below `key` on, in key
    // order, to visit(node, index, key) until it answers stop or fail, or the
    // last leaf ends. The walk also ends, as if at the last leaf, where it
    // would hand on records of more than `node_limit` nodes, the descent
    // counted in. True at the end or on stop; false on a failure (reported)
    // or on fail.
    template <class Visit>
    bool walk_from(const key_type& key, uint32_t node_limit, Visit visit) {
        if (empty() || node_limit == 0) return true;
        if (!descend(key)) return false;
        uint32_t loaded = depth_ + 1;
        if (loaded > node_limit) return true;
        uint16_t i = static_cast<uint16_t>(at_ >= 0 && equal_ ? at_ : at_ + 1);
        // The key handed on last and the one being read alternate in keys_.
        unsigned current = 0;
        bool first = true;
        for (;;) {
            for (; i < node().count(); ++i) {
                key_type& k = keys_[current];
                if (!Tree::take_key(node().data(i), node().size(i), node().desc.kind, *vol_, k)) {
                    traits.bad_record(i);
                    return false;
                }
                if (!first && Tree::compare(*vol_, keys_[current ^ 1], k) >= 0) {
                    traits.out_of_order(number_);
                    return false;
                }
                first = false;
                switch (visit(node(), i, static_cast<const key_type&>(k))) {
                case walk_step::next:
                    break;
                case walk_step::stop:
                    return true;
                case walk_step::fail:
                    return false;
                }
                current ^= 1;
            }
            const uint32_t next = node().desc.flink;
            if (next == 0 || loaded >= node_limit) return true;
            if (!walker_.load(next, node_kinds::leaf_only, depth_)) return false;
            ++loaded;
            number_ = next;
            i = 0;
        }
    }

    // The node loaded last, its number, and after find() the record chosen.
    const node_records& node() const { return walker_.node; }
    uint32_t node_number() const { return number_; }
    uint16_t index() const { return static_cast<uint16_t>(at_); }
    hfslib_cbctx* ctx() const { return walker_.ctx(); }

private:
    // Descends from the root to the leaf where `key` belongs, leaving in at_
    // the last record of that leaf whose key is not above `key` (-1 when the
    // first one is) and in equal_ whether its key equals `key`. Each record
    // scanned is checked as its parser checks it; the scan stops at the first
    // key above `key`. False after reporting a failure.
    bool descend(const key_type& key) {
        key_type& scratch = keys_[0];
        const unsigned depth_limit = walker_.header().tree_depth;
        uint32_t number = walker_.header().root_node;
        for (unsigned depth = 0;; ++depth) {
            const node_kinds kinds = !traits.kinds_by_level    ? node_kinds::index_or_leaf
                                     : depth + 1 < depth_limit ? node_kinds::index_only
                                                               : node_kinds::leaf_only;
            if (!walker_.enter(number) || !walker_.load(number, kinds, depth)) return false;
            number_ = number;
            depth_ = depth;
            const int8_t kind = node().desc.kind;
            at_ = -1;
            equal_ = false;
            for (uint16_t j = 0; j < node().count(); ++j) {
                if (!Tree::take_key(node().data(j), node().size(j), kind, *vol_, scratch)) {
                    traits.bad_record(j);
                    return false;
                }
                const int c = Tree::compare(*vol_, key, scratch);
                if (c < 0) break;
                at_ = j;
                if (c == 0) {
                    equal_ = true;
                    break;
                }
            }
            if (kind == HFSLIB_NODE_LEAF) return true;
            // Below the first key: under the first record.
            const uint16_t via = static_cast<uint16_t>(at_ < 0 ? 0 : at_);
            if (!Tree::take_child(node().data(via), node().size(via), *vol_, number)) {
                traits.bad_record(via);
                return false;
            }
        }
    }

    hfslib_vol* vol_;
    tree_walker walker_;
    hook_ptr<key_type[]> keys_;
    uint32_t number_ = 0;
    unsigned depth_ = 0;
    int32_t at_ = -1;
    bool equal_ = false;
};

} // namespace hfslib
