// What the file-system handlers share. The handlers serve FUSE, and the
// same handlers serve quorvel-extract, which has no FUSE: they reach the
// volume through `hfs_volume_source`, which each program sets.
#pragma once

#define FUSE_USE_VERSION 29
#include <fuse.h>

#include "libhfs.h"

// Returns the volume being served; set once, before the first request.
using hfs_volume_source_fn = hfslib_vol* (*)();
extern hfs_volume_source_fn hfs_volume_source;

inline hfslib_vol* current_volume() {
    return hfs_volume_source();
}
