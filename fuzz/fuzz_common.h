// What the fuzz targets share: library hooks that allocate with malloc and
// report nothing, and a check that stops the run on a broken invariant.
#pragma once

#include "libhfs/libhfs.h"

#include <cstdarg>
#include <cstdlib>

namespace qfuzz {

inline void check(bool ok) {
    if (!ok) std::abort();
}

inline void quiet(const char*, const char*, int, va_list) {}
inline void* alloc(size_t size, hfslib_cbctx*) {
    return std::malloc(size);
}
inline void* resize(void* block, size_t size, hfslib_cbctx*) {
    return size == 0 ? nullptr : std::realloc(block, size);
}
inline void release(void* block, hfslib_cbctx*) {
    std::free(block);
}

// Installs allocation hooks and a silent error hook (no device).
inline void install_parser_hooks() {
    static const hfslib_hooks hooks = {quiet, alloc, resize, release, nullptr, nullptr, nullptr};
    hfslib_setup(&hooks);
}

} // namespace qfuzz
