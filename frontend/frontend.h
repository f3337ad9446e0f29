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
