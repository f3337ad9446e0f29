// The mount's FUSE handlers, on libfuse's low-level API, and the options of
// libfuse's high-level layer they honour.
#pragma once

#include <fuse_lowlevel.h>

#include "frontend/ops_common.h"

// The handlers; the session's user data is the hfs_mount served.
const struct fuse_lowlevel_ops* hfs_lowlevel_ops();

// Takes the options libfuse's high-level layer used to read out of `args`
// (the low-level session refuses them): the cache timeouts and the uid=,
// gid=, umask= overrides into `settings`; those that change nothing for this
// file system (kernel_cache, use_ino, hard_remove, ...) are dropped. -1 when
// a value does not parse.
int hfs_take_library_options(struct fuse_args* args, hfs_reply_settings* settings);
