#include "ops_common.h"

hfs_volume_source_fn hfs_volume_source = nullptr;
