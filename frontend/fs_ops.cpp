// The FUSE operations table and its handlers: each takes FUSE's types, makes
// one call into the access layer and hands back its result (a negative errno
// value on failure).
#include "frontend/frontend.h"
#include "frontend/handles.h"
#include "frontend/mount_table.h"
#include "frontend/ops_common.h"

#include "access/file_reader.h"
#include "access/folder_reader.h"
#include "access/stat.h"
#include "access/xattrs.h"

#include <algorithm>
#include <cstdlib>

namespace {

fuse_operations make_ops() {
    fuse_operations ops{};
    ops.init = op_init;
    ops.getattr = op_getattr;
    ops.readlink = op_readlink;
    ops.open = op_open;
    ops.read = op_read;
    ops.read_buf = op_read_buf;
    ops.statfs = op_statfs;
    ops.release = op_release;
    ops.getxattr = op_getxattr;
    ops.listxattr = op_listxattr_mounted;
    ops.opendir = op_opendir;
    ops.readdir = op_readdir;
    ops.releasedir = op_releasedir;
    ops.destroy = op_destroy;
#if FUSE_USE_VERSION < 30
    ops.fgetattr = op_fgetattr;
    ops.flag_nullpath_ok = 1;
    ops.flag_nopath = 1;
#endif
    return ops;
}

// Stores a new open reader in fi->fh.
template <class Reader>
int open_reader(const char* path, struct fuse_file_info* fi) {
    auto reader = hfs_new_handle<Reader>();
    if (!reader) return -ENOMEM;
    if (int err = reader->open(mounted_volume(), path)) return err;
    fi->fh = hfs_handle_to_fh(std::move(reader));
    return fi->fh == 0 ? -ENOMEM : 0;
}

// The largest read request the kernel sends (its max_pages), in KiB.
constexpr unsigned request_kib = 1024;

struct fill_context {
    void* buf;
    fuse_fill_dir_t filler;
    bool plus;
};

int fill(void* ctx, const char* name, const struct stat* st, int64_t next) {
    const auto* to = static_cast<const fill_context*>(ctx);
#if FUSE_USE_VERSION >= 30
    // Attributes handed out with a full listing are what getattr would give
    // (the kernel keeps them as if looked up); an entry without them is
    // looked up when it is used.
    const auto flags = to->plus && st ? FUSE_FILL_DIR_PLUS : static_cast<fuse_fill_dir_flags>(0);
    return to->filler(to->buf, name, st, static_cast<off_t>(next), flags);
#else
    return to->filler(to->buf, name, st, static_cast<off_t>(next));
#endif
}

} // namespace

#if FUSE_USE_VERSION >= 30
void* op_init(struct fuse_conn_info* conn, struct fuse_config* cfg) {
    // Paths are not needed once a file or folder is open; the inode numbers
    // are the volume's own.
    cfg->nullpath_ok = 1;
    cfg->use_ino = 1;
    hfs_mount* mount = mounted();
    const unsigned offered = conn->max_readahead;
    if (mount->connection_options) fuse_apply_conn_info_opts(mount->connection_options, conn);
    // Read ahead as far as one request may carry, unless told otherwise
    // (-o max_readahead=N).
    mount->raise_readahead = conn->max_readahead >= offered;
    mount->descriptor_reads = (conn->want & FUSE_CAP_SPLICE_WRITE) != 0;
    return mount;
}

int op_getattr(const char* path, struct stat* st, struct fuse_file_info* fi) {
    if (fi) return hfs_handle_from_fh<hfs_file_reader>(fi->fh)->stat(st);
    return hfs_stat_path(mounted_volume(), path, st);
}

int op_readdir(const char*, void* buf, fuse_fill_dir_t filler, off_t offset,
               struct fuse_file_info* fi, enum fuse_readdir_flags flags) {
    const bool plus = (flags & FUSE_READDIR_PLUS) != 0;
    fill_context to{buf, filler, plus};
    return hfs_handle_from_fh<hfs_folder_reader>(fi->fh)->read(
        offset, fill, &to,
        plus ? hfs_folder_reader::detail::full : hfs_folder_reader::detail::plain);
}
#else
void* op_init(struct fuse_conn_info* conn) {
    hfs_mount* mount = mounted();
    mount->descriptor_reads = (conn->want & FUSE_CAP_SPLICE_WRITE) != 0;
    return mount;
}

int op_getattr(const char* path, struct stat* st) {
    return hfs_stat_path(mounted_volume(), path, st);
}

int op_fgetattr(const char*, struct stat* st, struct fuse_file_info* fi) {
    return hfs_handle_from_fh<hfs_file_reader>(fi->fh)->stat(st);
}

int op_readdir(const char*, void* buf, fuse_fill_dir_t filler, off_t offset,
               struct fuse_file_info* fi) {
    fill_context to{buf, filler, false};
    return hfs_handle_from_fh<hfs_folder_reader>(fi->fh)->read(offset, fill, &to);
}
#endif

