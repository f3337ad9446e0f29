// Test hook: writes the disk a disk image decodes to on standard output.
//   image_decode [--cache MiB] IMAGE > DISK
// Exit 0, 1 (IMAGE is not a disk image) or 2 (it cannot be decoded).
#include "access/disk_image/disk_image.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

int main(int argc, char** argv) {
    uint64_t cache_mib = 64;
    int arg = 1;
    if (argc == 4 && std::strcmp(argv[1], "--cache") == 0) {
        cache_mib = std::strtoull(argv[2], nullptr, 10);
        arg = 3;
    }
    if (arg != argc - 1) {
        std::fprintf(stderr, "usage: image_decode [--cache MiB] IMAGE > DISK\n");
        return 2;
    }
    hfs_byte_source_ptr image;
    std::string error;
    if (int err = hfs_open_disk_image(argv[arg], cache_mib << 20, image, error)) {
        std::fprintf(stderr, "%s (%s)\n", error.c_str(), std::strerror(-err));
        return 2;
    }
    if (!image) {
        std::fprintf(stderr, "%s is not a disk image\n", argv[arg]);
        return 1;
    }
    std::vector<uint8_t> chunk(1 << 20);
    for (uint64_t at = 0; at < image->size();) {
        size_t got = 0;
        if (int err = image->read(chunk, at, got); err || got == 0) {
            std::fprintf(stderr, "read at %llu failed: %s\n", static_cast<unsigned long long>(at),
                         std::strerror(err ? -err : EIO));
            return 2;
        }
        if (std::fwrite(chunk.data(), 1, got, stdout) != got) return 2;
        at += got;
    }
    return std::fflush(stdout) == 0 ? 0 : 2;
}
