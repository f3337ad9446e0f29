// Fork extents and fork reading: extents-overflow keys and records, the
// collection of extent lists (volume header, catalog, overflow tree), range
// reads, and hostile overflow trees.
#include "libhfs/report.h"
#include "tests/support/crafted.h"
#include "tests/support/volume.h"

namespace {

using namespace qtest;

// ---------------------------------------------------------------------------
// Keys and records

TEST(ExtKey, BuildAndOrder) {
    hfslib_ext_key a{}, b{};
    EXPECT_EQ(hfslib_build_ext_key(20, HFSLIB_RSRC_FORK, 77, &a), 10);
    EXPECT_EQ(a.key_len, 10);
    EXPECT_EQ(a.fork_type, HFSLIB_RSRC_FORK);
    EXPECT_EQ(a.pad, 0);
    EXPECT_EQ(a.file_cnid, 20u);
    EXPECT_EQ(a.start_block, 77u);
    b = a;
    EXPECT_EQ(hfslib_build_ext_key(0, 0, 0, &b), 0);
    EXPECT_EQ(b.file_cnid, 20u) << "a refused key writes nothing";
    EXPECT_EQ(hfslib_build_ext_key(1, 0, 0, nullptr), 0);

    // CNID first, then fork type, then start block.
    hfslib_build_ext_key(21, HFSLIB_DATA_FORK, 0, &b);
    EXPECT_LT(hfslib_cmp_ext_keys(&a, &b), 0);
    hfslib_build_ext_key(20, HFSLIB_DATA_FORK, 1000, &b);
    EXPECT_GT(hfslib_cmp_ext_keys(&a, &b), 0);
    hfslib_build_ext_key(20, HFSLIB_RSRC_FORK, 78, &b);
    EXPECT_LT(hfslib_cmp_ext_keys(&a, &b), 0);
    EXPECT_EQ(hfslib_cmp_ext_keys(&a, &a), 0);
}

TEST(ExtKey, LargeValuesOrderAsUnsignedNumbers) {
    // A wrapped 32-bit difference would put these the wrong way round.
    hfslib_ext_key a{}, b{};
    hfslib_build_ext_key(1, 0, 0, &a);
    hfslib_build_ext_key(0x80000002u, 0, 0, &b);
    EXPECT_LT(hfslib_cmp_ext_keys(&a, &b), 0);
    EXPECT_GT(hfslib_cmp_ext_keys(&b, &a), 0);
    hfslib_build_ext_key(5, 0, 0, &a);
    hfslib_build_ext_key(5, 0, 0x90000000u, &b);
    EXPECT_LT(hfslib_cmp_ext_keys(&a, &b), 0);
}

std::vector<uint8_t> ext_leaf_record(uint32_t cnid, uint32_t start, int width) {
    std::vector<uint8_t> r(width + 10 + 64, 0);
    if (width == 2) put16(r, 0, 10);
    if (width == 1) r[0] = 10;
    r[width] = HFSLIB_RSRC_FORK;
    r[width + 1] = 0x5A;
    put32(r, width + 2, cnid);
    put32(r, width + 6, start);
    for (int i = 0; i < 8; ++i) {
        put32(r, width + 10 + 8 * i, 100 + i);
        put32(r, width + 14 + 8 * i, i + 1);
    }
    return r;
}

TEST(ExtRecord, DecodesLeafAndIndexRecordsInEveryKeyWidth) {
    hfslib_vol vol{};
    for (int width : {1, 2, 0}) {
        SCOPED_TRACE(width);
        vol.ext_keylen_size = static_cast<uint8_t>(width);
        auto rec = ext_leaf_record(33, 4096, width);
        hfslib_ext_key key{};
        hfslib_extent ext[8] = {};
        EXPECT_EQ(
            hfslib_parse_ext_record(rec.data(), rec.size(), ext, HFSLIB_NODE_LEAF, &key, &vol),
            rec.size());
        EXPECT_EQ(key.key_len, width == 0 ? 0 : 10);
        EXPECT_EQ(key.fork_type, HFSLIB_RSRC_FORK);
        EXPECT_EQ(key.pad, 0x5A);
        EXPECT_EQ(key.file_cnid, 33u);
        EXPECT_EQ(key.start_block, 4096u);
        EXPECT_EQ(ext[7].start_block, 107u);
        EXPECT_EQ(ext[7].block_count, 8u);
        // Key alone.
        EXPECT_EQ(
            hfslib_parse_ext_record(rec.data(), rec.size(), nullptr, HFSLIB_NODE_LEAF, &key, &vol),
            size_t(width + 10));
        // Index record: the key and a child node number.
        std::vector<uint8_t> idx(rec.begin(), rec.begin() + width + 10);
        idx.insert(idx.end(), {0, 0, 0x01, 0x02});
        uint32_t child = 0;
        EXPECT_EQ(
            hfslib_parse_ext_record(idx.data(), idx.size(), &child, HFSLIB_NODE_INDEX, &key, &vol),
            idx.size());
        EXPECT_EQ(child, 0x102u);
    }
}

TEST(ExtRecord, RefusesShortRecordsAndOtherNodeKinds) {
    hfslib_vol vol{};
    vol.ext_keylen_size = 2;
    auto rec = ext_leaf_record(33, 0, 2);
    hfslib_ext_key key{};
    key.file_cnid = 99;
    hfslib_extent ext[8] = {};
    EXPECT_EQ(
        hfslib_parse_ext_record(rec.data(), rec.size() - 1, ext, HFSLIB_NODE_LEAF, &key, &vol), 0u);
    EXPECT_EQ(key.file_cnid, 99u) << "a refused record leaves the key alone";
    EXPECT_EQ(hfslib_parse_ext_record(rec.data(), 11, nullptr, HFSLIB_NODE_LEAF, &key, &vol), 0u);
    uint32_t child = 0;
    EXPECT_EQ(hfslib_parse_ext_record(rec.data(), 15, &child, HFSLIB_NODE_INDEX, &key, &vol), 0u);
    EXPECT_EQ(hfslib_parse_ext_record(rec.data(), 16, &child, HFSLIB_NODE_INDEX, &key, &vol), 16u);
    for (int kind : {int{HFSLIB_NODE_HEADER}, int{HFSLIB_NODE_MAP}, 5})
        EXPECT_EQ(hfslib_parse_ext_record(rec.data(), rec.size(), ext, kind, &key, &vol), 0u);
    EXPECT_EQ(hfslib_parse_ext_record(nullptr, 76, ext, HFSLIB_NODE_LEAF, &key, &vol), 0u);
    EXPECT_EQ(hfslib_parse_ext_record(rec.data(), 76, ext, HFSLIB_NODE_LEAF, nullptr, &vol), 0u);
}

// ---------------------------------------------------------------------------
// Range reads on a list given directly

class RangeRead : public ::testing::Test {
protected:
    void SetUp() override {
        install_hooks(&dev);
        dev.bytes.resize(64 * 512);
        for (size_t i = 0; i < dev.bytes.size(); ++i) dev.bytes[i] = static_cast<uint8_t>(i / 512);
        vol.vh.block_size = 512;
        vol.device = &dev;
    }
    device dev;
    hfslib_vol vol{};
    // Fork blocks 0-1 at disk 10-11, an empty descriptor, fork block 2 at
    // disk 30, fork blocks 3-5 at disk 5-7.
    hfslib_extent list[4] = {{10, 2}, {99, 0}, {30, 1}, {5, 3}};
};

TEST_F(RangeRead, CrossesExtentBoundariesWithOneHookCallPerPiece) {
    std::vector<uint8_t> buf(1024);
    uint64_t got = 0;
    ASSERT_EQ(hfslib_read_fork_range(&vol, buf.data(), &got, 600, 1000, list, 4, nullptr), 0);
    EXPECT_EQ(got, 600u);
    ASSERT_EQ(dev.log.size(), 3u);
    EXPECT_EQ(dev.log[0], std::make_pair(uint64_t{10 * 512 + 1000}, uint64_t{24}));
    EXPECT_EQ(dev.log[1], std::make_pair(uint64_t{30 * 512}, uint64_t{512}));
    EXPECT_EQ(dev.log[2], std::make_pair(uint64_t{5 * 512}, uint64_t{64}));
    EXPECT_EQ(buf[0], 11);
    EXPECT_EQ(buf[24], 30);
    EXPECT_EQ(buf[599], 5);
}

TEST_F(RangeRead, EndingAtAnExtentEndTakesNothingFromTheNext) {
    std::vector<uint8_t> buf(1024);
    uint64_t got = 0;
    ASSERT_EQ(hfslib_read_fork_range(&vol, buf.data(), &got, 1024, 0, list, 4, nullptr), 0);
    EXPECT_EQ(got, 1024u);
    EXPECT_EQ(dev.log.size(), 1u);
}

TEST_F(RangeRead, RangesBeyondTheLastExtentAndEmptyRanges) {
    std::vector<uint8_t> buf(4096);
    uint64_t got = 99;
    EXPECT_EQ(hfslib_read_fork_range(&vol, buf.data(), &got, 100, 6 * 512, list, 4, nullptr), 0);
    EXPECT_EQ(got, 0u);
    EXPECT_EQ(hfslib_read_fork_range(&vol, buf.data(), &got, 4096, 5 * 512 + 12, list, 4, nullptr),
              0);
    EXPECT_EQ(got, 500u) << "a range running past the extents stops where they do";
    got = 99;
    EXPECT_EQ(hfslib_read_fork_range(&vol, buf.data(), &got, 0, 0, list, 4, nullptr), 0);
    EXPECT_EQ(got, 0u);
    // offset + length past 2^64 - 1 reads what the extents hold.
    EXPECT_EQ(hfslib_read_fork_range(&vol, buf.data(), &got, UINT64_MAX, 512, list, 4, nullptr), 0);
    EXPECT_EQ(got, 5u * 512);
}

TEST_F(RangeRead, ArgumentFaultsAndHookResults) {
    std::vector<uint8_t> buf(512);
    uint64_t got = 0;
    EXPECT_EQ(hfslib_read_fork_range(&vol, buf.data(), &got, 10, 0, list, 0, nullptr), -1);
    EXPECT_EQ(hfslib_read_fork_range(nullptr, buf.data(), &got, 10, 0, list, 4, nullptr), -1);
    EXPECT_EQ(hfslib_read_fork_range(&vol, nullptr, &got, 10, 0, list, 4, nullptr), -1);
    EXPECT_EQ(hfslib_read_fork_range(&vol, buf.data(), nullptr, 10, 0, list, 4, nullptr), -1);
    EXPECT_EQ(hfslib_read_fork_range(&vol, buf.data(), &got, 10, 0, nullptr, 4, nullptr), -1);
    dev.fail_after = 0;
    EXPECT_EQ(hfslib_read_fork_range(&vol, buf.data(), &got, 10, 0, list, 4, nullptr), -EIO);
    hfslib_setup(nullptr); // no read hook
    EXPECT_EQ(hfslib_read_fork_range(&vol, buf.data(), &got, 10, 0, list, 4, nullptr), -1);
}

TEST_F(RangeRead, ByteArithmeticOverflowIsReported) {
    vol.vh.block_size = 0xFFFFFFFFu;
    // The first extent ends exactly at 2^64 - 1 bytes; the next passes it.
    hfslib_extent huge[2] = {{0, 0xFFFFFFFFu}, {0, 3}};
    std::vector<uint8_t> buf(16);
    uint64_t got = 0;
    EXPECT_EQ(hfslib_read_fork_range(&vol, buf.data(), &got, 16, 0, huge, 2, nullptr), -1);
    EXPECT_TRUE(has_message("extent length exceeds 16 exabytes at #1, offset "
                            "18446744065119617025 length 12884901885"))
        << all_messages();
    dev.log.clear();
    // The device position of a piece may pass 2^64 - 1 too.
    clear_messages();
    hfslib_extent far[1] = {{0xFFFFFFFFu, 0xFFFFFFFFu}};
    EXPECT_EQ(
        hfslib_read_fork_range(&vol, buf.data(), &got, 16, 0xFFFFFFF000000000ull, far, 1, nullptr),
        -1);
    EXPECT_EQ(messages().size(), 1u);
    EXPECT_TRUE(dev.log.empty());
}

// ---------------------------------------------------------------------------
// Collection on crafted volumes

crafted_file file_with(uint32_t cnid, size_t extents, uint32_t blocks_each = 1) {
    crafted_file f;
    f.cnid = cnid;
    const std::string digits = std::to_string(cnid);
    f.name = u"f" + std::u16string(digits.begin(), digits.end());
    for (size_t i = 0; i < extents; ++i)
        f.extent_blocks.push_back(blocks_each + static_cast<uint32_t>(i % 3));
    return f;
}

class CraftedForks : public ::testing::Test {
protected:
    void mount_files(const std::vector<crafted_file>& files, crafted_options o = {}) {
        install_hooks(&dev);
        v = craft_volume(files, o);
        dev.bytes = v.image;
        ASSERT_EQ(mount(dev, vol), 0) << all_messages();
    }
    void TearDown() override {
        list.reset();
        hfslib_unmount(&vol, nullptr);
        EXPECT_EQ(live_blocks(), 0);
    }
    // Collects the data fork of `cnid`; the list is owned by `list`.
    uint16_t collect(uint32_t cnid, uint8_t fork = HFSLIB_DATA_FORK) {
        hfslib_extent* raw = nullptr;
        uint16_t n = hfslib_collect_fork_extents(&vol, cnid, fork, &raw, nullptr);
        list.reset(raw);
        return n;
    }
    size_t extents_tree_reads() const {
        size_t n = 0;
        for (auto [at, size] : dev.log)
            if (at >= v.extents_offset && at < v.extents_offset + v.extents.bytes.size()) ++n;
        return n;
    }
    void expect_fork_content(uint32_t cnid, uint16_t count) {
        uint64_t size = 0;
        for (const auto& e : v.forks[cnid]) size += uint64_t{e.block_count} * 512;
        std::vector<uint8_t> buf(size);
        uint64_t got = 0;
        ASSERT_EQ(
            hfslib_read_fork_range(&vol, buf.data(), &got, size, 0, list.get(), count, nullptr), 0);
        ASSERT_EQ(got, size);
        for (uint64_t i = 0; i < size; ++i)
            if (buf[i] != fork_byte(cnid, i)) FAIL() << "fork byte " << i;
    }

