// The help text and the version report.
#include "frontend/frontend.h"

#include "access/block_cache.h"
#include "libhfs/libhfs.h"

#include <bzlib.h>
#include <cstdio>
#include <lzma.h>
#include <pugixml.hpp>
#include <utf8proc.h>
#include <zlib.h>

void show_help(const char* program, const hfs_options* options) {
    std::fprintf(stderr, usage_format, program);
    std::fprintf(
        stderr,
        "general options:\n"
        "    -o opt,[opt...]        mount options\n"
        "    -h, --help             this help\n"
        "    -H, --fullhelp         list all FUSE options\n"
        "    -v, --version\n"
        "\n"
        "HFS+ options:\n"
        "    --force                force mount volumes with dirty journal\n"
        "    -o replay              replay a dirty journal in memory (the image is not "
        "changed)\n"
        "    -o rsrc_only           only mount the resource forks of files\n"
        "    -o noallow_other       restrict filesystem access to mounting user\n"
        "    -o cache_size=N        size of lookup cache (%zu)\n"
        "    -o blksize=N           set a custom read size/alignment in bytes\n"
        "                           you should only set this if you are sure it is being "
        "misdetected\n"
        "    -o rsrc_ext=suffix     special suffix for filenames which can be used to access "
        "their resource fork\n"
        "                           or alternatively their data fork if mounted in rsrc_only "
        "mode\n"
        "    -o partition=N         mount the N-th partition of a whole-disk image (default: the "
        "first HFS+ one)\n"
        "    -o image_cache=N       MiB of decoded disk-image (.dmg) data kept in memory (%u)\n"
        "    -o direct_io           read files without the kernel's page cache\n"
        "    -o threads             serve requests on several threads (default: one)\n"
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
        "\n",
        options->cache_size, options->image_cache,
        static_cast<unsigned>(options->default_file_mode),
        static_cast<unsigned>(options->default_dir_mode), options->default_uid,
        options->default_gid);
    if (feature_mask & FEATURE_UBLIO)
        std::fprintf(stderr,
                     "    -o noublio             disable ublio read layer\n"
                     "    -o ublio_items=N       number of ublio cache entries, 0 for no "
                     "caching (%d)\n"
                     "    -o ublio_grace=N       reclaim cache entries only after N requests "
                     "(%lu)\n"
                     "\n",
                     options->ublio_items, options->ublio_grace);
}

namespace {

// The block cache's version, formatted once.
const char* block_cache_version() {
    static char text[13];
    if (!text[0])
        std::snprintf(text, sizeof text, "%u.%u", QUORVEL_BLOCK_CACHE_VERSION_MAJOR,
                      QUORVEL_BLOCK_CACHE_VERSION_MINOR);
    return text;
}

} // namespace

void show_version() {
    std::fprintf(stderr, "quorvel version %s\n", QUORVEL_VERSION);
    std::fprintf(stderr, "Built with:\n");
#if FUSE_USE_VERSION >= 30
    std::fprintf(stderr, "    FUSE API v%d.%d\n", FUSE_USE_VERSION / 10, FUSE_USE_VERSION % 10);
    std::fprintf(stderr, "    FUSE library version %s\n", fuse_pkgversion());
#else
    std::fprintf(stderr, "    FUSE API v%d.%d\n", 2, 9);
    std::fprintf(stderr, "    FUSE library version %d.%d\n", FUSE_MAJOR_VERSION,
                 FUSE_MINOR_VERSION);
#endif
    std::fprintf(stderr, "    libhfs RCSIDs %s; %s\n", hfslib_rcsid_libhfs, hfslib_rcsid_unicode);
    if (feature_mask & FEATURE_UBLIO)
        std::fprintf(stderr, "    ublio v%s\n", block_cache_version());
    if (feature_mask & FEATURE_UTF8PROC)
        std::fprintf(stderr, "    utf8proc v%s\n", utf8proc_version());
    if (feature_mask & FEATURE_ZLIB) std::fprintf(stderr, "    zlib v%s\n", ZLIB_VERSION);
    if (feature_mask & FEATURE_LZFSE) std::fprintf(stderr, "    lzfse\n");
    // Disk images (.dmg): bzip2 and xz runs, and the property lists.
    std::fprintf(stderr, "    bzip2 v%s\n", BZ2_bzlibVersion());
    std::fprintf(stderr, "    liblzma v%s\n", lzma_version_string());
    std::fprintf(stderr, "    pugixml v%d.%d\n", PUGIXML_VERSION / 1000,
                 PUGIXML_VERSION % 1000 / 10);
}
