// The mount's node IDs: what the kernel names each file and folder it holds
// by, and the little the daemon keeps to answer for them.
//
// A file (or a file's other fork) is named by its catalog ID alone: all its
// names, hard links included, are one inode. A folder reached where the
// catalog keeps it (below the root, by no folder hard link) is named by its
// catalog ID too. A folder reached any other way - through a folder hard
// link, below such a place, or by its other fork's name - gets a node of its
// own per place (parent node, folder), kept in a table while the kernel
// holds it: Linux allows a folder one name, so one folder shown at two
// places must be two inodes (both show the catalog ID as st_ino). Nothing is
// kept for the nodes named by catalog ID.
//
// Errors: 0 or a negative errno value.
#pragma once

#include "libhfs/libhfs.h"

#include <cstdint>
#include <mutex>
#include <unordered_map>

// What a node ID stands for.
struct hfs_node {
    uint32_t cnid = 0;
    bool other_fork = false; // the fork other than the device's default
    // Reached where the catalog keeps it: its children are named by catalog
    // ID too (never a file's other fork).
    bool in_place = false;
    uint64_t parent = 0; // for a table node, its parent's node ID
};

class hfs_node_table {
public:
    static constexpr uint64_t root_node = 1; // FUSE_ROOT_ID
    static constexpr uint32_t root_cnid = 2;

    // What `node` stands for; false for a node ID never handed out or
    // forgotten.
    bool find(uint64_t node, hfs_node& out) const;

    // The node ID of a child of `parent` with catalog ID `cnid`, adding one to
    // its lookup count (the reply that hands it out must reach the kernel).
    // `folder` when the child is a folder, `link_cnid` the CNID of the folder
    // hard link it was reached through (0: none). -ELOOP when a folder would
    // be its own ancestor (a folder link leading up its own path), -ENOMEM.
    int child(hfslib_vol* vol, uint64_t parent, uint32_t cnid, bool folder, bool other_fork,
              uint32_t link_cnid, uint64_t& node);

    // The kernel drops `count` lookups of `node`; a table node whose count
    // reaches zero is freed.
    void forget(uint64_t node, uint64_t count);

    // Table nodes held (for tests and measurements).
    size_t size() const;

private:
    struct entry {
        uint64_t parent;
        uint32_t cnid;
        uint32_t via; // the link's CNID, else the folder's: the name in the parent
        bool other_fork;
        uint64_t lookups;
    };
    struct place_hash {
        size_t operator()(const std::pair<uint64_t, uint64_t>& p) const noexcept {
            return std::hash<uint64_t>{}(p.first * 0x9E3779B97F4A7C15ull ^ p.second);
        }
    };
    bool is_ancestor(hfslib_vol* vol, uint64_t from, uint32_t cnid) const;

    mutable std::mutex lock_;
    uint64_t next_ = 0;
    std::unordered_map<uint64_t, entry> nodes_;
    // (parent node, the CNID of the record under the name and the fork) to
    // node ID: two links in one folder to one folder are two places.
    std::unordered_map<std::pair<uint64_t, uint64_t>, uint64_t, place_hash> places_;
};
