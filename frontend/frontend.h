// The mount front-end: command line, help and version output, and the FUSE
// operations table with its handlers.
#pragma once

#include <fuse.h>

#include "access/options.h"

#include <cstdarg>
#include <cstdint>

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
// Appends the fixed mount options (read-only, no set-id programs or device
// nodes, inode numbers, file-system type and name) to the FUSE arguments,
// after every option given. FUSE serves requests on several threads unless
// the user gives -s.
void add_mount_options(struct fuse_args* args, const hfs_options* options);

void show_help(const char* program, const hfs_options* options);
void show_version();

// An error hook that sends library messages to the system log.
void log_syslog(const char* format, const char* file, int line, va_list args);
