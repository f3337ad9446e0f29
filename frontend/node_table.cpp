#include "frontend/node_table.h"

#include "access/library_results.h"

#include <cerrno>
#include <new>
#include <vector>

namespace {

// Node IDs: 1 is the root; a catalog ID as it is (the other fork with bit
// 32 set); table nodes have bit 33 set and a counter above it, never
// handed out twice.
constexpr uint64_t other_fork_bit = uint64_t{1} << 32;
constexpr uint64_t table_bit = uint64_t{1} << 33;
constexpr unsigned counter_shift = 34;

// How far up a folder's places and the catalog are followed before its
// path counts as a loop: deeper than any path the kernel walks.
constexpr int max_depth = 4096;

} // namespace

bool hfs_node_table::find(uint64_t node, hfs_node& out) const {
    if (node == root_node) {
        out = {root_cnid, false, true, 0};
        return true;
    }
    if ((node & table_bit) == 0) {
        out.cnid = static_cast<uint32_t>(node);
        out.other_fork = (node & other_fork_bit) != 0;
        out.in_place = !out.other_fork;
        out.parent = 0;
        return out.cnid != 0 && node >> 33 == 0;
    }
    std::lock_guard guard(lock_);
    auto it = nodes_.find(node);
    if (it == nodes_.end()) return false;
    out = {it->second.cnid, it->second.other_fork, false, it->second.parent};
    return true;
}

bool hfs_node_table::is_ancestor(hfslib_vol* vol, uint64_t from, uint32_t cnid) const {
    // The folder's places up to the first one where the catalog keeps it,
    // then the catalog's own parents up to the root.
    int depth = 0;
    uint32_t at = 0;
    {
        std::lock_guard guard(lock_);
        while (from & table_bit) {
            auto it = nodes_.find(from);
            if (it == nodes_.end() || ++depth > max_depth) return true;
            if (it->second.cnid == cnid) return true;
            from = it->second.parent;
        }
    }
    at = from == root_node ? root_cnid : static_cast<uint32_t>(from);
    while (true) {
        if (at == cnid) return true;
        if (at == root_cnid || at < root_cnid) return false;
        if (++depth > max_depth) return true;
        hfslib_cat_rec rec{};
        hfslib_cat_key key{};
        if (hfs_search_result(hfslib_find_cat_record_by_cnid(vol, at, &rec, &key, nullptr)) != 0)
            return false; // no way further up: the walk from the root got here
        at = key.parent_cnid;
    }
}

int hfs_node_table::child(hfslib_vol* vol, uint64_t parent, uint32_t cnid, bool folder,
                          bool other_fork, uint32_t link_cnid, uint64_t& node) {
    if (cnid < root_cnid) return -EIO; // no item has such an ID
    hfs_node where{};
    if (!find(parent, where)) return -ESTALE;
    if (!folder) {
        node = cnid | (other_fork ? other_fork_bit : 0);
        return 0;
    }
    if (where.in_place && link_cnid == 0 && !other_fork) {
        // The kernel refuses a folder found below itself.
        node = cnid == root_cnid ? root_node : cnid;
        return 0;
    }
    // A folder's other fork names the folder itself, and nothing below it
    // resolves: it leads nowhere new.
    if (!other_fork && is_ancestor(vol, parent, cnid)) return -ELOOP;
    const uint32_t via = link_cnid != 0 ? link_cnid : cnid;
    const std::pair<uint64_t, uint64_t> place{parent, via | (other_fork ? other_fork_bit : 0)};
    try {
        std::lock_guard guard(lock_);
        auto [it, added] = places_.try_emplace(place, 0);
        if (added) {
            try {
                it->second = (++next_ << counter_shift) | table_bit;
                nodes_.emplace(it->second, entry{parent, cnid, via, other_fork, 0});
            } catch (const std::bad_alloc&) {
                places_.erase(it);
                throw;
            }
        }
        node = it->second;
        ++nodes_.find(node)->second.lookups;
    } catch (const std::bad_alloc&) {
        return -ENOMEM;
    }
    return 0;
}

void hfs_node_table::forget(uint64_t node, uint64_t count) {
    if ((node & table_bit) == 0) return;
    std::lock_guard guard(lock_);
    auto it = nodes_.find(node);
    if (it == nodes_.end()) return;
    entry& e = it->second;
    if (e.lookups > count) {
        e.lookups -= count;
        return;
    }
    places_.erase({e.parent, e.via | (e.other_fork ? other_fork_bit : 0)});
    nodes_.erase(it);
}

size_t hfs_node_table::size() const {
    std::lock_guard guard(lock_);
    return nodes_.size();
}
