// The help text and the version report.
#include "frontend/frontend.h"

#include "frontend/library_versions.h"

#include <cstdio>

void show_help(const char* program, const hfs_options* options) {
    std::printf(usage_format, program);
    std::printf(
        "general options:\n"
        "    -o opt,[opt...]        mount options\n"
        "    -h, --help             this help\n"
        "    -H, --fullhelp         list all FUSE options\n"
        "    -v, -V, --version      the version and the libraries built in\n"
        "    --verbose              for a volume that cannot be opened, also each step that "
        "failed\n"
        "                           (-d too)\n"
        "\n"
        "HFS+ options:\n"
        "    --force                force mount volumes with dirty journal\n"
        "    -o replay              replay a dirty journal in memory (the image is not "
        "changed)\n"
        "    -o rsrc_only           only mount the resource forks of files\n"
        "    -o noallow_other       only the mounting user may open the mount (the default for\n"
        "                           ordinary users unless /etc/fuse.conf has user_allow_other)\n"
        "    -o cache_size=N        size of lookup cache (%zu)\n"
        "    -o blksize=N           set a custom read size/alignment in bytes\n"
        "                           you should only set this if you are sure it is being "
        "misdetected\n"
        "    -o rsrc_ext=suffix     special suffix for filenames which can be used to access "
        "their resource fork\n"
        "                           or alternatively their data fork if mounted in rsrc_only "
        "mode\n"
        "    -o partition=N         mount the N-th partition of a whole-disk image, from 1 "
        "(default: the first HFS+ one)\n"
        "    -o image_cache=N       MiB of decoded disk-image (.dmg) data kept in memory (%u)\n"
        "    -o direct_io           read files without the kernel's page cache\n"
        "    -o threads             serve requests on several threads (default: one)\n"
        "    -o nofail              ignored: meant for the boot process (fstab)\n"
        "\n"
        "    -o default_file_mode=N octal filesystem permissions for Mac OS Classic files (%o)\n"
        "    -o default_dir_mode=N  octal filesystem permissions for Mac OS Classic directories "
        "(%o)\n"
        "    -o default_uid=N       unix user ID for Mac OS Classic files (%u)\n"
        "    -o default_gid=N       unix group ID for Mac OS Classic files (%u)\n"
        "\n"
        "    -o disable_symlinks    treat symbolic links as regular files. may be used to view "
        "extended attributes\n"
        "                           of these on systems that don't support symlink xattrs\n"
        "\n"
        "    -o noublio             read the volume without the block cache (recently read\n"
        "                           blocks of the volume kept in memory)\n"
        "    -o ublio_items=N       blocks the block cache keeps, 0 for none (%d)\n"
        "    -o ublio_grace=N       a cached block is dropped only after N reads without use "
        "(%lu)\n"
        "\n",
        options->cache_size, options->image_cache,
        static_cast<unsigned>(options->default_file_mode),
        static_cast<unsigned>(options->default_dir_mode), options->default_uid,
        options->default_gid, options->ublio_items, options->ublio_grace);
}

namespace {

void fuse_versions(std::FILE* to) {
#if FUSE_USE_VERSION >= 30
    std::fprintf(to, "    FUSE API v%d.%d\n", FUSE_USE_VERSION / 10, FUSE_USE_VERSION % 10);
    std::fprintf(to, "    FUSE library version %s\n", fuse_pkgversion());
#else
    std::fprintf(to, "    FUSE API v%d.%d\n", 2, 9);
    std::fprintf(to, "    FUSE library version %d.%d\n", FUSE_MAJOR_VERSION, FUSE_MINOR_VERSION);
#endif
}

} // namespace

void show_version() {
    std::printf("quorvel version %s\n", QUORVEL_VERSION);
    hfs_print_library_versions(stdout, fuse_versions);
}
