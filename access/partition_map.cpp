#include "access/partition_map.h"

#include "access/full_read.h"
#include "libhfs/byte_order.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <linux/fs.h>
#include <span>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The most entries any map is read for: far beyond real disks, small enough
// that a hostile count costs little.
constexpr uint32_t max_entries = 4096;

using hfslib::load_be16;
using hfslib::load_be32;
using hfslib::load_le16;
using hfslib::load_le32;
using hfslib::load_le64;

// a * b + c without overflow, or false.
bool mul_add(uint64_t a, uint64_t b, uint64_t c, uint64_t& out) {
    uint64_t product = 0;
    if (__builtin_mul_overflow(a, b, &product)) return false;
    return !__builtin_add_overflow(product, c, &out);
}

// Whether [offset, offset + length) lies within the device.
bool within(uint64_t offset, uint64_t length, uint64_t device_size) {
    return offset <= device_size && length <= device_size - offset;
}

bool volume_signature_at(const hfs_range_reader& read, uint64_t offset) {
    uint8_t sig[2];
    uint64_t at = 0;
    if (!mul_add(1, offset, 1024, at) || read(sig, 2, at) != 0) return false;
    return (sig[0] == 'H' && (sig[1] == '+' || sig[1] == 'X')) || (sig[0] == 'B' && sig[1] == 'D');
}

// The GUID of HFS+ partitions, 48465300-0000-11AA-AA11-00306543ECAC, as stored.
constexpr std::array<uint8_t, 16> hfs_guid = {0x00, 0x53, 0x46, 0x48, 0x00, 0x00, 0xAA, 0x11,
                                              0xAA, 0x11, 0x00, 0x30, 0x65, 0x43, 0xEC, 0xAC};

std::string guid_text(std::span<const uint8_t, 16> g) {
    char text[37];
    std::snprintf(text, sizeof text, "%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X",
                  load_le32(g), load_le16(g, 4), load_le16(g, 6), g[8], g[9], g[10], g[11], g[12],
                  g[13], g[14], g[15]);
    return text;
}

// 0 with map.kind set when a GUID partition table is read, left none when
// there is none at this sector size; -EINVAL (with a message) when unusable.
int read_gpt(const hfs_range_reader& read, uint64_t device_size, uint32_t sector,
             hfs_partition_map& map, std::string& error) {
    std::vector<uint8_t> header(sector);
    if (!within(sector, sector, device_size) || read(header.data(), sector, sector) != 0) return 0;
    if (std::memcmp(header.data(), "EFI PART", 8) != 0) return 0;

    const uint64_t entries_lba = load_le64(header, 72);
    const uint32_t count = load_le32(header, 80);
    const uint32_t entry_size = load_le32(header, 84);
    uint64_t entries_at = 0, entries_bytes = 0;
    if (entry_size < 128 || entry_size > 4096 || entry_size % 8 != 0 || count > max_entries ||
        !mul_add(entries_lba, sector, 0, entries_at) ||
        !mul_add(count, entry_size, 0, entries_bytes) ||
        !within(entries_at, entries_bytes, device_size)) {
        error = "the GUID partition table is damaged (entries beyond the disk or absurd counts)";
        return -EINVAL;
    }
    std::vector<uint8_t> entries(static_cast<size_t>(entries_bytes));
    if (!entries.empty() && read(entries.data(), entries.size(), entries_at) != 0) {
        error = "could not read the GUID partition table's entries";
        return -EINVAL;
    }
    map.kind = hfs_map_kind::gpt;
    for (uint32_t i = 0; i < count; ++i) {
        const auto e =
            std::span<const uint8_t>(entries).subspan(size_t{i} * entry_size, entry_size);
        const auto type = e.first<16>();
        static constexpr std::array<uint8_t, 16> unused{};
        if (std::ranges::equal(type, unused)) continue;
        const uint64_t first = load_le64(e, 32), last = load_le64(e, 40);
        hfs_partition p;
        p.number = i + 1;
        p.hfs = std::ranges::equal(type, hfs_guid);
        p.type = guid_text(type);
        if (last < first || !mul_add(first, sector, 0, p.offset) ||
            !mul_add(last - first + 1, sector, 0, p.length) ||
            !within(p.offset, p.length, device_size)) {
            error = "partition " + std::to_string(p.number) + " lies beyond the end of the disk";
            return -EINVAL;
        }
        map.partitions.push_back(p);
    }
    return 0;
}

// 0 with map.kind set when an Apple partition map is read, left none when
// there is none; -EINVAL (with a message) when unusable.
int read_apple_map(const hfs_range_reader& read, uint64_t device_size, hfs_partition_map& map,
                   std::string& error) {
    uint8_t block0[512];
    if (!within(0, 512, device_size) || read(block0, 512, 0) != 0) return 0;
    if (block0[0] != 'E' || block0[1] != 'R') return 0;
    const uint32_t block = load_be16(block0, 2) ? load_be16(block0, 2) : 512;
    if (block < 512 || block > 65536 || (block & (block - 1)) != 0) {
        error = "the Apple partition map has an impossible block size";
        return -EINVAL;
    }
    std::vector<uint8_t> entry(block);
    uint32_t count = 1;
    for (uint32_t i = 1; i <= count; ++i) {
        if (!within(uint64_t{i} * block, block, device_size) ||
            read(entry.data(), block, uint64_t{i} * block) != 0 || entry[0] != 'P' ||
            entry[1] != 'M') {
            if (i == 1) return 0;
            error = "the Apple partition map ends early at entry " + std::to_string(i);
            return -EINVAL;
        }
        if (i == 1) {
            count = load_be32(entry, 4);
            if (count == 0 || count > max_entries) {
                error = "the Apple partition map claims " + std::to_string(count) + " entries";
                return -EINVAL;
            }
        }
        hfs_partition p;
        p.number = i;
        p.type.assign(reinterpret_cast<const char*>(&entry[48]),
                      strnlen(reinterpret_cast<const char*>(&entry[48]), 32));
        p.hfs = p.type == "Apple_HFS" || p.type == "Apple_HFSX";
        if (!mul_add(load_be32(entry, 8), block, 0, p.offset) ||
            !mul_add(load_be32(entry, 12), block, 0, p.length) ||
            !within(p.offset, p.length, device_size)) {
            error = "partition " + std::to_string(i) + " lies beyond the end of the disk";
            return -EINVAL;
        }
        map.partitions.push_back(p);
    }
    map.kind = hfs_map_kind::apple;
    return 0;
}

