// The option table and the argument callback of the option parser.
#include "frontend.h"

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <string>

#define HFS_OPT(templ, field, value)                                                               \
    { templ, offsetof(hfs_options, field), value }

const struct fuse_opt hfs_opts[] = {
    FUSE_OPT_KEY("-h", KEY_HELP),
    FUSE_OPT_KEY("--help", KEY_HELP),
    FUSE_OPT_KEY("-H", KEY_FULLHELP),
    FUSE_OPT_KEY("--fullhelp", KEY_FULLHELP),
    FUSE_OPT_KEY("-v", KEY_VERSION),
    FUSE_OPT_KEY("--version", KEY_VERSION),
    HFS_OPT("--force", force, 1),
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
    HFS_OPT("partition=%u", partition, 0),
    // fstab options meant for the boot process, not for the file system.
    FUSE_OPT_KEY("nofail", FUSE_OPT_KEY_DISCARD),
    FUSE_OPT_END,
};

int process_arg(void* data, const char* arg, int key, struct fuse_args* outargs) {
    auto* options = static_cast<hfs_options*>(data);
    switch (key) {
    case FUSE_OPT_KEY_NONOPT:
        if (!options->volume) {
            options->volume = strdup(arg);
            return 0;
        }
        return 1;
    case KEY_HELP:
    case KEY_FULLHELP:
        show_help(outargs->argv[0], options);
        fuse_opt_add_arg(outargs, "-ho");
        fuse_parse_cmdline(outargs, nullptr, nullptr, nullptr);
        if (key == KEY_FULLHELP) {
            fuse_mount("", outargs);
            fuse_new(nullptr, outargs, nullptr, 0, nullptr);
        }
        fuse_opt_free_args(outargs);
        std::exit(0);
    case KEY_VERSION:
        show_version();
        fuse_opt_free_args(outargs);
        std::exit(0);
    default:
        return 1;
    }
}

// Adds the fixed mount options and runs FUSE single-threaded.
void add_mount_options(struct fuse_args* args, const hfs_options* options) {
    std::string fsname = std::string("fsname=") + options->volume;
    char* mount_options = nullptr;
    fuse_opt_add_opt(&mount_options, "ro");
    if (!options->noallow_other) fuse_opt_add_opt(&mount_options, "allow_other");
    fuse_opt_add_opt(&mount_options, "use_ino");
    fuse_opt_add_opt(&mount_options, "subtype=hfs");
    fuse_opt_add_opt_escaped(&mount_options, fsname.c_str());
    fuse_opt_add_arg(args, "-o");
    fuse_opt_add_arg(args, mount_options);
    fuse_opt_add_arg(args, "-s");
    std::free(mount_options);
}
