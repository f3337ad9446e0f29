// The results libhfs documents, converted to this layer's rule (0 or a
// count on success, a negative errno value on failure) where they enter
// access/.
#pragma once

#include <cerrno>
#include <cstdint>

// A catalog search (hfslib_find_cat_record, hfslib_find_cat_record_by_cnid):
// 0 found, -1 not found, 1 failure.
inline int hfs_search_result(int result) {
    return result == 0 ? 0 : result < 0 ? -ENOENT : -EIO;
}

// A fork read (hfslib_read_fork_range and its indexed form): 0 done, -1
// missing or short extents, below -1 a device error's negative errno value.
// Missing extents, or extents that end before the range, must not pass for
// data, and a short count is no end of file either: -EIO.
inline int hfs_fork_read_result(int result, uint64_t got, uint64_t wanted) {
    if (result < -1) return result;
    return result != 0 || got != wanted ? -EIO : 0;
}
