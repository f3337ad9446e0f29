// What the FUSE handlers share: the mount being served is the session's
// user data.
#pragma once

#include "frontend/handles.h"
#include "frontend/node_table.h"
#include "libhfs/libhfs.h"

#include <mutex>
#include <string>
#include <sys/types.h>

struct fuse_conn_info_opts;

// How long the kernel may keep names, attributes and missing names, and the
// owner and permission overrides, as the command line gives them (libfuse's
// entry_timeout=, attr_timeout=, negative_timeout=, uid=, gid=, umask=).
struct hfs_reply_settings {
    double entry_timeout = 86400;
    double attr_timeout = 86400;
    double negative_timeout = 86400;
    int set_uid = 0;
    int set_gid = 0;
    int set_mode = 0;
    unsigned int uid = 0;
    unsigned int gid = 0;
    unsigned int umask = 0;
};

// The volume being served, and (libfuse 3) the connection options given on
// the command line, applied when the kernel connects.
struct hfs_mount {
    hfslib_vol* vol = nullptr; // null once the file system has closed it
    std::string mount_point;   // as resolved
    bool direct_io = false;    // reads bypass the kernel's page cache
    // Whether reads hand the kernel descriptor ranges (splicing was asked for).
    bool descriptor_reads = false;
    // Whether to let the kernel read ahead as far as one read request may
    // carry (not when the command line set max_readahead), done once.
    bool raise_readahead = true;
    std::once_flag readahead_raised;
    hfs_reply_settings settings;
    hfs_node_table nodes;
    // libfuse 3: folders are not opened (OPENDIR answered ENOSYS), and
    // their handles kept here while they are read.
    bool unopened_folders = false;
    hfs_unopened_folders folders;

    struct fuse_conn_info_opts* connection_options = nullptr; // libfuse 3
};
