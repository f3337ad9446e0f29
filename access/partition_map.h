// Finding an HFS+ or HFSX volume inside a whole-disk image: the GUID
// partition table (with 512- or 4096-byte sectors), the Apple partition map
// and the MBR. Every map entry is untrusted: entries beyond the device,
// absurd counts or overlapping arithmetic are refused, never read past.
//
// Errors: functions return 0 on success, a negative errno value on failure
// (-EINVAL for a map or a choice that cannot be used), with a message for
// the user in `error`.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

enum class hfs_map_kind { none, gpt, apple, mbr };

struct hfs_partition {
    uint32_t number = 0; // as the map numbers it (1-based)
    uint64_t offset = 0; // bytes from the start of the device
    uint64_t length = 0; // bytes
    bool hfs = false;    // the map's type says HFS+ or HFSX
    std::string type;    // the type as the map states it, for messages
};

struct hfs_partition_map {
    hfs_map_kind kind = hfs_map_kind::none;
    std::vector<hfs_partition> partitions;
};

// Reads `size` bytes at `offset` of the device: 0, or a negative errno value
// when they cannot all be read (-EIO when the device ends first).
using hfs_range_reader = std::function<int(uint8_t* buf, size_t size, uint64_t offset)>;

// Reads the partition map of a device of `device_size` bytes. -EINVAL with a
// message when a map is present but unusable; a device without any map
// gives 0 and kind none.
int hfs_parse_partition_map(const hfs_range_reader& read, uint64_t device_size,
                            hfs_partition_map& map, std::string& error);

// Where the volume to open begins. `partition` 0 chooses automatically: the
// start of the device when it holds a volume header (or an HFS wrapper) at
// byte 1024, else the first HFS+/HFSX partition of its map, else the start
// (where opening then fails as an unrecognized format). A partition number
// chooses that partition of the map, which must be HFS+/HFSX. -EINVAL with a
// message when the choice cannot be honoured.
int hfs_volume_start(const hfs_range_reader& read, uint64_t device_size, uint32_t partition,
                     uint64_t& offset, std::string& error);

// The same for an open descriptor (an image file or a disk device); also the
// error of fstat.
int hfs_volume_start(int fd, uint32_t partition, uint64_t& offset, std::string& error);
