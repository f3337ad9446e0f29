// The mount front-end: command line, help and version output, and the FUSE
// operations table with its handlers.
#pragma once

#define FUSE_USE_VERSION 29
#include <fuse.h>

#include "options.h"

#include <cstdarg>

enum { KEY_HELP = 0, KEY_FULLHELP = 1, KEY_VERSION = 2 };

// Optional libraries the program was built with (help and version output).
enum : unsigned {
    FEATURE_UBLIO = 1,
    FEATURE_UTF8PROC = 2,
    FEATURE_ZLIB = 4,
    FEATURE_LZFSE = 8,
};
inline constexpr unsigned feature_mask =
    FEATURE_UBLIO | FEATURE_UTF8PROC | FEATURE_ZLIB | FEATURE_LZFSE;

inline constexpr char usage_format[] = "usage: %s [-hHv] [-o options] volume mountpoint\n\n";

// The option table handed to fuse_opt_parse.
extern const struct fuse_opt hfs_opts[];

int process_arg(void* data, const char* arg, int key, struct fuse_args* outargs);
// Appends the fixed mount options (read-only, inode numbers, file-system name)
// and "-s" (single-threaded) to the FUSE arguments.
void add_mount_options(struct fuse_args* args, const hfs_options* options);

void show_help(const char* program, const hfs_options* options);
void show_version();

// An error hook that sends library messages to the system log.
void log_syslog(const char* format, const char* file, int line, va_list args);

// The FUSE operations table.
const struct fuse_operations* hfs_fuse_ops();

int op_statfs(const char* path, struct statvfs* st);
void op_destroy(void* private_data);
