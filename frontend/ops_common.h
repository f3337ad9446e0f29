// What the FUSE handlers share: the mount being served is the file system's
// private data.
#pragma once

#include <fuse.h>

#include "libhfs/libhfs.h"

#include <mutex>
#include <string>

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

#if FUSE_USE_VERSION >= 30
    struct fuse_conn_info_opts* connection_options = nullptr;
#endif
};

inline hfs_mount* mounted() {
    return static_cast<hfs_mount*>(fuse_get_context()->private_data);
}
inline hfslib_vol* mounted_volume() {
    return mounted()->vol;
}
