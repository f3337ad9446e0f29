// Fuzz target for the sparse formats: sparse image headers with their band
// tables, and sparse bundle Info.plist files.
//
// Input: one selector byte (even: the rest is a sparse image held in
// memory; odd: the rest is an Info.plist), then the bytes. Checks: an
// opened sparse image reads within its size with success only, never more
// bytes than asked for; a parsed Info.plist has non-zero sizes.
#include "fuzz_common.h"

#include "access/disk_image/sparse.h"

#include <string>
#include <string_view>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const std::span<const uint8_t> rest(data + 1, size - 1);
    std::string error;
    if (data[0] & 1) {
        dimg::bundle_info info;
        if (dimg::parse_bundle_plist({reinterpret_cast<const char*>(rest.data()), rest.size()},
                                     info, error) == 0)
            qfuzz::check(info.band_bytes != 0 && info.disk_bytes != 0);
        return 0;
    }
    hfs_byte_source_ptr image;
    if (dimg::open_sparse_image_memory(rest, image, error) != 0) return 0;
    std::vector<uint8_t> buf(8192);
    const uint64_t disk = image->size();
    for (uint64_t i = 0; i <= 16; ++i) {
        size_t got = 0;
        qfuzz::check(image->read(buf, disk / 16 * i, got) == 0);
        qfuzz::check(got <= buf.size() && (i == 16 ? got == 0 : got > 0));
    }
    return 0;
}
