// The device hooks: opening with and without options, and every read path
// (block cache, plain reads, aligned reads through the bounce buffer).
#include "tests/support/capture.h"

#include "access/device.h"
#include "access/options.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

namespace {

struct opened_device {
    hfslib_vol vol{};
    hfs_options options{};
    hfslib_cbctx ctx{};
    int result = 0;

    explicit opened_device(const std::string& path, void (*adjust)(hfs_options&) = nullptr) {
        qtest::install_capturing_hooks();
        init_options(&options);
        if (adjust) adjust(options);
        ctx.open_arg = &options;
        result = hfs_open_device(&vol, path.c_str(), &ctx);
    }
    ~opened_device() { hfs_close_device(&vol, nullptr); }
    hfs_device& dev() { return *hfs_get_device(&vol); }
    int read(std::vector<uint8_t>& out, uint64_t offset) {
        return hfs_read_device(&vol, out.data(), out.size(), offset, nullptr);
    }
};

bool fd_is_open(int fd) {
    return fcntl(fd, F_GETFD) != -1;
}

TEST(DeviceOpen, ImageFileDefaults) {
    auto contents = qtest::pattern(8192);
    qtest::temp_file image(contents);
    opened_device d(image.path());
    ASSERT_EQ(d.result, 0);
    EXPECT_EQ(d.dev().blksize, 0u) << "an image file needs no alignment";
    EXPECT_TRUE(d.dev().use_ublio);
    ASSERT_NE(d.dev().ublio, nullptr);
    EXPECT_EQ(d.dev().default_fork, 0x00);
    EXPECT_EQ(d.dev().default_file_mode, 0755);
    EXPECT_EQ(d.dev().default_dir_mode, 0777);
    EXPECT_TRUE(d.dev().rsrc_ext.empty());
}

TEST(DeviceOpen, WithoutOptionsRecordUsesDefaults) {
    auto contents = qtest::pattern(4096);
    qtest::temp_file image(contents);
    qtest::install_capturing_hooks();
    hfslib_vol vol{};
    ASSERT_EQ(hfs_open_device(&vol, image.path().c_str(), nullptr), 0);
    EXPECT_TRUE(hfs_get_device(&vol)->use_ublio);
    EXPECT_EQ(hfs_get_device(&vol)->default_dir_mode, 0777);
    hfs_close_device(&vol, nullptr);
    EXPECT_EQ(vol.device, nullptr);
}

TEST(DeviceOpen, OptionsAreCopiedAndModesMasked) {
    auto contents = qtest::pattern(4096);
    qtest::temp_file image(contents);
    static char suffix[] = ".rsrc";
    opened_device d(image.path(), [](hfs_options& o) {
        o.blksize = 4096;
        o.noublio = 1;
        o.rsrc_only = 1;
        o.rsrc_ext = suffix;
        o.default_file_mode = 04755;
        o.default_dir_mode = 01777;
        o.default_uid = 501;
        o.default_gid = 20;
        o.disable_symlinks = 1;
    });
    ASSERT_EQ(d.result, 0);
    EXPECT_EQ(d.dev().blksize, 4096u) << "blksize skips the device test";
    EXPECT_FALSE(d.dev().use_ublio);
    EXPECT_EQ(d.dev().ublio, nullptr);
    ASSERT_NE(d.dev().bounce, nullptr);
    EXPECT_EQ(d.dev().default_fork, 0xFF);
    EXPECT_EQ(d.dev().rsrc_ext, ".rsrc");
    EXPECT_EQ(d.dev().default_file_mode, 0755);
    EXPECT_EQ(d.dev().default_dir_mode, 0777);
    EXPECT_EQ(d.dev().default_uid, 501u);
    EXPECT_EQ(d.dev().default_gid, 20u);
    EXPECT_TRUE(d.dev().disable_symlinks);
}

TEST(DeviceOpen, EmptySuffixMeansNoSuffix) {
    auto contents = qtest::pattern(512);
    qtest::temp_file image(contents);
    static char empty[] = "";
    opened_device d(image.path(), [](hfs_options& o) { o.rsrc_ext = empty; });
    ASSERT_EQ(d.result, 0);
    EXPECT_TRUE(d.dev().rsrc_ext.empty());
}

TEST(DeviceOpen, MissingPathFailsWithEnoent) {
    opened_device d("/nonexistent/quorvel/volume.img");
    EXPECT_EQ(d.result, -ENOENT);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(d.vol.device, nullptr);
}

TEST(DeviceOpen, CloseReleasesTheDescriptor) {
    auto contents = qtest::pattern(512);
    qtest::temp_file image(contents);
    opened_device d(image.path());
    ASSERT_EQ(d.result, 0);
    int fd = d.dev().fd;
    EXPECT_TRUE(fd_is_open(fd));
    hfslib_unmount(&d.vol, nullptr);
    EXPECT_EQ(d.vol.device, nullptr);
    EXPECT_FALSE(fd_is_open(fd));
    hfs_close_device(&d.vol, nullptr); // closing twice does nothing
}

// Every read path must return exactly the image's bytes.
class ReadPaths : public ::testing::TestWithParam<int> {
protected:
    static void configure(hfs_options& o, int mode) {
        switch (mode) {
        case 0:
            break; // block cache, 512-byte blocks
        case 1:
            o.noublio = 1;
            break; // plain positional reads
        case 2:
            o.noublio = 1;
            o.blksize = 4096;
            break; // aligned through the bounce buffer
        case 3:
            o.blksize = 4096;
            break; // block cache, 4096-byte blocks
        case 4:
            o.ublio_items = 0;
            break; // block cache with no entries
        }
    }
};

TEST_P(ReadPaths, ReturnsTheImageBytes) {
    const size_t size = 64 * 1024;
    auto contents = qtest::pattern(size);
    qtest::temp_file image(contents);
    static int mode;
    mode = GetParam();
    opened_device d(image.path(), [](hfs_options& o) { configure(o, mode); });
    ASSERT_EQ(d.result, 0);

    const std::pair<uint64_t, size_t> ranges[] = {
        {5000, 100},  {4000, 10000}, {0, 4096},       {4096, 8192},   {1, 1},      {4095, 2},
        {8191, 4097}, {12288, 1712}, {size - 10, 10}, {30000, 20000}, {5000, 100}, {0, size},
    };
    for (auto [offset, length] : ranges) {
        std::vector<uint8_t> out(length);
        ASSERT_EQ(d.read(out, offset), 0) << offset << "+" << length;
        ASSERT_EQ(0, std::memcmp(out.data(), contents.data() + offset, length))
            << "mode " << mode << " at " << offset << "+" << length;
    }
    EXPECT_TRUE(qtest::take_messages().empty());
}

TEST_P(ReadPaths, ReadPastTheEndFailsWithEinval) {
    auto contents = qtest::pattern(10000);
    qtest::temp_file image(contents);
    static int mode;
    mode = GetParam();
    opened_device d(image.path(), [](hfs_options& o) { configure(o, mode); });
    ASSERT_EQ(d.result, 0);
    std::vector<uint8_t> out(200);
    EXPECT_EQ(d.read(out, 9900), -EINVAL);
    auto messages = qtest::take_messages();
    ASSERT_EQ(messages.size(), 1u);
    std::string expected = "read of 200 bytes at offset 9900 failed (block size " +
                           std::to_string(d.dev().blksize) + "): Invalid argument";
    EXPECT_EQ(messages[0], expected);
    // The last bytes of an image whose size is not a multiple of the block
    // are still readable.
    std::vector<uint8_t> tail(100);
    ASSERT_EQ(d.read(tail, 9900), 0);
    EXPECT_EQ(0, std::memcmp(tail.data(), contents.data() + 9900, 100));
}

INSTANTIATE_TEST_SUITE_P(AllPaths, ReadPaths, ::testing::Values(0, 1, 2, 3, 4));

TEST(DeviceRead, EmbeddedOffsetIsAddedAndReported) {
    auto contents = qtest::pattern(70000);
    qtest::temp_file image(contents);
    opened_device d(image.path(), [](hfs_options& o) { o.noublio = 1; });
    ASSERT_EQ(d.result, 0);
    d.vol.embedded_offset = 59392;
    std::vector<uint8_t> out(512);
    ASSERT_EQ(d.read(out, 1024), 0);
    EXPECT_EQ(0, std::memcmp(out.data(), contents.data() + 60416, 512));
    std::vector<uint8_t> big(20000);
    EXPECT_EQ(d.read(big, 1024), -EINVAL);
    auto messages = qtest::take_messages();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_NE(messages[0].find("at offset 60416 failed"), std::string::npos) << messages[0];
}

TEST(DeviceRead, HostileOffsetsAreRefused) {
    auto contents = qtest::pattern(4096);
    qtest::temp_file image(contents);
    opened_device d(image.path());
    ASSERT_EQ(d.result, 0);
    d.vol.embedded_offset = UINT64_MAX - 10;
    std::vector<uint8_t> out(16);
    EXPECT_EQ(d.read(out, 100), -EINVAL);
    d.vol.embedded_offset = 0;
    EXPECT_EQ(d.read(out, UINT64_MAX - 4), -EINVAL);
}

} // namespace

