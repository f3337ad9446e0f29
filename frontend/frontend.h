// The mount front-end: command line, help and version output, and the FUSE
// operations table with its handlers.
#pragma once

#include <fuse.h>

#include "access/options.h"

#include <cstdarg>
#include <cstdint>
#include <string_view>

enum {
    KEY_HELP = 0,
    KEY_FULLHELP = 1,
    KEY_VERSION = 2,
    KEY_READ_WRITE = 3,
    KEY_WHO_MAY_ACCESS = 4, // allow_other, allow_root: passed on, none added
    KEY_DEBUG = 5,          // -d, debug: passed on, and --verbose
};

inline constexpr char usage_format[] = "usage: %s [-hHv] [-o options] volume mountpoint\n\n";

// The option table handed to fuse_opt_parse.
extern const struct fuse_opt hfs_opts[];

int process_arg(void* data, const char* arg, int key, struct fuse_args* outargs);
// Appends the fixed mount options (read-only, no set-id programs or device
// nodes, inode numbers, file-system type and name) to the FUSE arguments,
// after every option given. FUSE serves requests on several threads unless
// the user gives -s.
void add_mount_options(struct fuse_args* args, const hfs_options* options);

// Whether FUSE's configuration lets ordinary users give allow_other (and
// allow_root): a line "user_allow_other" in /etc/fuse.conf, as fusermount
// reads it ('#' starts a comment, spaces around are ignored).
bool fuse_conf_allows_other(std::string_view conf_text);
bool fuse_conf_allows_other();

void show_help(const char* program, const hfs_options* options);
void show_version();

// An error hook that sends library messages to the system log, and to
// standard error too after hfs_log_to_stderr_too(true) (in the foreground).
void log_syslog(const char* format, const char* file, int line, va_list args);
void hfs_log_to_stderr_too(bool also);

// The FUSE operations table.
const struct fuse_operations* hfs_fuse_ops();

// The handlers. libfuse 3 hands getattr the open file (null for a path) and
// readdir the kind of listing wanted; libfuse 2 has fgetattr for the first.
#if FUSE_USE_VERSION >= 30
void* op_init(struct fuse_conn_info* conn, struct fuse_config* cfg);
int op_getattr(const char* path, struct stat* st, struct fuse_file_info* fi);
int op_readdir(const char* path, void* buf, fuse_fill_dir_t filler, off_t offset,
               struct fuse_file_info* fi, enum fuse_readdir_flags flags);
#else
void* op_init(struct fuse_conn_info* conn);
int op_getattr(const char* path, struct stat* st);
int op_fgetattr(const char* path, struct stat* st, struct fuse_file_info* fi);
int op_readdir(const char* path, void* buf, fuse_fill_dir_t filler, off_t offset,
               struct fuse_file_info* fi);
#endif
int op_open(const char* path, struct fuse_file_info* fi);
int op_read(const char* path, char* buf, size_t size, off_t offset, struct fuse_file_info* fi);
// op_read handing the kernel descriptor ranges where the bytes lie as stored.
int op_read_buf(const char* path, struct fuse_bufvec** bufp, size_t size, off_t offset,
                struct fuse_file_info* fi);
int op_release(const char* path, struct fuse_file_info* fi);
int op_readlink(const char* path, char* buf, size_t size);
int op_opendir(const char* path, struct fuse_file_info* fi);
int op_releasedir(const char* path, struct fuse_file_info* fi);
int op_getxattr(const char* path, const char* name, char* value, size_t size);
int op_listxattr(const char* path, char* list, size_t size);
// op_listxattr as the mount serves it: Linux reads user. attributes of
// regular files and folders only, so other items list none.
int op_listxattr_mounted(const char* path, char* list, size_t size);
int op_statfs(const char* path, struct statvfs* st);
void op_destroy(void* private_data);
