// quorvel-extract IMAGE partitions: what kind of image it is, and each
// partition of the disk it holds (number, type, offset, size and the file
// system found in it by its signature).
#include "frontend/extract/extract.h"

#include "access/device.h"
#include "access/disk_image/disk_image.h"
#include "access/partition_map.h"
#include "access/volume_probe.h"

#include <cinttypes>
#include <cstdio>
#include <string>

hfs_byte_source_ptr open_whole_disk(const hfs_options& options) {
    hfs_byte_source_ptr disk;
    std::string error;
    if (hfs_open_whole_disk(options.volume, uint64_t{options.image_cache} << 20, disk, error)) {
        std::fprintf(stderr, "quorvel-extract: %s\n", printable(error).c_str());
        return nullptr;
    }
    return disk;
}

int command_partitions(const hfs_options& options, const std::vector<std::string>& args) {
    if (!args.empty()) {
        std::fputs("quorvel-extract: partitions takes no arguments\n", stderr);
        return 1;
    }
    const hfs_byte_source_ptr disk = open_whole_disk(options);
    if (!disk) return 1;
    std::string error;
    const hfs_range_reader read = hfs_source_reader(*disk);
    hfs_partition_map map;
    if (hfs_parse_partition_map(read, disk->size(), map, error) != 0) {
        std::fprintf(stderr, "quorvel-extract: %s: %s\n", printable(options.volume).c_str(),
                     error.c_str());
        return 1;
    }
    const char* kind = map.kind == hfs_map_kind::gpt     ? "GUID partition table"
                       : map.kind == hfs_map_kind::apple ? "Apple partition map"
                       : map.kind == hfs_map_kind::mbr   ? "MBR"
                                                         : "no partition map";
    std::printf("%s: %s, %" PRIu64 " bytes, %s\n", printable(options.volume).c_str(),
                hfs_image_kind_name(hfs_probe_image(options.volume)), disk->size(), kind);
    std::printf("%-6s %-36s %14s %14s  %s\n", "number", "type", "offset", "size", "file system");
    if (map.kind == hfs_map_kind::none) {
        std::printf("%-6s %-36s %14d %14" PRIu64 "  %s\n", "-", "(whole disk)", 0, disk->size(),
                    hfs_file_system_at(read, 0).c_str());
        return 0;
    }
    for (const hfs_partition& p : map.partitions) {
        std::printf("%-6u %-36s %14" PRIu64 " %14" PRIu64 "  %s\n", p.number,
                    printable(p.type).c_str(), p.offset, p.length,
                    p.length != 0 ? hfs_file_system_at(read, p.offset).c_str() : "empty");
    }
    return 0;
}