    device dev;
    crafted_volume v;
    hfslib_vol vol{};
    hfslib::hook_ptr<hfslib_extent[]> list{nullptr, hfslib::hook_deleter{nullptr}};
};

TEST_F(CraftedForks, ForksThatFitTheirRecordNeverReadTheOverflowTree) {
    mount_files({file_with(20, 0), file_with(21, 6), file_with(22, 8), file_with(23, 9)});
    dev.log.clear();
    EXPECT_EQ(collect(20), 0);
    EXPECT_NE(list.get(), nullptr) << "an empty fork still hands back an array";
    EXPECT_EQ(collect(21), 6);
    expect_fork_content(21, 6);
    EXPECT_EQ(collect(22), 8);
    expect_fork_content(22, 8);
    EXPECT_EQ(extents_tree_reads(), 0u);
    EXPECT_EQ(collect(23), 9);
    EXPECT_GT(extents_tree_reads(), 0u);
    EXPECT_TRUE(messages().empty()) << all_messages();
}

TEST_F(CraftedForks, TwentyExtentsComeFromTheRecordAndTwoOverflowRecords) {
    mount_files({file_with(20, 20)});
    EXPECT_EQ(v.extents.leaf_recs, 2u);
    ASSERT_EQ(collect(20), 20);
    for (int i = 0; i < 20; ++i) {
        EXPECT_EQ(list[i].start_block, v.forks[20][i].start_block) << i;
        EXPECT_EQ(list[i].block_count, v.forks[20][i].block_count) << i;
    }
    expect_fork_content(20, 20);
    // The count alone, without an array.
    EXPECT_EQ(hfslib_collect_fork_extents(&vol, 20, HFSLIB_DATA_FORK, nullptr, nullptr), 20);
}

TEST_F(CraftedForks, SeveralHundredExtentsThroughAThreeLevelOverflowTree) {
    crafted_options o;
    o.ext_per_node = 3;
    mount_files({file_with(20, 7), file_with(30, 450), file_with(40, 17)}, o);
    ASSERT_GE(v.extents.depth, 3);
    ASSERT_EQ(collect(30), 450);
    expect_fork_content(30, 450);
    EXPECT_EQ(collect(40), 17);
    expect_fork_content(40, 17);
    EXPECT_TRUE(messages().empty()) << all_messages();
}

TEST_F(CraftedForks, SpecialFilesIgnoreTheForkTypeOrdinaryFilesDoNot) {
    mount_files({file_with(20, 3)});
    EXPECT_EQ(collect(4, 0x01), 1);
    EXPECT_EQ(uint64_t{list[0].start_block} * 512, v.catalog_offset);
    EXPECT_EQ(collect(4, HFSLIB_RSRC_FORK), 1);
    EXPECT_EQ(collect(3, 0x01), 1);
    EXPECT_EQ(uint64_t{list[0].start_block} * 512, v.extents_offset);
    EXPECT_EQ(collect(20, 0x01), 0);
    EXPECT_NE(list.get(), nullptr);
    EXPECT_EQ(collect(20, HFSLIB_RSRC_FORK), 0);
    EXPECT_EQ(collect(20, HFSLIB_DATA_FORK), 3);
    // Not a file, no such CNID, CNID 0.
    EXPECT_EQ(collect(2), 0);
    EXPECT_EQ(list.get(), nullptr);
    EXPECT_EQ(collect(77), 0);
    EXPECT_EQ(list.get(), nullptr);
    EXPECT_EQ(hfslib_collect_fork_extents(&vol, 0, 0, nullptr, nullptr), 0);
    EXPECT_EQ(hfslib_collect_fork_extents(nullptr, 4, 0, nullptr, nullptr), 0);
}

TEST_F(CraftedForks, BlockCountOverflowIsReportedWithTheCnid) {
    crafted_file f;
    f.cnid = 20;
    f.name = u"big";
    f.raw_extents = {{100, 0xFFFFFFF0u}, {200, 0x0F}, {300, 2}};
    f.raw_total_blocks = 0xFFFFFFFFu;
    mount_files({f});
    EXPECT_EQ(collect(20), 0);
    EXPECT_EQ(list.get(), nullptr);
    EXPECT_TRUE(has_message("block count overflow for CNID 20, record #2 count 2"))
        << all_messages();
}

TEST_F(CraftedForks, TheExtentsFileIsNeverContinuedThroughItself) {
    install_hooks(&dev);
    v = craft_volume({file_with(20, 12)});
    put32(v.image, 1024 + 192 + 12, 5000); // extents file claims more blocks than it has
    dev.bytes = v.image;
    ASSERT_EQ(mount(dev, vol), 0);
    dev.log.clear();
    EXPECT_EQ(collect(3), 1) << "what its own extents reach";
    EXPECT_TRUE(dev.log.empty());
    EXPECT_EQ(collect(20), 12) << "overflow searches still work";
}

TEST_F(CraftedForks, AnOverflowRecordThatAddsNoBlocksEndsTheCollection) {
    crafted_file f;
    f.cnid = 20;
    f.name = u"stuck";
    for (uint32_t i = 0; i < 8; ++i) f.raw_extents.push_back({1000 + 2 * i, 1});
    for (int i = 0; i < 8; ++i) f.raw_extents.push_back({0, 0});
    f.raw_total_blocks = 12;
    mount_files({f});
    ASSERT_EQ(v.extents.leaf_recs, 1u);
    size_t before = dev.reads;
    EXPECT_EQ(collect(20), 0);
    EXPECT_EQ(list.get(), nullptr);
    EXPECT_TRUE(has_message("overflow extents of CNID 20 add no blocks at block 8"))
        << all_messages();
    EXPECT_LT(dev.reads - before, 20u);
}

TEST_F(CraftedForks, AnEmptyOverflowTreeHoldsNoContinuation) {
    crafted_file f;
    f.cnid = 20;
    f.name = u"claims more";
    f.raw_extents = {{3000, 1}, {3002, 1}};
    f.raw_total_blocks = 3;
    mount_files({f});
    ASSERT_EQ(vol.ext_header.root_node, 0u);
    dev.log.clear();
    EXPECT_EQ(collect(20), 0);
    EXPECT_EQ(list.get(), nullptr);
    EXPECT_EQ(extents_tree_reads(), 0u);
    EXPECT_TRUE(messages().empty()) << all_messages();
}

TEST_F(CraftedForks, ARecordOfAnotherForkIsNeverTakenAsTheContinuation) {
    crafted_file other = file_with(20, 12);
    crafted_file short_fork;
    short_fork.cnid = 21;
    short_fork.name = u"short";
    for (uint32_t i = 0; i < 8; ++i) short_fork.raw_extents.push_back({3000 + 2 * i, 1});
    short_fork.raw_total_blocks = 9; // one block more than its record holds, no overflow record
    mount_files({other, short_fork});
    EXPECT_EQ(collect(21), 0);
    EXPECT_EQ(list.get(), nullptr);
    hfslib_ext_key key{};
    hfslib_extent out[8] = {};
    hfslib_build_ext_key(21, HFSLIB_DATA_FORK, 8, &key);
    EXPECT_EQ(hfslib_seek_overflow_extents(&vol, &key, out, nullptr), 1);
    hfslib_build_ext_key(20, HFSLIB_DATA_FORK, 1, &key);
    EXPECT_EQ(hfslib_seek_overflow_extents(&vol, &key, out, nullptr), 1) << "below every key";
    uint32_t first8 = 0;
    for (int i = 0; i < 8; ++i) first8 += v.forks[20][i].block_count;
    hfslib_build_ext_key(20, HFSLIB_DATA_FORK, first8, &key);
    EXPECT_EQ(hfslib_seek_overflow_extents(&vol, &key, out, nullptr), 0);
    EXPECT_EQ(out[0].start_block, v.forks[20][8].start_block);
    EXPECT_EQ(out[4].block_count, 0u);
}

TEST_F(CraftedForks, ExtentCountsUpTo65535AndNoFurther) {
    crafted_options o;
    o.node_size = 4096;
    o.ext_per_node = 60;
    for (uint32_t n : {65535u, 65536u}) {
        SCOPED_TRACE(n);
        crafted_file f;
        f.cnid = 20;
        f.name = u"many";
        for (uint32_t i = 0; i < n; ++i) f.raw_extents.push_back({i * 2 + 10, 1});
        f.raw_total_blocks = n;
        mount_files({f}, o);
        const uint16_t got = collect(20);
        if (n == 65535) {
            EXPECT_EQ(got, 65535);
            EXPECT_EQ(list[65534].start_block, 65534u * 2 + 10);
        } else {
            EXPECT_EQ(got, 0);
            EXPECT_EQ(list.get(), nullptr);
            EXPECT_TRUE(has_message("more than 65535 extents for CNID 20")) << all_messages();
        }
        list.reset();
        hfslib_unmount(&vol, nullptr);
    }
}

// ---------------------------------------------------------------------------
// Hostile overflow trees: every descent ends with an error after a bounded
// number of reads. The descent checks are shared with the catalog, whose
// tests go through every kind of bad link; these check that the overflow
// search goes through them too.

class HostileOverflow : public CraftedForks {
protected:
    void SetUp() override {
        crafted_options o;
        o.ext_per_node = 3;
        install_hooks(&dev);
        v = craft_volume({file_with(30, 200)}, o);
        ASSERT_GE(v.extents.depth, 3);
        root = v.extents.root;
    }
    // Sets child pointer `i` of index node `node` to `target`.
    void point(uint32_t node, uint16_t i, uint32_t target) {
        uint64_t at = v.ext_node(node);
        uint16_t off = record_offset(v.image, at, 512, i);
        put32(v.image, at + off + 12, target);
    }
    void expect_failure(const std::string& message) {
        dev.bytes = v.image;
        ASSERT_EQ(mount(dev, vol), 0);
        size_t before = dev.reads;
        EXPECT_EQ(collect(30), 0);
        EXPECT_EQ(list.get(), nullptr);
        EXPECT_TRUE(has_message(message)) << all_messages();
        EXPECT_LE(dev.reads - before, 12u);
    }
    uint32_t root = 0;
};

TEST_F(HostileOverflow, ChildPointingAtItsOwnNode) {
    point(root, 0, root);
    expect_failure("loop in extents overflow tree at node #" + std::to_string(root));
}

TEST_F(HostileOverflow, ChildBeyondTheOverflowFile) {
    point(root, 0, 0x7FFFFFFFu);
    expect_failure("could not read extents overflow node #2147483647");
}

} // namespace
