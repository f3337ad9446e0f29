// Internal helpers of the library: message reporting with the source module
// and line, and RAII guards for memory obtained through the hooks.
#pragma once

#include "libhfs/libhfs.h"

#include <cstdint>
#include <cstring>
#include <memory>
#include <type_traits>

// Reports one library failure: the message, this source module and the line.
#define HFSLIB_ERROR(format, ...)                                                                  \
    hfslib_report(format, __FILE_NAME__, __LINE__ __VA_OPT__(, ) __VA_ARGS__)

namespace hfslib {

// Releases a block through the free hook with the context of the call that
// allocated it.
struct hook_deleter {
    hfslib_cbctx* ctx = nullptr;
    void operator()(void* block) const { hfslib_hook_free(block, ctx); }
};

template <class T>
using hook_ptr = std::unique_ptr<T, hook_deleter>;

// Allocates room for `count` objects of trivial type T through the alloc hook.
// Returns an empty pointer when the hook is missing or fails, or when the
// size would overflow.
template <class T>
hook_ptr<T> hook_alloc(size_t count, hfslib_cbctx* ctx) {
    static_assert(std::is_trivially_copyable_v<std::remove_extent_t<T>>);
    using elem = std::remove_extent_t<T>;
    if (count > SIZE_MAX / sizeof(elem)) return hook_ptr<T>(nullptr, hook_deleter{ctx});
    void* p = hfslib_hook_alloc(count * sizeof(elem), ctx);
    return hook_ptr<T>(static_cast<elem*>(p), hook_deleter{ctx});
}

// Grows (or shrinks) an array owned by `ptr` to `count` elements through the
// realloc hook. On failure the old block stays owned by `ptr` and false is
// returned.
template <class T>
bool hook_resize(hook_ptr<T>& ptr, size_t count, hfslib_cbctx* ctx) {
    using elem = std::remove_extent_t<T>;
    if (count == 0 || count > SIZE_MAX / sizeof(elem)) return false;
    void* p = hfslib_hook_realloc(ptr.get(), count * sizeof(elem), ctx);
    if (!p) return false;
    (void)ptr.release();
    ptr.reset(static_cast<elem*>(p));
    ptr.get_deleter().ctx = ctx;
    return true;
}

// An array of trivially copyable T that grows through the realloc hook:
// doubling from 16 elements, never past UINT32_MAX elements or SIZE_MAX
// bytes. The block goes back through the free hook unless released.
template <class T>
class hook_array {
public:
    explicit hook_array(hfslib_cbctx* ctx) : items_(nullptr, hook_deleter{ctx}), ctx_(ctx) {}

    // Appends `value`; false (the array as it was) when it could not grow.
    bool push_back(const T& value) {
        if (size_ == capacity_) {
            if (capacity_ == UINT32_MAX) return false;
            const uint32_t grown =
                capacity_ < 16 ? 16 : (capacity_ > UINT32_MAX / 2 ? UINT32_MAX : capacity_ * 2);
            if (!hook_resize(items_, grown, ctx_)) return false;
            capacity_ = grown;
        }
        items_[size_++] = value;
        return true;
    }
    uint32_t size() const { return size_; }
    const T& operator[](uint32_t i) const { return items_[i]; }
    // Hands the block over (null when nothing was ever appended).
    T* release() {
        size_ = capacity_ = 0;
        return items_.release();
    }

private:
    hook_ptr<T[]> items_;
    hfslib_cbctx* ctx_;
    uint32_t size_ = 0;
    uint32_t capacity_ = 0;
};

} // namespace hfslib

namespace hfslib {

// The records of one parsed node, as views into the node's bytes: the node
// is checked exactly as hfslib_parse_node checks it (same messages), but no
// record is copied. The bytes handed to parse() must stay as they are while
// the records are used. The offset arrays are kept (through the hooks) from
// one node to the next.
class node_records {
public:
    explicit node_records(hfslib_cbctx* ctx) : ctx_(ctx) {}
    node_records(const node_records&) = delete;
    node_records& operator=(const node_records&) = delete;

    // Parses `raw` as a node of `tree`, forgetting the records held before.
    size_t parse(const uint8_t* raw, uint8_t tree, hfslib_vol* vol);
    void release() { count_ = 0; }
    uint16_t count() const { return count_; }
    const uint8_t* data(uint16_t i) const { return at_[i]; }
    uint16_t size(uint16_t i) const { return table_[capacity_ + i]; }

    hfslib_node_desc desc{};

private:
    hfslib_cbctx* ctx_;
    hook_ptr<uint16_t[]> table_{nullptr, hook_deleter{ctx_}}; // offsets, then sizes
    hook_ptr<const uint8_t* []> at_ {
        nullptr, hook_deleter {
            ctx_
        }
    };
    uint32_t capacity_ = 0;
    uint16_t count_ = 0;
};

} // namespace hfslib