// 0 with the map filled when an MBR with partitions is read, left alone
// when there is none; -EINVAL (with a message) when unusable.
int read_mbr(const hfs_range_reader& read, uint64_t device_size, hfs_partition_map& map,
             std::string& error) {
    uint8_t sector[512];
    if (!within(0, 512, device_size) || read(sector, 512, 0) != 0) return 0;
    if (sector[510] != 0x55 || sector[511] != 0xAA) return 0;
    hfs_partition_map found;
    for (uint32_t i = 0; i < 4; ++i) {
        const auto e = std::span<const uint8_t>(sector).subspan(446 + 16 * i, 16);
        const uint8_t type = e[4];
        const uint32_t start = load_le32(e, 8), count = load_le32(e, 12);
        if (type == 0 || count == 0) continue;
        if (e[0] != 0x00 && e[0] != 0x80) return 0; // not a partition table
        hfs_partition p;
        p.number = i + 1;
        p.hfs = type == 0xAF;
        char text[8];
        std::snprintf(text, sizeof text, "0x%02X", type);
        p.type = text;
        p.offset = uint64_t{start} * 512;
        p.length = uint64_t{count} * 512;
        if (!within(p.offset, p.length, device_size)) {
            error = "partition " + std::to_string(p.number) + " lies beyond the end of the disk";
            return -EINVAL;
        }
        found.partitions.push_back(p);
    }
    if (found.partitions.empty()) return 0;
    found.kind = hfs_map_kind::mbr;
    map = std::move(found);
    return 0;
}

} // namespace

int hfs_parse_partition_map(const hfs_range_reader& read, uint64_t device_size,
                            hfs_partition_map& map, std::string& error) {
    map = {};
    for (uint32_t sector : {512u, 4096u}) {
        if (int err = read_gpt(read, device_size, sector, map, error)) return err;
        if (map.kind != hfs_map_kind::none) return 0;
    }
    if (int err = read_apple_map(read, device_size, map, error)) return err;
    if (map.kind != hfs_map_kind::none) return 0;
    map = {};
    return read_mbr(read, device_size, map, error);
}

int hfs_volume_start(const hfs_range_reader& read, uint64_t device_size, uint32_t partition,
                     uint64_t& offset, std::string& error) {
    offset = 0;
    if (partition == 0 && volume_signature_at(read, 0)) return 0;

    hfs_partition_map map;
    if (int err = hfs_parse_partition_map(read, device_size, map, error)) return err;
    if (partition == 0) {
        for (const hfs_partition& p : map.partitions)
            if (p.hfs) {
                offset = p.offset;
                return 0;
            }
        return 0; // nothing better: opening the start reports the format
    }
    if (map.kind == hfs_map_kind::none) {
        error = "partition " + std::to_string(partition) +
                " requested, but the volume has no "
                "partition map";
        return -EINVAL;
    }
    for (const hfs_partition& p : map.partitions) {
        if (p.number != partition) continue;
        if (!p.hfs) {
            error = "partition " + std::to_string(partition) +
                    " is not an HFS+ or HFSX volume (type " + p.type + ")";
            return -EINVAL;
        }
        offset = p.offset;
        return 0;
    }
    std::string numbers;
    for (const hfs_partition& p : map.partitions)
        numbers += (numbers.empty() ? "" : ", ") + std::to_string(p.number);
    error = "partition " + std::to_string(partition) + " does not exist (the map has " +
            (numbers.empty() ? std::string("none") : "partitions " + numbers) + ")";
    return -EINVAL;
}

int hfs_volume_start(int fd, uint32_t partition, uint64_t& offset, std::string& error) {
    struct stat st {};
    if (fstat(fd, &st) != 0) {
        const int err = errno;
        error = std::strerror(err);
        return -err;
    }
    uint64_t size = static_cast<uint64_t>(st.st_size);
    if (S_ISBLK(st.st_mode) && ioctl(fd, BLKGETSIZE64, &size) != 0) size = 0;
    if (S_ISCHR(st.st_mode)) size = UINT64_MAX; // no size to check against; reads fail instead
    // Whole sectors only, so that devices needing aligned reads work too.
    auto read = [fd](uint8_t* buf, size_t length, uint64_t at) {
        const uint64_t start = at - at % 512;
        const uint64_t end = (at + length + 511) / 512 * 512;
        std::vector<uint8_t> block(static_cast<size_t>(end - start));
        size_t done = 0;
        if (int err = read_all_at(fd, block.data(), block.size(), start, done)) return err;
        if (done < at - start + length) return -EIO;
        std::memcpy(buf, block.data() + (at - start), length);
        return 0;
    };
    return hfs_volume_start(read, size, partition, offset, error);
}
