// The FUSE operations table and its handlers: each takes FUSE's types, makes
// one call into the access layer and hands back its result (a negative errno
// value on failure).
#include "frontend/frontend.h"
#include "frontend/handles.h"
#include "frontend/ops_common.h"

#include "access/file_reader.h"
#include "access/folder_reader.h"
#include "access/stat.h"
#include "access/xattrs.h"

#include <syslog.h>

namespace {

fuse_operations make_ops() {
    fuse_operations ops{};
    ops.init = op_init;
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

void log_syslog(const char* format, const char*, int, va_list args) {
    vsyslog(LOG_ERR, format, args);
}

#if FUSE_USE_VERSION >= 30
void* op_init(struct fuse_conn_info* conn, struct fuse_config* cfg) {
    // Paths are not needed once a file or folder is open; the inode numbers
    // are the volume's own.
    cfg->nullpath_ok = 1;
    cfg->use_ino = 1;
    hfs_mount* mount = mounted();
    if (mount->connection_options) fuse_apply_conn_info_opts(mount->connection_options, conn);
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
void* op_init(struct fuse_conn_info*) {
    return mounted();
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
    if (int err = open_reader<hfs_file_reader>(path, fi)) return err;
    fi->keep_cache = 1;
    return 0;
}

int op_read(const char*, char* buf, size_t size, off_t offset, struct fuse_file_info* fi) {
    return hfs_handle_from_fh<hfs_file_reader>(fi->fh)->read(
        {reinterpret_cast<uint8_t*>(buf), size}, offset);
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
    hfslib_unmount(static_cast<hfs_mount*>(private_data)->vol, nullptr);
}

const struct fuse_operations* hfs_fuse_ops() {
    static const fuse_operations ops = make_ops();
    return &ops;
}
