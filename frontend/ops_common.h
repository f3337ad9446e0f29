// What the FUSE handlers share: the volume being served is the file system's
// private data.
#pragma once

#include <fuse.h>

#include "libhfs/libhfs.h"

inline hfslib_vol* mounted_volume() {
    return static_cast<hfslib_vol*>(fuse_get_context()->private_data);
}
