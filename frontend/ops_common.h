// What the FUSE handlers share.
#pragma once

#define FUSE_USE_VERSION 29
#include <fuse.h>

#include "libhfs.h"

// The volume being served: the FUSE private data.
inline hfslib_vol* current_volume() {
    return static_cast<hfslib_vol*>(fuse_get_context()->private_data);
}
