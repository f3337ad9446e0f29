// The options libfuse's high-level layer read, as the low-level mount reads
// them: command lines and fstab lines written for earlier versions keep
// working.
#include "frontend/lowlevel_ops.h"

#include <cstddef>

namespace {

#define SETTING(templ, field, value)                                                               \
    { templ, offsetof(hfs_reply_settings, field), value }

const struct fuse_opt library_opts[] = {
    SETTING("entry_timeout=%lf", entry_timeout, 0),
    SETTING("attr_timeout=%lf", attr_timeout, 0),
    SETTING("negative_timeout=%lf", negative_timeout, 0),
    SETTING("uid=", set_uid, 1),
    SETTING("uid=%u", uid, 0),
    SETTING("gid=", set_gid, 1),
    SETTING("gid=%u", gid, 0),
    SETTING("umask=", set_mode, 1),
    SETTING("umask=%o", umask, 0),
    // The kernel keeps pages and attributes of this read-only volume anyway;
    // inode numbers are always the volume's own.
    FUSE_OPT_KEY("kernel_cache", FUSE_OPT_KEY_DISCARD),
    FUSE_OPT_KEY("auto_cache", FUSE_OPT_KEY_DISCARD),
    FUSE_OPT_KEY("noauto_cache", FUSE_OPT_KEY_DISCARD),
    FUSE_OPT_KEY("ac_attr_timeout=", FUSE_OPT_KEY_DISCARD),
    FUSE_OPT_KEY("noforget", FUSE_OPT_KEY_DISCARD),
    FUSE_OPT_KEY("remember=", FUSE_OPT_KEY_DISCARD),
    FUSE_OPT_KEY("nopath", FUSE_OPT_KEY_DISCARD),
    FUSE_OPT_KEY("nullpath_ok", FUSE_OPT_KEY_DISCARD),
    FUSE_OPT_KEY("no_rofd_flush", FUSE_OPT_KEY_DISCARD),
    FUSE_OPT_KEY("hard_remove", FUSE_OPT_KEY_DISCARD),
    FUSE_OPT_KEY("use_ino", FUSE_OPT_KEY_DISCARD),
    FUSE_OPT_KEY("readdir_ino", FUSE_OPT_KEY_DISCARD),
    FUSE_OPT_KEY("intr", FUSE_OPT_KEY_DISCARD),
    FUSE_OPT_KEY("intr_signal=", FUSE_OPT_KEY_DISCARD),
    FUSE_OPT_END,
};

#undef SETTING

} // namespace

int hfs_take_library_options(struct fuse_args* args, hfs_reply_settings* settings) {
    return fuse_opt_parse(args, settings, library_opts, nullptr);
}
