// quorvel-extract IMAGE verify: decodes a whole UDIF image and checks it
// against the image's own CRC-32 checksums (each table's decoded bytes, all
// tables together, the data fork). One line per checksum; exit status 1
// when one does not match or bytes cannot be decoded, 3 when the image
// carries no checksum of its bytes (nothing was verified).
#include "frontend/extract/extract.h"

#include "access/disk_image/disk_image.h"

#include <cerrno>
#include <cstdio>
#include <string>

int command_verify(const hfs_options& options, const std::vector<std::string>& args) {
    if (!args.empty()) {
        std::fputs("quorvel-extract: verify takes no arguments\n", stderr);
        return 1;
    }
    std::string report;
    const int err = hfs_verify_disk_image(options.volume, report);
    if (err != 0 && err != -EIO && err != -ENODATA) {
        std::fprintf(stderr, "quorvel-extract: %s\n", printable(report).c_str());
        return 1;
    }
    std::fputs(report.c_str(), stdout);
    if (err == -EIO) {
        std::fprintf(stderr, "quorvel-extract: %s does not match its checksums\n",
                     printable(options.volume).c_str());
        return 1;
    }
    if (err == -ENODATA) {
        std::fprintf(stderr,
                     "quorvel-extract: %s: nothing verified: the image carries no checksum of "
                     "its data\n",
                     printable(options.volume).c_str());
        return verify_nothing_checked;
    }
    return 0;
}
