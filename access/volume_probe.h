// Which file system a partition holds, by its signature, and the choice of
// the volume to open on a disk that may hold no HFS+ at all: such a disk is
// refused with a list of what its partition map holds.
//
// Errors: 0 or a negative errno value, with a message in `error`.
#pragma once

#include "access/partition_map.h"

#include <cstdint>
#include <string>

// The file system starting at `offset` ("HFS+", "FAT16", "APFS", ...), by
// the signatures of common file systems, or "no known file system".
std::string hfs_file_system_at(const hfs_range_reader& read, uint64_t offset);

// One line per partition: number, type, offset, size and file system.
std::string hfs_describe_partitions(const hfs_range_reader& read, const hfs_partition_map& map);

// As hfs_volume_start, and then, choosing automatically: a partition whose
// type the map leaves unclear but which starts with an HFS+/HFSX volume
// header; else, when the disk has a map but no HFS+ anywhere, -EINVAL with a
// message listing the partitions. 0 or a negative errno value.
int hfs_find_volume(const hfs_range_reader& read, uint64_t device_size, uint32_t partition,
                    uint64_t& offset, std::string& error);
