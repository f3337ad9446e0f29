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
#include <utility>

// An open file: the fork its node names, ready to read.
struct hfs_file_handle {
    hfs_file_reader reader;
};

// An open folder: its record and listing, read from any position.
struct hfs_dir_handle {
    hfs_folder_reader reader;
};

// Folders read lately, by node ID: with libfuse 3 those read without being
// opened (the kernel is told it need not open folders, and keeps their
// listings all the same), while they are read, each dropped once read to
// its end - the kernel then lists it from its own cache; with libfuse 2.9
// the last folders closed, whose entries are looked up next. The last few
// are kept.
class hfs_unopened_folders {
public:
    std::shared_ptr<hfs_dir_handle> find(uint64_t node) {
        std::lock_guard guard(lock_);
        for (const auto& [at, handle] : slots_)
            if (at == node && handle) return handle;
        return nullptr;
    }
    void add(uint64_t node, std::shared_ptr<hfs_dir_handle> handle) {
        std::shared_ptr<hfs_dir_handle> evicted; // freed after the lock is let go
        std::lock_guard guard(lock_);
        evicted = std::move(slots_[kept - 1].second);
        for (size_t i = kept - 1; i > 0; --i) slots_[i] = std::move(slots_[i - 1]);
        slots_[0] = {node, std::move(handle)};
    }
    void drop(uint64_t node) {
        std::shared_ptr<hfs_dir_handle> dropped; // freed after the lock is let go
        std::lock_guard guard(lock_);
        for (auto& slot : slots_)
            if (slot.first == node) dropped = std::exchange(slot.second, nullptr);
    }

private:
    static constexpr size_t kept = 8;
    std::mutex lock_;
    std::pair<uint64_t, std::shared_ptr<hfs_dir_handle>> slots_[kept];
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
