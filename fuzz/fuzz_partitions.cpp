// Fuzz target for the partition maps of whole-disk images (GPT with 512- and
// 4096-byte sectors, Apple partition map, MBR): hfs_parse_partition_map and
// hfs_volume_start.
//
// Input: 4 bytes (big-endian) giving the device size in KiB beyond the
// input (so that maps may describe large disks), then the first bytes of the
// device; the rest of the device reads as zeros. Checks: every partition
// found lies within the device, and a located volume starts within it.
#include "fuzz_common.h"

#include "access/partition_map.h"
#include "libhfs/byte_order.h"

#include <cerrno>
#include <cstring>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 4) return 0;
    const uint64_t extra_kib = hfslib::load_be32({data, size});
    const uint8_t* bytes = data + 4;
    const size_t len = size - 4;
    const uint64_t device_size = len + extra_kib * 1024;

    size_t reads = 0;
    const hfs_range_reader read = [&](uint8_t* buf, size_t want, uint64_t offset) {
        ++reads;
        if (offset > device_size || want > device_size - offset) return -EIO;
        std::memset(buf, 0, want);
        if (offset < len) std::memcpy(buf, bytes + offset, std::min<uint64_t>(want, len - offset));
        return 0;
    };

    hfs_partition_map map;
    std::string error;
    if (hfs_parse_partition_map(read, device_size, map, error) == 0) {
        for (const hfs_partition& p : map.partitions)
            qfuzz::check(p.offset <= device_size && p.length <= device_size - p.offset);
    }
    for (uint32_t partition : {0u, 1u, 2u, 129u}) {
        uint64_t offset = 0;
        if (hfs_volume_start(read, device_size, partition, offset, error) == 0)
            qfuzz::check(offset <= device_size);
    }
    qfuzz::check(reads < 100000);
    return 0;
}
