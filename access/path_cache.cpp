// The lookup cache: a FIFO ring of path -> (record, key) entries under one
// read-write lock.
#include "access/path_cache.h"

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <shared_mutex>
#include <unordered_map>
#include <vector>

namespace {

// A path's bytes in a buffer of their own, resized in place when a slot is
// reused. Null when the slot is empty.
class name_buffer {
public:
    name_buffer() = default;
    name_buffer(const name_buffer&) = delete;
    name_buffer& operator=(const name_buffer&) = delete;
    ~name_buffer() { clear(); }

    bool empty() const { return bytes_ == nullptr; }
    std::string_view view() const { return {bytes_, len_}; }

    // Replaces the contents by `path`; false (contents unchanged) when the
    // buffer cannot be resized.
    bool assign(std::string_view path, hfs_path_cache_realloc_fn resize) {
        // Never ask for 0 bytes: a filled slot must hold a non-null buffer.
        void* grown = resize(bytes_, path.size() ? path.size() : 1);
        if (!grown) return false;
        bytes_ = static_cast<char*>(grown);
        if (!path.empty()) std::memcpy(bytes_, path.data(), path.size());
        len_ = path.size();
        return true;
    }

    void clear() {
        std::free(bytes_);
        bytes_ = nullptr;
        len_ = 0;
    }

private:
    char* bytes_ = nullptr;
    size_t len_ = 0;
};

struct slot {
    name_buffer name;
    hfs_cache_origin origin = hfs_cache_origin::resolved;
    hfslib_cat_rec record{};
    hfslib_cat_key key{};
};

bool accepts(hfs_cache_accept accept, hfs_cache_origin origin) {
    return accept == hfs_cache_accept::any || origin == hfs_cache_origin::resolved;
}

} // namespace

// The slots form a ring in index order: slot i's next (older) neighbour is
// i + 1, its previous (newer) one i - 1, both modulo the size. The filled
// slots, read from `head` towards next, run from newest to oldest and end at
// the first empty slot. An insertion fills head's previous slot: the oldest
// once the ring is full.
struct hfs_path_cache {
    hfs_path_cache(size_t n, hfs_path_cache_realloc_fn fn) : slots(n), name_realloc(fn) {}

    size_t next(size_t i) const { return i + 1 == slots.size() ? 0 : i + 1; }
    size_t prev(size_t i) const { return i == 0 ? slots.size() - 1 : i - 1; }

    // Newest matching slot, under a lock held by the caller. The filled
    // slots run from `head` without a gap, and `index` holds each of them
    // under its path, so the newest is the one nearest to `head`.
    const slot* find(std::string_view path, hfs_cache_accept accept) const {
        auto [it, end] = index.equal_range(path);
        const slot* best = nullptr;
        size_t best_age = 0;
        for (; it != end; ++it) {
            const slot& s = slots[it->second];
            if (!accepts(accept, s.origin)) continue;
            const size_t age =
                it->second >= head ? it->second - head : it->second + slots.size() - head;
            if (!best || age < best_age) {
                best = &s;
                best_age = age;
            }
        }
        return best;
    }

    // Drops slot i from the index (its name is about to change).
    void unindex(size_t i) {
        if (slots[i].name.empty()) return;
        auto [it, end] = index.equal_range(slots[i].name.view());
        for (; it != end; ++it)
            if (it->second == i) {
                index.erase(it);
                return;
            }
    }

    bool lookup(std::string_view path, hfs_cache_accept accept, hfslib_cat_rec& record,
                hfslib_cat_key& key) const {
        std::shared_lock guard(lock);
        const slot* s = find(path, accept);
        if (!s) return false;
        record = s->record;
        key = s->key;
        return true;
    }

    mutable std::shared_mutex lock;
    std::vector<slot> slots;
    // Every filled slot under its path (a view of the slot's name buffer).
    std::unordered_multimap<std::string_view, size_t> index;
    size_t head = 0;
    hfs_path_cache_realloc_fn name_realloc;
};

hfs_path_cache* hfs_path_cache_create(size_t slots,
                                      hfs_path_cache_realloc_fn name_realloc) noexcept {
    if (slots == 0) return nullptr;
    if (!name_realloc)
        name_realloc = [](void* block, size_t size) { return std::realloc(block, size); };
    try {
        auto cache = std::make_unique<hfs_path_cache>(slots, name_realloc);
        return cache.release();
    } catch (const std::exception&) { // bad_alloc, or a count beyond any vector
        return nullptr;
    }
}

void hfs_path_cache_destroy(hfs_path_cache* cache) noexcept {
    // The name buffers go with their slots.
    std::unique_ptr<hfs_path_cache> owned(cache);
}

bool hfs_path_cache_lookup(hfs_path_cache* cache, std::string_view path, hfslib_cat_rec& record,
                           hfslib_cat_key& key, hfs_cache_accept accept) noexcept {
    if (!cache) return false;
    return cache->lookup(path, accept, record, key);
}

size_t hfs_path_cache_lookup_ancestor(hfs_path_cache* cache, std::string_view path,
                                      hfslib_cat_rec& record, hfslib_cat_key& key) noexcept {
    size_t end = path.size();
    while (end > 0) {
        const size_t slash = path.rfind('/', end - 1);
        if (slash == std::string_view::npos) return 0;
        // The prefix before this '/'; the empty one (the root) is never tried.
        if (slash > 0 && cache &&
            cache->lookup(path.substr(0, slash), hfs_cache_accept::any, record, key))
            return slash;
        end = slash;
    }
    return 0;
}

void hfs_path_cache_insert(hfs_path_cache* cache, std::string_view path,
                           const hfslib_cat_rec& record, const hfslib_cat_key& key,
                           hfs_cache_origin origin) noexcept {
    if (!cache) return;
    std::unique_lock guard(cache->lock);
    const size_t target = cache->prev(cache->head);
    slot& s = cache->slots[target];
    cache->unindex(target);
    bool indexed = false;
    if (s.name.assign(path, cache->name_realloc)) {
        try {
            cache->index.emplace(s.name.view(), target);
            indexed = true;
        } catch (const std::exception&) {}
    }
    if (!indexed) {
        // No room for the name: forget everything rather than keep a ring
        // whose order can no longer be trusted. `head` stays where it is.
        for (slot& each : cache->slots) each.name.clear();
        cache->index.clear();
        return;
    }
    s.origin = origin;
    s.record = record;
    s.key = key;
    cache->head = target;
}