// The replay overlay against a plain model: writes of random sizes and
// places (many overlapping partly, inside or across earlier ones, some
// killed, the journal wrapping) applied in journal order, byte for byte;
// every read of the device, whatever its range, must give the model's bytes.
TEST(JournalOverlay, LaterWritesWinByteForByte) {
    constexpr uint64_t unit = 512, journal_size = 64 * unit, device_size = 96 * unit;
    constexpr uint64_t journal_at = 100 * unit, base = 3 * unit;
    std::vector<uint8_t> device(journal_at + journal_size);
    for (size_t i = 0; i < device.size(); ++i)
        device[i] = static_cast<uint8_t>((i * 2654435761u) >> 11);
    const hfs_range_reader raw = [&](uint8_t* buf, size_t size, uint64_t offset) {
        if (offset > device.size() || size > device.size() - offset) return -EIO;
        std::memcpy(buf, device.data() + offset, size);
        return 0;
    };
    uint32_t seed = 12345;
    auto next = [&seed](uint32_t n) {
        seed = seed * 1103515245 + 12345;
        return (seed >> 8) % n;
    };
    for (int round = 0; round < 200; ++round) {
        hfs_journal_scan scan;
        scan.info.offset = journal_at - base; // the scan's offsets are from the partition
        scan.header.size = journal_size;
        scan.header.jhdr_size = unit;
        std::vector<uint8_t> model(device.begin() + base, device.begin() + base + device_size);
        uint64_t data = unit + next(journal_size / unit - 1) * unit; // where the data goes
        hfs_journal_transaction t;
        hfs_journal_list list;
        for (uint32_t n = 1 + next(8); n > 0; --n) {
            hfs_journal_block b;
            b.size = static_cast<uint32_t>((1 + next(4)) * unit);
            b.bnum =
                next(5) == 0 ? int64_t{-1} : int64_t{next(device_size / unit - b.size / unit + 1)};
            b.device_offset = b.killed() ? 0 : uint64_t(b.bnum) * unit;
            b.data_offset = data;
            for (uint64_t i = 0; i < b.size; ++i) {
                const uint64_t j =
                    data + i < journal_size ? data + i : unit + (data + i - journal_size);
                if (!b.killed()) model[b.device_offset + i] = device[journal_at + j];
            }
            data += b.size;
            if (data >= journal_size) data = unit + (data - journal_size);
            list.blocks.push_back(b);
            if (next(3) == 0) {
                t.lists.push_back(std::move(list));
                list = {};
            }
        }
        t.lists.push_back(std::move(list));
        scan.transactions.push_back(std::move(t));
        const auto overlay = hfs_journal_overlay::build(scan, base);
        ASSERT_NE(overlay, nullptr);
        for (int r = 0; r < 20; ++r) {
            const uint64_t at = next(device_size), length = 1 + next(device_size - at);
            std::vector<uint8_t> got(device.begin() + base + at,
                                     device.begin() + base + at + length);
            if (overlay->touches(base + at, length)) {
                ASSERT_EQ(overlay->patch(got.data(), length, base + at, raw), 0);
            }
            ASSERT_TRUE(std::equal(got.begin(), got.end(), model.begin() + at))
                << "round " << round << ", read of " << length << " bytes at " << at;
        }
    }
}
