#include "access/volume_probe.h"

#include <array>
#include <cerrno>
#include <cstring>
#include <string_view>

namespace {

struct signature {
    uint64_t at; // bytes from the start of the partition
    std::string_view magic;
    const char* name;
};

// In order: the first match names the file system.
constexpr std::array<signature, 14> signatures = {{
    {1024, "H+", "HFS+"},
    {1024, "HX", "HFSX"},
    {1024, "BD", "HFS (Mac OS Standard, not supported)"},
    {32, "NXSB", "APFS"},
    {3, "NTFS    ", "NTFS"},
    {3, "EXFAT   ", "exFAT"},
    {82, "FAT32   ", "FAT32"},
    {54, "FAT16   ", "FAT16"},
    {54, "FAT12   ", "FAT12"},
    {54, "FAT", "FAT"},
    {1080, "\x53\xEF", "ext2/ext3/ext4"},
    {0, "XFSB", "XFS"},
    {65600, "_BHRfS_M", "btrfs"},
    {32769, "CD001", "ISO 9660"},
}};

// The most partitions probed for their file systems: each probe may decode
// a run of a compressed image, and a hostile map may list thousands.
constexpr size_t max_probed = 64;

bool hfs_signature(std::string_view name) {
    return name == "HFS+" || name == "HFSX";
}

} // namespace

std::string hfs_file_system_at(const hfs_range_reader& read, uint64_t offset) {
    for (const signature& s : signatures) {
        uint8_t bytes[16];
        uint64_t at = 0;
        if (__builtin_add_overflow(offset, s.at, &at) || read(bytes, s.magic.size(), at) != 0)
            continue;
        if (std::memcmp(bytes, s.magic.data(), s.magic.size()) == 0) return s.name;
    }
    return "no known file system";
}

std::string hfs_describe_partitions(const hfs_range_reader& read, const hfs_partition_map& map) {
    std::string text;
    for (size_t i = 0; i < map.partitions.size(); ++i) {
        const hfs_partition& p = map.partitions[i];
        if (i == max_probed) {
            text += "  ... and " + std::to_string(map.partitions.size() - i) + " more\n";
            break;
        }
        text += "  partition " + std::to_string(p.number) + ": type " + p.type + ", offset " +
                std::to_string(p.offset) + ", " + std::to_string(p.length) + " bytes, " +
                (p.length != 0 ? hfs_file_system_at(read, p.offset) : "empty") + "\n";
    }
    return text;
}

int hfs_find_volume(const hfs_range_reader& read, uint64_t device_size, uint32_t partition,
                    uint64_t& offset, std::string& error) {
    if (int err = hfs_volume_start(read, device_size, partition, offset, error)) return err;
    if (partition != 0 || hfs_file_system_at(read, offset) != "no known file system") return 0;
    hfs_partition_map map;
    if (hfs_parse_partition_map(read, device_size, map, error) != 0 || map.partitions.empty())
        return 0; // opening the start reports the format
    for (size_t i = 0; i < map.partitions.size() && i < max_probed; ++i) {
        const hfs_partition& p = map.partitions[i];
        if (p.length != 0 && hfs_signature(hfs_file_system_at(read, p.offset))) {
            offset = p.offset;
            return 0;
        }
    }
    const char* kind = map.kind == hfs_map_kind::gpt     ? "GUID partition table"
                       : map.kind == hfs_map_kind::apple ? "Apple partition map"
                                                         : "MBR";
    error = std::string("no HFS+ or HFSX volume on this disk; its ") + kind + " holds:\n" +
            hfs_describe_partitions(read, map);
    if (!error.empty() && error.back() == '\n') error.pop_back();
    return -EINVAL;
}
