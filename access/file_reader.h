// Reading a file: the fork a path names, read at any offset, whichever way
// it is stored (the plain extent walk, the indexed extents of a fragmented
// fork, or a compressed file's decmpfs data).
//
// Errors: every function returns 0 or a byte count on success, a negative
// errno value on failure.
#pragma once

#include "access/decmpfs.h"
#include "access/library_memory.h"
#include "libhfs/libhfs.h"

#include <cstdint>
#include <memory>
#include <span>
#include <string_view>
#include <sys/stat.h>
#include <vector>

// A run of a file's bytes as they lie in the device's descriptor.
struct hfs_stored_range {
    int fd = -1;
    uint64_t position = 0;
    size_t length = 0;
};

// One open fork. Not copyable; closed when it goes. Reads may run from
// several threads at once.
class hfs_file_reader {
public:
    hfs_file_reader() = default;
    hfs_file_reader(const hfs_file_reader&) = delete;
    hfs_file_reader& operator=(const hfs_file_reader&) = delete;

    // Resolves `path` and prepares its fork (or its compressed contents).
    // -EOPNOTSUPP for a compressed file of a kind that cannot be decoded
    // (it is not shown as empty), -EIO when its header cannot be read, and
    // the errors of hfs_resolve_path.
    int open(hfslib_vol* vol, std::string_view path);
    // The same for a record already found (hard links resolved) and the fork
    // to read.
    int open(hfslib_vol* vol, const hfslib_cat_rec& rec, uint8_t fork);

    // Copies up to buf.size() bytes at `offset` (clamped to the file) into
    // `buf`; the count copied, 0 at or past the end. -EINVAL for a negative
    // offset or a count above INT_MAX, -EIO when the fork's extents are
    // missing or end early, or a device error.
    int read(std::span<uint8_t> buf, int64_t offset) const;

    // Where the bytes at `offset` lie in the device's descriptor, when they
    // are stored there as they are read (not compressed, not in a disk
    // image): `out` gets the descriptor, the position and how many of up to
    // `size` bytes follow contiguously. False when they do not, or at the
    // end of the file; read() then serves them.
    bool locate(int64_t offset, size_t size, hfs_stored_range& out) const;

    // The attributes of the open item, looked up again by its CNID.
    int stat(struct stat* st) const;

    uint64_t size() const { return size_; }

private:
    hfslib_vol* vol_ = nullptr;
    uint32_t cnid_ = 0;
    uint8_t fork_ = 0;
    uint64_t size_ = 0;
    hfs_malloc_ptr<hfslib_extent[]> extents_; // from the library's hooks
    uint16_t extent_count_ = 0;
    // Where each extent ends in the fork (hfslib_index_fork_extents); empty
    // when the fork is read with the plain walk.
    std::vector<uint64_t> extent_ends_;
    std::shared_ptr<hfs_decmp> decmp_; // shared with the other opens of the file
};

// The target of the symbolic link `path`, NUL-terminated in `target` (cut
// to fit). -EINVAL for an empty buffer, and the errors of open and read.
int hfs_read_link(hfslib_vol* vol, std::string_view path, std::span<char> target);
// The same for a record already found.
int hfs_read_link(hfslib_vol* vol, const hfslib_cat_rec& rec, uint8_t fork, std::span<char> target);
