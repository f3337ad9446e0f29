// The open sequence on real volumes and on patched copies of them.
#include "tests/support/crafted.h"
#include "tests/support/volume.h"

#include <cstring>

namespace {

using namespace qtest;

// ---------------------------------------------------------------------------
// Key orders

class MountImage : public ::testing::Test {
protected:
    bool load(const char* name) {
        install_hooks(&dev);
        return load_image(name, dev);
    }
    void TearDown() override {
        hfslib_unmount(&vol, nullptr);
        EXPECT_EQ(live_blocks(), 0);
    }
    int find(uint32_t parent, const std::u16string& name) {
        hfslib_cat_key key = cat_key(parent, name);
        hfslib_cat_rec rec{};
        return hfslib_find_cat_record(&vol, &key, &rec, nullptr);
    }
    // Byte offset of node 0 of the tree whose fork starts at `fork_at` in
    // the volume header.
    size_t header_node_at(size_t fork_at) {
        const uint32_t bs = get32(dev.bytes, 1024 + 40);
        return size_t{get32(dev.bytes, 1024 + fork_at + 16)} * bs;
    }
    void expect_refused(const std::string& message) {
        EXPECT_EQ(mount(dev, vol), 1);
        EXPECT_TRUE(has_message(message)) << all_messages();
        EXPECT_EQ(close_calls(), 1u);
        EXPECT_EQ(vol.device, nullptr);
        EXPECT_EQ(live_blocks(), 0);
    }