int op_open(const char* path, struct fuse_file_info* fi) {
    // The kernel takes a file's read-ahead from its mount when the file is
    // opened, and sets the mount's from the reply to the first request: the
    // first open is the time to raise it.
    hfs_mount* mount = mounted();
    std::call_once(mount->readahead_raised, [mount] {
        if (mount->raise_readahead) hfs_raise_readahead(mount->mount_point, request_kib);
    });
    if (int err = open_reader<hfs_file_reader>(path, fi)) return err;
    fi->keep_cache = 1;
    fi->direct_io = mount->direct_io;
    return 0;
}

int op_read(const char*, char* buf, size_t size, off_t offset, struct fuse_file_info* fi) {
    return hfs_handle_from_fh<hfs_file_reader>(fi->fh)->read(
        {reinterpret_cast<uint8_t*>(buf), size}, offset);
}

int op_read_buf(const char*, struct fuse_bufvec** bufp, size_t size, off_t offset,
                struct fuse_file_info* fi) {
    const auto* reader = hfs_handle_from_fh<hfs_file_reader>(fi->fh);
    // With splicing asked for (-o splice_write), bytes stored as they are
    // read go to the kernel as descriptor ranges, which libfuse splices. The
    // whole request must be covered (a short reply reads as the end of the
    // file), else it is read into memory. Without it, libfuse would copy
    // such ranges through a buffer of its own: slower than reading into
    // memory here.
    constexpr size_t max_ranges = 16;
    hfs_stored_range ranges[max_ranges];
    size_t count = 0;
    size_t covered = 0;
    const size_t wanted =
        offset >= 0 && static_cast<uint64_t>(offset) < reader->size()
            ? static_cast<size_t>(std::min<uint64_t>(size, reader->size() - offset))
            : 0;
    while (mounted()->descriptor_reads && covered < wanted && count < max_ranges &&
           reader->locate(offset + static_cast<off_t>(covered), wanted - covered, ranges[count]))
        covered += ranges[count++].length;
    if (wanted > 0 && covered == wanted) {
        auto* vec = static_cast<fuse_bufvec*>(
            std::calloc(1, sizeof(fuse_bufvec) + (count - 1) * sizeof(fuse_buf)));
        if (!vec) return -ENOMEM;
        vec->count = count;
        for (size_t i = 0; i < count; ++i) {
            vec->buf[i].size = ranges[i].length;
            vec->buf[i].flags = static_cast<fuse_buf_flags>(FUSE_BUF_IS_FD | FUSE_BUF_FD_SEEK);
            vec->buf[i].fd = ranges[i].fd;
            vec->buf[i].pos = static_cast<off_t>(ranges[i].position);
        }
        *bufp = vec;
        return 0;
    }
    auto* vec = static_cast<fuse_bufvec*>(std::malloc(sizeof(fuse_bufvec)));
    if (!vec) return -ENOMEM;
    *vec = FUSE_BUFVEC_INIT(size);
    vec->buf[0].mem = std::malloc(size ? size : 1);
    *bufp = vec;
    if (!vec->buf[0].mem) return -ENOMEM;
    const int got = op_read(nullptr, static_cast<char*>(vec->buf[0].mem), size, offset, fi);
    vec->buf[0].size = got > 0 ? static_cast<size_t>(got) : 0;
    return got < 0 ? got : 0;
}

int op_release(const char*, struct fuse_file_info* fi) {
    hfs_take_handle<hfs_file_reader>(fi->fh);
    fi->fh = 0;
    return 0;
}

int op_readlink(const char* path, char* buf, size_t size) {
    return hfs_read_link(mounted_volume(), path, {buf, size});
}

int op_opendir(const char* path, struct fuse_file_info* fi) {
    return open_reader<hfs_folder_reader>(path, fi);
}

int op_releasedir(const char*, struct fuse_file_info* fi) {
    hfs_take_handle<hfs_folder_reader>(fi->fh);
    fi->fh = 0;
    return 0;
}

int op_getxattr(const char* path, const char* name, char* value, size_t size) {
    return hfs_get_xattr(mounted_volume(), path, name, {value, size});
}

int op_listxattr(const char* path, char* list, size_t size) {
    return hfs_list_xattrs(mounted_volume(), path, {list, size}, hfs_xattr_scope::every_item);
}

int op_listxattr_mounted(const char* path, char* list, size_t size) {
    return hfs_list_xattrs(mounted_volume(), path, {list, size},
                           hfs_xattr_scope::files_and_folders);
}

int op_statfs(const char*, struct statvfs* st) {
    return hfs_statfs(mounted_volume(), st);
}

void op_destroy(void* private_data) {
    hfs_free_open_handles();
    auto* mount = static_cast<hfs_mount*>(private_data);
    hfslib_unmount(mount->vol, nullptr);
    mount->vol = nullptr;
}

const struct fuse_operations* hfs_fuse_ops() {
    static const fuse_operations ops = make_ops();
    return &ops;
}
