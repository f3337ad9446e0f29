// The volume-header stage of opening a volume: signatures, the HFS wrapper
// and its arithmetic, and the device being closed after every failure.
#include "tests/support/capture.h"

#include "access/device.h"
#include "access/options.h"

#include <algorithm>
#include <fcntl.h>
#include <gtest/gtest.h>

namespace {

bool has_message(const std::vector<std::string>& messages, const std::string& text) {
    return std::find(messages.begin(), messages.end(), text) != messages.end();
}

int open_descriptors() {
    int count = 0;
    for (int fd = 0; fd < 1024; ++fd)
        if (fcntl(fd, F_GETFD) != -1) ++count;
    return count;
}

struct mount_attempt {
    hfslib_vol vol{};
    int result;
    std::vector<std::string> messages;

    explicit mount_attempt(const std::string& path) {
        qtest::install_capturing_hooks();
        hfs_options options{};
        init_options(&options);
        hfslib_cbctx ctx{};
        ctx.open_arg = &options;
        result = hfslib_mount(path.c_str(), 1, &vol, &ctx);
        messages = qtest::take_messages();
    }
    ~mount_attempt() { hfslib_unmount(&vol, nullptr); }
};

// An HFS wrapper: the MDB at 1024 with an embedded volume 100 blocks of 512
// bytes after sector 16, i.e. at byte 59392.
std::vector<uint8_t> wrapper_image(uint16_t embed_signature, uint16_t embedded_header_signature) {
    std::vector<uint8_t> bytes(128 * 1024);
    qtest::put_u16(bytes, 1024, HFSLIB_SIG_HFS);
    qtest::put_u32(bytes, 1024 + 20, 512);
    qtest::put_u16(bytes, 1024 + 28, 16);
    qtest::put_u16(bytes, 1024 + 124, embed_signature);
    qtest::put_u16(bytes, 1024 + 126, 100);
    qtest::put_u16(bytes, 1024 + 128, 64);
    qtest::put_u16(bytes, 60416, embedded_header_signature);
    qtest::put_u16(bytes, 60418, 4);
    qtest::put_u32(bytes, 60416 + 40, 4096);
    return bytes;
}

TEST(MountHeader, ZerosAreAnUnrecognizedFormatAndTheDeviceIsClosed) {
    std::vector<uint8_t> zeros(4096);
    qtest::temp_file image(zeros);
    int before = open_descriptors();
    mount_attempt m(image.path());
    EXPECT_EQ(m.result, 1);
    EXPECT_TRUE(has_message(m.messages, "unrecognized volume format"));
    EXPECT_EQ(m.vol.device, nullptr);
    EXPECT_EQ(open_descriptors(), before);
}

TEST(MountHeader, TooShortForAHeader) {
    std::vector<uint8_t> tiny(1500);
    qtest::temp_file image(tiny);
    mount_attempt m(image.path());
    EXPECT_EQ(m.result, 1);
    EXPECT_TRUE(has_message(m.messages, "could not read volume header"));
    EXPECT_EQ(m.vol.device, nullptr);
}

TEST(MountHeader, PlainHfsIsRefused) {
    auto bytes = wrapper_image(0, HFSLIB_SIG_HFSPLUS);
    qtest::temp_file image(bytes);
    mount_attempt m(image.path());
    EXPECT_EQ(m.result, 1);
    EXPECT_TRUE(has_message(m.messages, "Plain HFS volumes not currently supported"));
    EXPECT_EQ(m.vol.device, nullptr);
}

TEST(MountHeader, WrapperLeadsToTheEmbeddedHeader) {
    // A bad signature at 60416 proves the embedded header is read there.
    auto bytes = wrapper_image(HFSLIB_SIG_HFSPLUS, 0x5858);
    qtest::temp_file bad(bytes);
    mount_attempt refused(bad.path());
    EXPECT_EQ(refused.result, 1);
    EXPECT_TRUE(has_message(refused.messages, "unrecognized volume format"));
    EXPECT_EQ(refused.vol.embedded_offset, 59392u);

    auto good = wrapper_image(HFSLIB_SIG_HFSPLUS, HFSLIB_SIG_HFSPLUS);
    qtest::temp_file accepted(good);
    mount_attempt m(accepted.path());
    EXPECT_FALSE(has_message(m.messages, "unrecognized volume format"));
    EXPECT_EQ(m.vol.embedded_offset, 59392u);
    EXPECT_EQ(m.vol.vh.signature, HFSLIB_SIG_HFSPLUS);
    EXPECT_EQ(m.vol.vh.block_size, 4096u);
}

TEST(MountHeader, MissingVolumeReportsOpenFailure) {
    mount_attempt m("/nonexistent/volume");
    EXPECT_EQ(m.result, 1);
    EXPECT_TRUE(has_message(m.messages, "could not open device"));
    EXPECT_EQ(m.vol.device, nullptr);
}

TEST(MountHeader, NullArgumentsFailQuietly) {
    qtest::install_capturing_hooks();
    hfslib_vol vol{};
    EXPECT_EQ(hfslib_mount(nullptr, 1, &vol, nullptr), 1);
    EXPECT_EQ(hfslib_mount("/dev/null", 1, nullptr, nullptr), 1);
    EXPECT_TRUE(qtest::take_messages().empty());
}

} // namespace
