// Ownership of the blocks the library's allocation hooks hand out (they come
// from malloc, see device.cpp): an hfs_malloc_ptr frees its block with
// std::free when it goes.
#pragma once

#include <cstdlib>
#include <memory>

struct hfs_free_deleter {
    void operator()(void* block) const { std::free(block); }
};
template <class T>
using hfs_malloc_ptr = std::unique_ptr<T, hfs_free_deleter>;
