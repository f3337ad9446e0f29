// What the FUSE handlers share: the volume being served is the file system's
// private data.
#pragma once

#define FUSE_USE_VERSION 29
#include <fuse.h>

#include "libhfs.h"

inline hfslib_vol* mounted_volume() {
    return static_cast<hfslib_vol*>(fuse_get_context()->private_data);
}
