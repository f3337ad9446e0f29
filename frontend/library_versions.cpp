#include "frontend/library_versions.h"

#include "access/block_cache.h"
#include "libhfs/libhfs.h"

#include <bzlib.h>
#include <lzma.h>
#include <pugixml.hpp>
#include <utf8proc.h>
#include <zlib.h>

void hfs_print_library_versions(std::FILE* to, void (*extra_lines)(std::FILE*)) {
    std::fprintf(to, "Built with:\n");
    if (extra_lines) extra_lines(to);
    std::fprintf(to, "    libhfs RCSIDs %s; %s\n", hfslib_rcsid_libhfs, hfslib_rcsid_unicode);
    // The cache of device blocks between the volume and the reads.
    std::fprintf(to, "    block cache v%u.%u\n", QUORVEL_BLOCK_CACHE_VERSION_MAJOR,
                 QUORVEL_BLOCK_CACHE_VERSION_MINOR);
    std::fprintf(to, "    utf8proc v%s\n", utf8proc_version());
    std::fprintf(to, "    zlib v%s\n", ZLIB_VERSION);
    std::fprintf(to, "    lzfse\n");
    // Disk images (.dmg): bzip2 and xz runs, and the property lists.
    std::fprintf(to, "    bzip2 v%s\n", BZ2_bzlibVersion());
    std::fprintf(to, "    liblzma v%s\n", lzma_version_string());
    std::fprintf(to, "    pugixml v%d.%d\n", PUGIXML_VERSION / 1000, PUGIXML_VERSION % 1000 / 10);
}
