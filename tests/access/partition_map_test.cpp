// Partition maps held in memory: where the volume is found, and how damaged
// or hostile maps are refused without reading past the disk.
#include "access/partition_map.h"

#include <cerrno>
#include <cstring>
#include <gtest/gtest.h>
#include <vector>

namespace {

struct disk {
    std::vector<uint8_t> bytes;
    size_t reads = 0;
    explicit disk(size_t size) : bytes(size) {}

    hfs_range_reader reader() {
        return [this](uint8_t* buf, size_t size, uint64_t offset) {
            ++reads;
            if (offset > bytes.size() || size > bytes.size() - offset) return -EIO;
            std::memcpy(buf, bytes.data() + offset, size);
            return 0;
        };
    }
    void le32(size_t at, uint32_t v) {
        for (int i = 0; i < 4; ++i) bytes[at + i] = static_cast<uint8_t>(v >> (8 * i));
    }
    void le64(size_t at, uint64_t v) {
        le32(at, static_cast<uint32_t>(v));
        le32(at + 4, static_cast<uint32_t>(v >> 32));
    }
    void be16(size_t at, uint16_t v) {
        bytes[at] = static_cast<uint8_t>(v >> 8);
        bytes[at + 1] = static_cast<uint8_t>(v);
    }
    void be32(size_t at, uint32_t v) {
        be16(at, static_cast<uint16_t>(v >> 16));
        be16(at + 2, static_cast<uint16_t>(v));
    }
    void text(size_t at, const char* s) { std::memcpy(&bytes[at], s, std::strlen(s)); }
    void volume_at(size_t offset) { text(offset + 1024, "H+"); }
};

constexpr uint8_t hfs_guid[16] = {0x00, 0x53, 0x46, 0x48, 0x00, 0x00, 0xAA, 0x11,
                                  0xAA, 0x11, 0x00, 0x30, 0x65, 0x43, 0xEC, 0xAC};
constexpr uint8_t linux_guid[16] = {0xAF, 0x3D, 0xC6, 0x0F, 0x83, 0x84, 0x72, 0x47,
                                    0x8E, 0x79, 0x3D, 0x69, 0xD8, 0x47, 0x7D, 0xE4};

// A GUID partition table with `sector`-byte sectors: a Linux partition in
// slot 1 and an HFS+ one in slot 3.
disk gpt_disk(uint32_t sector) {
    disk d(64 * sector + 2 * 1048576);
    d.text(sector, "EFI PART");
    d.le64(sector + 72, 2);   // entries at LBA 2
    d.le32(sector + 80, 128); // 128 entries
    d.le32(sector + 84, 128); // of 128 bytes
    size_t entries = 2 * sector;
    std::memcpy(&d.bytes[entries], linux_guid, 16);
    d.le64(entries + 32, 40);
    d.le64(entries + 40, 47);
    std::memcpy(&d.bytes[entries + 2 * 128], hfs_guid, 16);
    d.le64(entries + 2 * 128 + 32, 64);
    d.le64(entries + 2 * 128 + 40, 64 + 1048576 / sector - 1);
    return d;
}

TEST(PartitionMaps, GuidTablesWithBothSectorSizes) {
    for (uint32_t sector : {512u, 4096u}) {
        disk d = gpt_disk(sector);
        uint64_t offset = 1;
        std::string error;
        ASSERT_EQ(hfs_volume_start(d.reader(), d.bytes.size(), 0, offset, error), 0) << error;
        EXPECT_EQ(offset, 64u * sector);
        ASSERT_EQ(hfs_volume_start(d.reader(), d.bytes.size(), 3, offset, error), 0) << error;
        EXPECT_EQ(offset, 64u * sector);
        EXPECT_EQ(hfs_volume_start(d.reader(), d.bytes.size(), 1, offset, error), -EINVAL);
        EXPECT_NE(error.find("partition 1 is not an HFS+ or HFSX volume (type "
                             "0FC63DAF-8483-4772-8E79-3D69D8477DE4)"),
                  std::string::npos)
            << error;
        EXPECT_EQ(hfs_volume_start(d.reader(), d.bytes.size(), 2, offset, error), -EINVAL);
        EXPECT_NE(error.find("partition 2 does not exist (the map has partitions 1, 3)"),
                  std::string::npos)
            << error;
    }
}

TEST(PartitionMaps, VolumeAtTheStartNeedsNoMap) {
    disk d = gpt_disk(512);
    d.volume_at(0);
    uint64_t offset = 1;
    std::string error;
    ASSERT_EQ(hfs_volume_start(d.reader(), d.bytes.size(), 0, offset, error), 0);
    EXPECT_EQ(offset, 0u);
    EXPECT_EQ(d.reads, 1u);
}

TEST(PartitionMaps, HostileGuidTablesAreRefused) {
    struct damage {
        const char* what;
        void (*apply)(disk&);
    } cases[] = {
        {"huge count", [](disk& d) { d.le32(512 + 80, 0x10000000); }},
        {"tiny entries", [](disk& d) { d.le32(512 + 84, 16); }},
        {"entries past the end", [](disk& d) { d.le64(512 + 72, 0xFFFFFFFFFFFFull); }},
        {"LBA overflow", [](disk& d) { d.le64(512 + 72, 0x8000000000000000ull); }},
        {"partition past the end",
         [](disk& d) { d.le64(2 * 512 + 2 * 128 + 40, 0x7FFFFFFFFFFFFFFFull); }},
        {"last before first", [](disk& d) { d.le64(2 * 512 + 2 * 128 + 40, 10); }},
    };
    for (const auto& c : cases) {
        disk d = gpt_disk(512);
        c.apply(d);
        uint64_t offset = 0;
        std::string error;
        EXPECT_EQ(hfs_volume_start(d.reader(), d.bytes.size(), 0, offset, error), -EINVAL)
            << c.what;
        EXPECT_FALSE(error.empty()) << c.what;
    }
}

disk apple_disk() {
    disk d(4 * 1048576);
    d.text(0, "ER");
    d.be16(2, 512);
    // Entry 1: the map itself; entry 2: the volume at block 2048.
    d.text(512, "PM");
    d.be32(512 + 4, 2);
    d.be32(512 + 8, 1);
    d.be32(512 + 12, 63);
    d.text(512 + 48, "Apple_partition_map");
    d.text(1024, "PM");
    d.be32(1024 + 4, 2);
    d.be32(1024 + 8, 2048);
    d.be32(1024 + 12, 4096);
    d.text(1024 + 48, "Apple_HFSX");
    return d;
}

TEST(PartitionMaps, ApplePartitionMap) {
    disk d = apple_disk();
    uint64_t offset = 0;
    std::string error;
    ASSERT_EQ(hfs_volume_start(d.reader(), d.bytes.size(), 0, offset, error), 0) << error;
    EXPECT_EQ(offset, 2048u * 512);
    EXPECT_EQ(hfs_volume_start(d.reader(), d.bytes.size(), 1, offset, error), -EINVAL);
    EXPECT_NE(error.find("(type Apple_partition_map)"), std::string::npos) << error;

    disk huge = apple_disk();
    huge.be32(512 + 4, 0xFFFFFFFF);
    EXPECT_EQ(hfs_volume_start(huge.reader(), huge.bytes.size(), 0, offset, error), -EINVAL);
    EXPECT_LT(huge.reads, 10u) << "a hostile count must not make us read on and on";

    disk beyond = apple_disk();
    beyond.be32(1024 + 12, 0xFFFFFFF0);
    EXPECT_EQ(hfs_volume_start(beyond.reader(), beyond.bytes.size(), 0, offset, error), -EINVAL);
    EXPECT_NE(error.find("beyond the end"), std::string::npos);
}

TEST(PartitionMaps, MasterBootRecord) {
    disk d(8 * 1048576);
    d.bytes[510] = 0x55;
    d.bytes[511] = 0xAA;
    d.bytes[446 + 4] = 0x83;
    d.le32(446 + 8, 2048);
    d.le32(446 + 12, 2048);
    d.bytes[462 + 4] = 0xAF;
    d.le32(462 + 8, 8192);
    d.le32(462 + 12, 4096);
    uint64_t offset = 0;
    std::string error;
    ASSERT_EQ(hfs_volume_start(d.reader(), d.bytes.size(), 0, offset, error), 0) << error;
    EXPECT_EQ(offset, 8192u * 512);
    ASSERT_EQ(hfs_volume_start(d.reader(), d.bytes.size(), 2, offset, error), 0);
    EXPECT_EQ(hfs_volume_start(d.reader(), d.bytes.size(), 1, offset, error), -EINVAL);

    d.le32(462 + 12, 0xFFFFFFFF);
    EXPECT_EQ(hfs_volume_start(d.reader(), d.bytes.size(), 0, offset, error), -EINVAL);

    // A boot sector whose entries carry no valid status byte is not a map.
    disk odd(1048576);
    odd.bytes[510] = 0x55;
    odd.bytes[511] = 0xAA;
    odd.bytes[446] = 0x17;
    odd.bytes[446 + 4] = 0xAF;
    odd.le32(446 + 12, 100);
    ASSERT_EQ(hfs_volume_start(odd.reader(), odd.bytes.size(), 0, offset, error), 0);
    EXPECT_EQ(offset, 0u);
}

TEST(PartitionMaps, NothingAtAll) {
    disk d(1048576);
    uint64_t offset = 7;
    std::string error;
    ASSERT_EQ(hfs_volume_start(d.reader(), d.bytes.size(), 0, offset, error), 0);
    EXPECT_EQ(offset, 0u);
    EXPECT_EQ(hfs_volume_start(d.reader(), d.bytes.size(), 1, offset, error), -EINVAL);
    EXPECT_NE(error.find("has no partition map"), std::string::npos);
    disk tiny(100);
    EXPECT_EQ(hfs_volume_start(tiny.reader(), tiny.bytes.size(), 0, offset, error), 0);
}

} // namespace
