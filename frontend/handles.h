// The per-open state the FUSE handlers keep in the file information's `fh`:
// an hfs_file_handle for open files, an hfs_dir_handle for open folders.
#pragma once

#include "access/file_reader.h"
#include "access/folder_reader.h"

#include <cstdint>
#include <memory>
#include <mutex>
#include <new>
#include <unordered_map>

// An open file: the fork its node names, ready to read.
struct hfs_file_handle {
    hfs_file_reader reader;
};

// An open folder: its record and listing, read from any position.
struct hfs_dir_handle {
    hfs_folder_reader reader;
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
