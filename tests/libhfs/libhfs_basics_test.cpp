// Header parsers, the hook wrappers, the reporter and the journal test.
#include "tests/support/capture.h"

#include "libhfs/libhfs.h"

#include <gtest/gtest.h>

namespace {

TEST(HeaderParsing, VolumeHeaderFieldsAndForks) {
    std::vector<uint8_t> raw(512);
    qtest::put_u16(raw, 0, HFSLIB_SIG_HFSX);
    qtest::put_u16(raw, 2, 5);
    qtest::put_u32(raw, 40, 0x1000);
    qtest::put_u32(raw, 44, 123456);
    qtest::put_u64(raw, 72, 0x1122334455667788ull);
    qtest::put_u32(raw, 80 + 7 * 4, 0xCAFEBABE);
    // Catalog fork at 272: size, clump, blocks, then the first extent at 288.
    qtest::put_u64(raw, 272, 1 << 20);
    qtest::put_u32(raw, 284, 256);
    qtest::put_u32(raw, 288, 77);
    qtest::put_u32(raw, 292, 256);
    qtest::put_u32(raw, 432 + 16 + 7 * 8 + 4, 9); // last extent of the startup file

    hfslib_vheader vh{};
    ASSERT_EQ(hfslib_parse_vheader(raw.data(), &vh), 512u);
    EXPECT_EQ(vh.signature, HFSLIB_SIG_HFSX);
    EXPECT_EQ(vh.version, 5);
    EXPECT_EQ(vh.block_size, 4096u);
    EXPECT_EQ(vh.total_blocks, 123456u);
    EXPECT_EQ(vh.encodings_bitmap, 0x1122334455667788ull);
    EXPECT_EQ(vh.finder_info[7], 0xCAFEBABEu);
    EXPECT_EQ(vh.catalog_file.logical_size, 1u << 20);
    EXPECT_EQ(vh.catalog_file.total_blocks, 256u);
    EXPECT_EQ(vh.catalog_file.extents[0].start_block, 77u);
    EXPECT_EQ(vh.catalog_file.extents[0].block_count, 256u);
    EXPECT_EQ(vh.startup_file.extents[7].block_count, 9u);
    EXPECT_EQ(hfslib_parse_vheader(nullptr, &vh), 0u);
    EXPECT_EQ(hfslib_parse_vheader(raw.data(), nullptr), 0u);
}

TEST(HeaderParsing, WrapperAndJournalRecords) {
    std::vector<uint8_t> raw(512);
    qtest::put_u16(raw, 0, HFSLIB_SIG_HFS);
    qtest::put_u32(raw, 20, 512);
    qtest::put_u16(raw, 28, 16);
    raw[36] = 4;
    raw[37] = 'T';
    qtest::put_u16(raw, 124, HFSLIB_SIG_HFSPLUS);
    qtest::put_u16(raw, 126, 100);
    qtest::put_u16(raw, 128, 999);
    qtest::put_u16(raw, 150 + 8, 42); // start of the third catalog extent
    hfslib_mdb mdb{};
    ASSERT_EQ(hfslib_parse_mdb(raw.data(), &mdb), 162u);
    EXPECT_EQ(mdb.alloc_block_size, 512u);
    EXPECT_EQ(mdb.first_alloc_block, 16);
    EXPECT_EQ(mdb.volume_name[0], 4);
    EXPECT_EQ(mdb.volume_name[1], 'T');
    EXPECT_EQ(mdb.embed_signature, HFSLIB_SIG_HFSPLUS);
    EXPECT_EQ(mdb.embed_start_block, 100);
    EXPECT_EQ(mdb.embed_block_count, 999);
    EXPECT_EQ(mdb.cat_extents[2][0], 42);

    std::vector<uint8_t> j(180);
    qtest::put_u64(j, 36, 0x100000001ull);
    qtest::put_u64(j, 44, 8 << 20);
    hfslib_jinfo info{};
    ASSERT_EQ(hfslib_parse_jinfo(j.data(), &info), 180u);
    EXPECT_EQ(info.journal_offset, 0x100000001ull);
    EXPECT_EQ(info.journal_size, 8u << 20);

    std::vector<uint8_t> h(44);
    qtest::put_u64(h, 8, 4096);
    qtest::put_u64(h, 16, 8192);
    qtest::put_u32(h, 40, 512);
    hfslib_jheader header{};
    ASSERT_EQ(hfslib_parse_jheader(h.data(), &header), 44u);
    EXPECT_EQ(header.start, 4096u);
    EXPECT_EQ(header.end, 8192u);
    EXPECT_EQ(header.header_size, 512u);
    EXPECT_EQ(hfslib_parse_jheader(nullptr, &header), 0u);
}

TEST(Hooks, AbsentHooksHaveSafeResults) {
    hfslib_setup(nullptr);
    hfslib_vol vol{};
    uint8_t byte = 0;
    EXPECT_EQ(hfslib_hook_alloc(16, nullptr), nullptr);
    EXPECT_EQ(hfslib_hook_realloc(nullptr, 16, nullptr), nullptr);
    hfslib_hook_free(&byte, nullptr); // must not try to release it
    EXPECT_EQ(hfslib_hook_open(&vol, "/dev/null", nullptr), 1);
    EXPECT_EQ(hfslib_hook_read(&vol, &byte, 1, 0, nullptr), -1);
    hfslib_hook_close(&vol, nullptr);
    hfslib_report("nothing prints %d", "file", 1, 5);
    EXPECT_EQ(hfslib_mount("/dev/null", 1, &vol, nullptr), 1);
}

TEST(Hooks, ReporterAndWrappersWithInstalledTable) {
    qtest::install_capturing_hooks();
    hfslib_report("value %u of %s", "module", 7, 42u, "x");
    hfslib_report(nullptr, "module", 7);
    auto messages = qtest::take_messages();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0], "value 42 of x");

    hfslib_vol vol{};
    uint8_t byte = 0;
    EXPECT_EQ(hfslib_hook_open(&vol, nullptr, nullptr), 1);
    EXPECT_EQ(hfslib_hook_read(nullptr, &byte, 1, 0, nullptr), -1);
    EXPECT_EQ(hfslib_hook_read(&vol, nullptr, 1, 0, nullptr), -1);
    void* block = hfslib_hook_alloc(32, nullptr);
    ASSERT_NE(block, nullptr);
    block = hfslib_hook_realloc(block, 64, nullptr);
    ASSERT_NE(block, nullptr);
    hfslib_hook_free(block, nullptr);
    hfslib_hook_free(nullptr, nullptr);

    hfslib_cbctx ctx;
    ctx.open_arg = &vol;
    hfslib_clear_cbctx(&ctx);
    EXPECT_EQ(ctx.open_arg, nullptr);
}

TEST(Journal, CleanOnlyWhenStartEqualsEnd) {
    EXPECT_EQ(hfslib_journal_clean(nullptr), 0);
    hfslib_vol vol{};
    vol.jheader.start = 1;
    vol.jheader.end = 2;
    EXPECT_EQ(hfslib_journal_clean(&vol), 1) << "not journaled: the header bit decides";
    vol.vh.attributes = HFSLIB_VOL_JOURNALED;
    EXPECT_EQ(hfslib_journal_clean(&vol), 0);
    vol.jheader.end = 1;
    EXPECT_EQ(hfslib_journal_clean(&vol), 1);
    vol.jheader = {};
    EXPECT_EQ(hfslib_journal_clean(&vol), 1);
}

} // namespace
