// Fuzz target for UDIF images held in memory: the koly trailer, the XML
// property list (or the resource fork of old images), the base64 mish
// tables, the run index and the decoders behind it (ADC, zlib, bzip2, xz,
// LZFSE).
//
// Input: a whole single-segment image. Checks: an opened image reads only
// with success, EIO or ENOMEM, never more bytes than asked for, and a read
// of the same range twice (the second from the run cache) gives the same
// bytes.
#include "fuzz_common.h"

#include "access/disk_image/udif.h"

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    hfs_byte_source_ptr image;
    std::string error;
    const int err = dimg::open_udif_memory({data, size}, 1 << 20, image, error);
    qfuzz::check(err == 0 ? image != nullptr : !error.empty());
    if (!image) return 0;

    // A few reads spread over the disk, whatever size it claims.
    std::vector<uint8_t> first(65536), second(65536);
    const uint64_t disk = image->size();
    for (uint64_t i = 0; i < 16; ++i) {
        const uint64_t at = disk / 16 * i;
        size_t got = 0, again = 0;
        const int status = image->read(first, at, got);
        qfuzz::check(status == 0 || status == -EIO || status == -ENOMEM);
        qfuzz::check(got <= first.size());
        if (status != 0) continue;
        qfuzz::check(image->read(second, at, again) == 0 && again == got);
        qfuzz::check(std::memcmp(first.data(), second.data(), got) == 0);
    }
    return 0;
}
