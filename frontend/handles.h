// The per-open state the FUSE handlers keep in the file information's `fh`.
#pragma once

#include "decmpfs.h"
#include "libhfs.h"
#include "listing.h"

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <unordered_map>
#include <vector>

struct hfs_free_deleter {
    void operator()(void* block) const { std::free(block); }
};
template <class T>
using hfs_malloc_ptr = std::unique_ptr<T, hfs_free_deleter>;

// An open file: the fork's extents, or an open compressed-file state.
struct hfs_file_handle {
    uint32_t cnid = 0;
    hfs_malloc_ptr<hfslib_extent[]> extents; // from the library's hooks
    uint16_t extent_count = 0;
    // Where each extent ends in the fork (hfslib_index_fork_extents); empty
    // when the fork is read with the plain walk.
    std::vector<uint64_t> extent_ends;
    uint8_t fork = 0;
    uint64_t size = 0;
    hfs_decmp_ptr decmp;
};

// An open folder: its record and a snapshot of its children (shared with
// the device's recent listings).
struct hfs_dir_handle {
    hfslib_cat_rec record{};
    uint32_t parent_cnid = 0;
    std::shared_ptr<const hfs_listing> listing;
    // False when the path reached the folder by naming its other fork (the
    // resource-fork suffix): paths below it do not resolve, so its entries
    // are not remembered under them.
    bool cache_entries = true;
};

// A new handle, or null when memory is exhausted.
template <class T>
std::unique_ptr<T> hfs_new_handle() {
    try {
        return std::make_unique<T>();
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

// The handles stored in `fh` values and not yet taken back, with how to
// free each: the kernel may drop a release still in flight at unmount, and
// what is left is freed when the file system ends.
struct hfs_open_handles {
    std::mutex lock;
    std::unordered_map<uintptr_t, void (*)(uintptr_t)> open;
};
inline hfs_open_handles& hfs_handle_registry() {
    static hfs_open_handles registry;
    return registry;
}

// Stores a handle in `fh` (0 when memory is exhausted: the handle is freed).
template <class T>
uint64_t hfs_handle_to_fh(std::unique_ptr<T> handle) {
    const auto fh = reinterpret_cast<uintptr_t>(handle.get());
    hfs_open_handles& registry = hfs_handle_registry();
    try {
        std::lock_guard guard(registry.lock);
        registry.open.emplace(fh,
                              [](uintptr_t at) { std::unique_ptr<T>(reinterpret_cast<T*>(at)); });
    } catch (const std::bad_alloc&) {
        return 0;
    }
    handle.release();
    return fh;
}
template <class T>
T* hfs_handle_from_fh(uint64_t fh) {
    return reinterpret_cast<T*>(static_cast<uintptr_t>(fh));
}
// Takes a handle back from `fh` (release, releasedir).
template <class T>
std::unique_ptr<T> hfs_take_handle(uint64_t fh) {
    hfs_open_handles& registry = hfs_handle_registry();
    std::lock_guard guard(registry.lock);
    registry.open.erase(static_cast<uintptr_t>(fh));
    return std::unique_ptr<T>(hfs_handle_from_fh<T>(fh));
}
// Frees every handle not taken back.
inline void hfs_free_open_handles() {
    hfs_open_handles& registry = hfs_handle_registry();
    std::lock_guard guard(registry.lock);
    for (const auto& [fh, free_handle] : registry.open) free_handle(fh);
    registry.open.clear();
}
