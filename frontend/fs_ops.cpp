// The FUSE operations table, the file-system statistics and shutdown.
#include "frontend.h"
#include "handles.h"
#include "ops_common.h"

#include "libhfs.h"

#include <algorithm>
#include <sys/statvfs.h>
#include <syslog.h>

namespace {

// The highest file count the statistics report.
constexpr uint64_t max_files = 4294967279ULL; // 2^32 - 17

// Under FUSE the volume is the file system's private data.
hfslib_vol* fuse_volume() {
    return static_cast<hfslib_vol*>(fuse_get_context()->private_data);
}

fuse_operations make_ops() {
    hfs_volume_source = fuse_volume;
    fuse_operations ops{};
    ops.getattr = op_getattr;
    ops.readlink = op_readlink;
    ops.open = op_open;
    ops.read = op_read;
    ops.statfs = op_statfs;
    ops.release = op_release;
    ops.getxattr = op_getxattr;
    ops.listxattr = op_listxattr_mounted;
    ops.opendir = op_opendir;
    ops.readdir = op_readdir;
    ops.releasedir = op_releasedir;
    ops.destroy = op_destroy;
    ops.fgetattr = op_fgetattr;
    ops.flag_nullpath_ok = 1;
    ops.flag_nopath = 1;
    return ops;
}

} // namespace

void log_syslog(const char* format, const char*, int, va_list args) {
    vsyslog(LOG_ERR, format, args);
}

int op_statfs(const char*, struct statvfs* st) {
    const hfslib_vheader& vh = current_volume()->vh;
    st->f_bsize = vh.block_size;
    st->f_frsize = vh.block_size;
    // The header's counts are not trusted to fit: more free blocks than
    // blocks, or more files than the maximum, would show negative use.
    const uint64_t free_blocks = std::min(vh.free_blocks, vh.total_blocks);
    const uint64_t used_files = uint64_t{vh.file_count} + vh.folder_count;
    st->f_blocks = vh.total_blocks;
    st->f_bfree = free_blocks;
    st->f_bavail = free_blocks;
    st->f_files = max_files;
    st->f_ffree = used_files < max_files ? max_files - used_files : 0;
    st->f_favail = st->f_ffree;
    st->f_flag = ST_RDONLY;
    st->f_namemax = 765;
    return 0;
}

void op_destroy(void* private_data) {
    hfs_free_open_handles();
    hfslib_unmount(static_cast<hfslib_vol*>(private_data), nullptr);
}

const struct fuse_operations* hfs_fuse_ops() {
    static const fuse_operations ops = make_ops();
    return &ops;
}
