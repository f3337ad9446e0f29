// The mount options: the table the option parser reads. quorvel hands it to
// FUSE's parser; quorvel-extract reads it with its own.
#include "frontend/option_table.h"
#include "frontend/frontend.h"

#include <cstddef>
#include <vector>

#define HFS_OPT(templ, field, value)                                                               \
    { templ, offsetof(hfs_options, field), value }

const struct fuse_opt hfs_opts[] = {
    FUSE_OPT_KEY("-h", KEY_HELP),
    FUSE_OPT_KEY("--help", KEY_HELP),
    FUSE_OPT_KEY("-H", KEY_FULLHELP),
    FUSE_OPT_KEY("--fullhelp", KEY_FULLHELP),
    FUSE_OPT_KEY("-v", KEY_VERSION),
    FUSE_OPT_KEY("-V", KEY_VERSION),
    FUSE_OPT_KEY("--version", KEY_VERSION),
    HFS_OPT("--force", force, 1),
    HFS_OPT("--verbose", verbose, 1),
    // FUSE's debug output: the reader's messages too (passed on to FUSE).
    FUSE_OPT_KEY("-d", KEY_DEBUG),
    FUSE_OPT_KEY("debug", KEY_DEBUG),
    HFS_OPT("noallow_other", noallow_other, 1),
    HFS_OPT("cache_size=%zu", cache_size, 0),
    HFS_OPT("blksize=%u", blksize, 0),
    HFS_OPT("noublio", noublio, 1),
    HFS_OPT("ublio_items=%d", ublio_items, 0),
    HFS_OPT("ublio_grace=%lu", ublio_grace, 0),
    HFS_OPT("rsrc_ext=%s", rsrc_ext, 0),
    HFS_OPT("rsrc_only", rsrc_only, 1),
    HFS_OPT("default_file_mode=%ho", default_file_mode, 0),
    HFS_OPT("default_dir_mode=%ho", default_dir_mode, 0),
    HFS_OPT("default_uid=%u", default_uid, 0),
    HFS_OPT("default_gid=%u", default_gid, 0),
    HFS_OPT("disable_symlinks", disable_symlinks, 1),
    // Both entries take "partition=N" (every matching entry is applied).
    HFS_OPT("partition=", partition_given, 1),
    HFS_OPT("partition=%u", partition, 0),
    HFS_OPT("image_cache=%u", image_cache, 0),
    HFS_OPT("direct_io", direct_io, 1),
    HFS_OPT("threads", threads, 1),
    HFS_OPT("replay", replay, 1),
    // fstab options meant for the boot process, not for the file system.
    FUSE_OPT_KEY("nofail", FUSE_OPT_KEY_DISCARD),
    FUSE_OPT_KEY("allow_other", KEY_WHO_MAY_ACCESS),
    FUSE_OPT_KEY("allow_root", KEY_WHO_MAY_ACCESS),
    // Refused on the command line; what mount(8) adds by itself.
    FUSE_OPT_KEY("rw", KEY_READ_WRITE),
#if FUSE_USE_VERSION >= 30
    // libfuse 2 options that libfuse 3 dropped and that change nothing for
    // a read-only volume served with its own inode numbers: accepted, so
    // that command lines and fstab lines work with either build.
    FUSE_OPT_KEY("use_ino", FUSE_OPT_KEY_DISCARD),
    FUSE_OPT_KEY("readdir_ino", FUSE_OPT_KEY_DISCARD),
    FUSE_OPT_KEY("nonempty", FUSE_OPT_KEY_DISCARD),
    FUSE_OPT_KEY("big_writes", FUSE_OPT_KEY_DISCARD),
    FUSE_OPT_KEY("hard_remove", FUSE_OPT_KEY_DISCARD),
    FUSE_OPT_KEY("intr", FUSE_OPT_KEY_DISCARD),
    FUSE_OPT_KEY("intr_signal=", FUSE_OPT_KEY_DISCARD),
#endif
    FUSE_OPT_END,
};

std::span<const hfs_option_template> hfs_option_templates() {
    static const std::vector<hfs_option_template> fields = [] {
        std::vector<hfs_option_template> out;
        for (const fuse_opt* entry = hfs_opts; entry->templ; ++entry)
            if (entry->offset < sizeof(hfs_options)) // not -h, -v, nofail, ...
                out.push_back({entry->templ, entry->offset, entry->value});
        return out;
    }();
    return fields;
}
