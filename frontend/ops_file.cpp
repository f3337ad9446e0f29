// open, read, release and readlink.
#include "frontend.h"
#include "handles.h"
#include "ops_common.h"

#include "decmpfs.h"
#include "path_resolve.h"

#include <cerrno>
#include <climits>
#include <new>

namespace {

// Opens `path` as open() does: resolves it, then prepares its fork or its
// compressed contents.
int open_handle(hfslib_vol* vol, const char* path, std::unique_ptr<hfs_file_handle>& out) {
    hfslib_cat_rec rec{};
    hfslib_cat_key key{};
    uint8_t fork = 0;
    if (int err = hfs_resolve_path(vol, path, &rec, &key, &fork)) return err;

    auto handle = hfs_new_handle<hfs_file_handle>();
    if (!handle) return -ENOMEM;
    handle->cnid = rec.file.cnid;
    handle->fork = fork;
    if (rec.type == HFSLIB_REC_FILE)
        handle->size = fork ? rec.file.rsrc_fork.logical_size : rec.file.data_fork.logical_size;

    bool compressed = false;
    if (rec.type == HFSLIB_REC_FILE && fork == HFSLIB_DATA_FORK) {
        hfs_decmp_info info{};
        uint32_t attr_len = 0;
        uint8_t* attr_data = nullptr;
        int probe = hfs_decmp_probe(vol, &rec, &info, &attr_len, &attr_data);
        // A compressed file that cannot be decoded is not shown as empty.
        if (probe == -EOPNOTSUPP) return -EOPNOTSUPP;
        if (probe < 0) return -EIO;
        if (probe == 0) {
            hfs_malloc_ptr<uint8_t[]> attribute(attr_data);
            compressed = true;
            handle->size = info.size;
            int err = 0;
            handle->decmp.reset(hfs_decmp_open(vol, handle->cnid, attr_len, attribute.get(), &err));
            if (!handle->decmp) return err != 0 ? err : -EIO;
        }
    }
    if (!compressed && rec.type == HFSLIB_REC_FILE) {
        hfslib_extent* extents = nullptr;
        handle->extent_count =
            hfslib_collect_fork_extents(vol, handle->cnid, fork, &extents, nullptr);
        handle->extents.reset(extents);
        // Reads find their first extent by binary search over the extent ends;
        // a fork whose ends cannot be summed keeps the plain walk (and its report).
        if (handle->extents && handle->extent_count > 1) {
            try {
                handle->extent_ends.resize(handle->extent_count);
            } catch (const std::bad_alloc&) {
                return -ENOMEM;
            }
            if (hfslib_index_fork_extents(vol, handle->extents.get(), handle->extent_count,
                                          handle->extent_ends.data()) != 0)
                handle->extent_ends.clear();
        }
    }
    out = std::move(handle);
    return 0;
}

// Reads from an open handle; the range is clamped to the file.
int read_handle(hfslib_vol* vol, hfs_file_handle& handle, char* buf, size_t size, off_t offset) {
    if (offset < 0) return -EINVAL;
    const auto start = static_cast<uint64_t>(offset);
    if (start >= handle.size) return 0;
    const uint64_t n = std::min<uint64_t>(size, handle.size - start);
    if (handle.decmp)
        return hfs_decmp_read(vol, handle.decmp.get(), reinterpret_cast<uint8_t*>(buf),
                              static_cast<size_t>(n), offset);
    if (n > INT_MAX) return -EINVAL;
    uint64_t got = 0;
    int result =
        handle.extent_ends.empty()
            ? hfslib_read_fork_range(vol, reinterpret_cast<uint8_t*>(buf), &got, n, start,
                                     handle.extents.get(), handle.extent_count, nullptr)
            : hfslib_read_fork_range_indexed(vol, reinterpret_cast<uint8_t*>(buf), &got, n, start,
                                             handle.extents.get(), handle.extent_ends.data(),
                                             handle.extent_count, nullptr);
    // A device error keeps its code. Missing extents, or extents that end
    // before the fork's size, must not pass for data (nor for an early end).
    if (result < -1) return result;
    if (result != 0 || got != n) return -EIO;
    return static_cast<int>(got);
}

} // namespace

int op_open(const char* path, struct fuse_file_info* fi) {
    std::unique_ptr<hfs_file_handle> handle;
    if (int err = open_handle(current_volume(), path, handle)) return err;
    fi->fh = hfs_handle_to_fh(std::move(handle));
    if (fi->fh == 0) return -ENOMEM;
    fi->keep_cache = 1;
    return 0;
}

int op_read(const char*, char* buf, size_t size, off_t offset, struct fuse_file_info* fi) {
    return read_handle(current_volume(), *hfs_handle_from_fh<hfs_file_handle>(fi->fh), buf, size,
                       offset);
}

int op_release(const char*, struct fuse_file_info* fi) {
    std::unique_ptr<hfs_file_handle> handle = hfs_take_handle<hfs_file_handle>(fi->fh);
    fi->fh = 0;
    return 0;
}

int op_readlink(const char* path, char* buf, size_t size) {
    if (size == 0) return -EINVAL;
    hfslib_vol* vol = current_volume();
    std::unique_ptr<hfs_file_handle> handle;
    if (int err = open_handle(vol, path, handle)) return err;
    int got = 0;
    if (handle->size != 0) {
        got = read_handle(vol, *handle, buf, size - 1, 0);
        if (got < 0) return got;
    }
    buf[got] = '\0';
    return 0;
}