    device dev;
    hfslib_vol vol{};
};

constexpr size_t catalog_fork = 272, extents_fork = 192, attributes_fork = 352;

TEST_F(MountImage, CaseSensitiveHfsxUsesCodeUnitOrder) {
    if (!load("hfsx-casesensitive-journaled")) GTEST_SKIP();
    ASSERT_EQ(mount(dev, vol), 0) << all_messages();
    EXPECT_EQ(vol.vh.signature, HFSLIB_SIG_HFSX);
    EXPECT_EQ(vol.keycmp, &hfslib_cmp_cat_keys_ordinal);
    EXPECT_EQ(find(2, u"file-a.txt"), 0);
    EXPECT_EQ(find(2, u"FILE-A.TXT"), -1);
}

TEST_F(MountImage, HfsxKeyCompareTypes) {
    if (!load("hfsx-casesensitive-journaled")) GTEST_SKIP();
    const size_t keycomp = header_node_at(catalog_fork) + 14 + 37;
    dev.bytes[keycomp] = HFSLIB_KEYCMP_FOLDED;
    ASSERT_EQ(mount(dev, vol), 0);
    EXPECT_EQ(vol.keycmp, &hfslib_cmp_cat_keys_folded);
    hfslib_unmount(&vol, nullptr);
    dev.bytes[keycomp] = 0x00;
    install_hooks(&dev);
    expect_refused("undefined key compare method");
}

TEST_F(MountImage, HfsPlusAlwaysFoldsCase) {
    if (!load("dfvfs-hfsplus")) GTEST_SKIP();
    dev.bytes[header_node_at(catalog_fork) + 14 + 37] = HFSLIB_KEYCMP_BINARY;
    ASSERT_EQ(mount(dev, vol), 0);
    EXPECT_EQ(vol.keycmp, &hfslib_cmp_cat_keys_folded);
    EXPECT_EQ(find(2, u"A_DIRECTORY"), 0);
}

TEST_F(MountImage, CraftedHfsxInCodeUnitOrder) {
    crafted_options o;
    o.signature = HFSLIB_SIG_HFSX;
    o.keycomp = HFSLIB_KEYCMP_BINARY;
    crafted_file upper, lower;
    upper.name = u"B", upper.cnid = 20, upper.extent_blocks = {1};
    lower.name = u"a", lower.cnid = 21, lower.extent_blocks = {1};
    auto v = craft_volume({upper, lower}, o);
    install_hooks(&dev);
    dev.bytes = v.image;
    ASSERT_EQ(mount(dev, vol), 0) << all_messages();
    EXPECT_EQ(find(2, u"B"), 0);
    EXPECT_EQ(find(2, u"a"), 0);
    EXPECT_EQ(find(2, u"b"), -1);
}

// ---------------------------------------------------------------------------
// Tree headers

TEST_F(MountImage, KeyLengthWidthsFollowTheHeaderAttributes) {
    for (uint32_t attributes : {0x6u, 0x4u}) {
        SCOPED_TRACE(attributes);
        crafted_options o;
        o.cat_attributes = attributes;
        auto v = craft_volume({}, o);
        install_hooks(&dev);
        dev.bytes = v.image;
        ASSERT_EQ(mount(dev, vol), 0) << all_messages();
        EXPECT_EQ(vol.cat_keylen_size, attributes == 0x6 ? 2 : 1);
        EXPECT_EQ(vol.ext_keylen_size, 2);
        EXPECT_EQ(vol.volume_name.length, 7) << "the root thread is found in either width";
        EXPECT_TRUE(messages().empty()) << all_messages();
        hfslib_unmount(&vol, nullptr);
    }
}

TEST_F(MountImage, VolumeWithoutAttributesFile) {
    if (!load("empty-no-attributes")) GTEST_SKIP();
    ASSERT_EQ(mount(dev, vol), 0) << all_messages();
    const hfslib_btree_header zero{};
    EXPECT_EQ(std::memcmp(&vol.attr_header, &zero, sizeof zero), 0);
    EXPECT_EQ(dev.reads, 4u) << "volume header, catalog and extents headers, root thread";
    EXPECT_TRUE(messages().empty()) << all_messages();
}

TEST_F(MountImage, ImpossibleNodeSizesAreRefusedAtMount) {
    if (!load("dfvfs-hfsplus")) GTEST_SKIP();
    const std::vector<uint8_t> original = dev.bytes;
    struct tree {
        size_t fork;
        const char* message;
    } trees[] = {{catalog_fork, "could not parse catalog header node"},
                 {extents_fork, "could not parse extent header node"},
                 {attributes_fork, "could not parse attribute header node"}};
    for (const tree& t : trees) {
        for (uint16_t size : {0, 14, 256, 1000, 65535}) {
            SCOPED_TRACE(std::string(t.message) + " " + std::to_string(size));
            dev.bytes = original;
            put16(dev.bytes, header_node_at(t.fork) + 14 + 18, size);
            install_hooks(&dev);
            expect_refused(t.message);
        }
        // Node 0 must be a header node.
        dev.bytes = original;
        dev.bytes[header_node_at(t.fork) + 8] = static_cast<uint8_t>(HFSLIB_NODE_LEAF);
        install_hooks(&dev);
        expect_refused(t.message);
    }
}

// ---------------------------------------------------------------------------
// Journal

TEST_F(MountImage, RealJournals) {
    struct sample {
        const char* image;
        int journaled;
        int clean;
    } samples[] = {{"journal-dirty", 1, 0},
                   {"hfsx-casesensitive-journaled", 1, 1},
                   {"nps-hfsjtest1", 1, 1},
                   {"dfvfs-hfsplus", 0, 1}};
    for (const auto& s : samples) {
        SCOPED_TRACE(s.image);
        if (!load(s.image)) GTEST_SKIP();
        ASSERT_EQ(mount(dev, vol), 0) << all_messages();
        EXPECT_EQ(vol.journaled, s.journaled);
        EXPECT_EQ(hfslib_journal_clean(&vol), s.clean);
        if (s.journaled) {
            EXPECT_EQ(vol.jinfo.journal_size, s.image[0] == 'n' ? 8u << 20 : 512u << 10);
        }
        hfslib_unmount(&vol, nullptr);
    }
}

// A crafted journaled volume: the journal info block in block 4 (byte 2048),
// the journal header at byte 4096, written in either byte order.
crafted_volume journaled_volume(bool little_endian, uint64_t start, uint64_t end) {
    crafted_options o;
    o.vol_attributes = HFSLIB_VOL_JOURNALED;
    auto v = craft_volume({}, o);
    put32(v.image, 1024 + 12, 4);
    put64(v.image, 2048 + 36, 4096);
    put64(v.image, 2048 + 44, 512 * 1024);
    auto& b = v.image;
    auto put = [&](size_t at, uint64_t value, int width) {
        for (int i = 0; i < width; ++i) {
            const int shift = little_endian ? 8 * i : 8 * (width - 1 - i);
            b[at + i] = static_cast<uint8_t>(value >> shift);
        }
    };
    put(4096, 0x4A4E4C78, 4);
    put(4100, 0x12345678, 4);
    put(4104, start, 8);
    put(4112, end, 8);
    put(4120, 512 * 1024, 8);
    return v;
}

TEST_F(MountImage, JournalStateInBothByteOrders) {
    for (bool little : {false, true}) {
        for (auto [start, end, clean] :
             {std::tuple{4096u, 4096u, 1}, std::tuple{4096u, 8192u, 0}, std::tuple{0u, 0u, 1}}) {
            SCOPED_TRACE(std::to_string(little) + " " + std::to_string(start) + "-" +
                         std::to_string(end));
            install_hooks(&dev);
            dev.bytes = journaled_volume(little, start, end).image;
            ASSERT_EQ(mount(dev, vol), 0) << all_messages();
            EXPECT_EQ(vol.journaled, 1);
            EXPECT_EQ(vol.jinfo.journal_offset, 4096u);
            EXPECT_EQ(hfslib_journal_clean(&vol), clean);
            hfslib_unmount(&vol, nullptr);
        }
    }
}

TEST_F(MountImage, JournalInfoBlockBeyondFourGiB) {
    crafted_options o;
    o.block_size = 4096;
    o.vol_attributes = HFSLIB_VOL_JOURNALED;
    auto v = craft_volume({}, o);
    put32(v.image, 1024 + 12, 1048577);
    install_hooks(&dev);
    dev.bytes = v.image;
    expect_refused("could not read journal info block");
    ASSERT_FALSE(dev.log.empty());
    EXPECT_EQ(dev.log.back(), std::make_pair(uint64_t{4294971392}, uint64_t{184}));
}

TEST_F(MountImage, JournalReadFailures) {
    install_hooks(&dev);
    dev.bytes = journaled_volume(false, 1, 1).image;
    put64(dev.bytes, 2048 + 36, uint64_t{1} << 40); // journal header far away
    expect_refused("could not read journal header");
}

// ---------------------------------------------------------------------------
// Root thread, wrapper

TEST_F(MountImage, CatalogWithoutTheRootThreadStillMounts) {
    crafted_options o;
    o.root_thread = false;
    auto v = craft_volume({}, o);
    install_hooks(&dev);
    dev.bytes = v.image;
    ASSERT_EQ(mount(dev, vol), 0);
    EXPECT_TRUE(has_message("could not find root parent")) << all_messages();
    EXPECT_EQ(vol.volume_name.length, 0);
}

TEST_F(MountImage, HfsPlusInsideAnHfsWrapper) {
    crafted_file f;
    f.name = u"inside", f.cnid = 20, f.extent_blocks = {2, 1};
    auto v = craft_volume({f});
    const size_t embedded = 16 * 512 + 512 * 100;
    install_hooks(&dev);
    dev.bytes.assign(embedded, 0);
    dev.bytes.insert(dev.bytes.end(), v.image.begin(), v.image.end());
    put16(dev.bytes, 1024, HFSLIB_SIG_HFS);
    put32(dev.bytes, 1024 + 20, 512); // allocation block size
    put16(dev.bytes, 1024 + 28, 16);  // first allocation block
    put16(dev.bytes, 1024 + 124, HFSLIB_SIG_HFSPLUS);
    put16(dev.bytes, 1024 + 126, 100);
    ASSERT_EQ(mount(dev, vol), 0) << all_messages();
    EXPECT_EQ(vol.embedded_offset, 59392u);
    ASSERT_GE(dev.log.size(), 2u);
    EXPECT_EQ(dev.log[1].first, 60416u);
    EXPECT_EQ(vol.volume_name.length, 7);
    hfslib_cat_rec rec{};
    ASSERT_EQ(lookup_path(vol, "inside", rec), 0);
    hfslib_extent* list = nullptr;
    ASSERT_EQ(hfslib_collect_fork_extents(&vol, 20, HFSLIB_DATA_FORK, &list, nullptr), 2);
    std::vector<uint8_t> buf(3 * 512);
    uint64_t got = 0;
    EXPECT_EQ(hfslib_read_fork_range(&vol, buf.data(), &got, buf.size(), 0, list, 2, nullptr), 0);
    hfslib_hook_free(list, nullptr);
    EXPECT_EQ(got, buf.size());
    for (size_t i = 0; i < buf.size(); ++i) ASSERT_EQ(buf[i], fork_byte(20, i)) << i;
}

// ---------------------------------------------------------------------------
// Hostile and failing devices: every attempt ends, leaves nothing allocated
// and closes the device when it fails.

TEST_F(MountImage, TruncatedImages) {
    if (!load("dfvfs-hfsplus")) GTEST_SKIP();
    const std::vector<uint8_t> whole = dev.bytes;
    for (size_t len :
         {size_t{0}, size_t{1100}, size_t{1536}, size_t{8192}, size_t{186 * 4096 + 100},
          size_t{187 * 4096}, whole.size() / 2, whole.size() - 4096}) {
        SCOPED_TRACE(len);
        install_hooks(&dev);
        dev.bytes.assign(whole.begin(), whole.begin() + std::min(len, whole.size()));
        dev.reads = 0;
        const int rc = mount(dev, vol);
        if (rc != 0) {
            EXPECT_EQ(close_calls(), 1u);
            EXPECT_FALSE(messages().empty());
        } else {
            hfslib_unmount(&vol, nullptr);
        }
        EXPECT_LT(dev.reads, 10u);
        EXPECT_EQ(live_blocks(), 0);
    }
}

TEST_F(MountImage, EveryReadFailingInTurn) {
    if (!load("journal-dirty")) GTEST_SKIP();
    for (size_t ok_reads = 0;; ++ok_reads) {
        SCOPED_TRACE(ok_reads);
        install_hooks(&dev);
        dev.reads = 0;
        dev.fail_after = ok_reads;
        const int rc = mount(dev, vol);
        if (rc == 0) {
            hfslib_unmount(&vol, nullptr);
            if (dev.reads <= ok_reads) break; // nothing failed any more
        } else {
            EXPECT_EQ(close_calls(), 1u);
            EXPECT_FALSE(messages().empty());
        }
        EXPECT_EQ(live_blocks(), 0);
        ASSERT_LT(ok_reads, 20u);
    }
}

TEST_F(MountImage, EveryAllocationFailingInTurn) {
    if (!load("journal-dirty")) GTEST_SKIP();
    for (size_t budget = 0;; ++budget) {
        SCOPED_TRACE(budget);
        install_hooks(&dev);
        set_alloc_budget(budget);
        const int rc = mount(dev, vol);
        EXPECT_EQ(live_blocks() == 0 || rc == 0, true);
        if (rc == 0) {
            hfslib_unmount(&vol, nullptr);
            EXPECT_EQ(live_blocks(), 0);
            if (messages().empty()) break;
            EXPECT_TRUE(has_message("could not find root parent")) << all_messages();
        } else {
            EXPECT_EQ(close_calls(), 1u);
            EXPECT_EQ(messages().size(), 1u) << all_messages();
        }
        ASSERT_LT(budget, 200u);
    }
}

} // namespace
