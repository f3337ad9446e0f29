// Random damage to the B-tree nodes of real and crafted volumes: whatever
// the damage, mounting, searching and reading end (in success or an error)
// after a bounded number of reads and leave nothing allocated. Run under the
// sanitizers this also shows that no damaged length is read past.
#include "libhfs/report.h"
#include "tests/support/crafted.h"
#include "tests/support/volume.h"

#include <random>

namespace {

using namespace qtest;

// Exercises a mounted volume: lookups by CNID of every CNID up to `max_cnid`
// with their forks collected and read. Returns the reads it took.
size_t exercise(hfslib_vol& vol, device& dev, uint32_t max_cnid) {
    const size_t before = dev.reads;
    for (uint32_t cnid = 1; cnid <= max_cnid; ++cnid) {
        hfslib_cat_rec rec{};
        hfslib_cat_key key{};
        if (hfslib_find_cat_record_by_cnid(&vol, cnid, &rec, &key, nullptr) != 0) continue;
        if (rec.type != HFSLIB_REC_FILE) continue;
        hfslib_extent* raw = nullptr;
        uint16_t n = hfslib_collect_fork_extents(&vol, cnid, HFSLIB_DATA_FORK, &raw, nullptr);
        hfslib::hook_ptr<hfslib_extent[]> list(raw, hfslib::hook_deleter{nullptr});
        if (n == 0) continue;
        std::vector<uint8_t> buf(4096);
        uint64_t got = 0;
        hfslib_read_fork_range(&vol, buf.data(), &got, buf.size(), 0, list.get(), n, nullptr);
    }
    return dev.reads - before;
}

// Damages `count` random bytes in [from, to) of `bytes`.
void damage(std::vector<uint8_t>& bytes, size_t from, size_t to, int count, std::mt19937& rng) {
    std::uniform_int_distribution<size_t> where(from, to - 1);
    std::uniform_int_distribution<int> what(0, 255);
    for (int i = 0; i < count; ++i) bytes[where(rng)] = static_cast<uint8_t>(what(rng));
}

TEST(RandomDamage, RealCatalogNodes) {
    device dev;
    install_hooks(&dev);
    QTEST_LOAD_OR_SKIP("ramdisk-symlinks", dev);
    const std::vector<uint8_t> original = dev.bytes;
    // The catalog's first extent: blocks 10 to 17 (nodes 0 to 7).
    std::mt19937 rng(4242);
    for (int round = 0; round < 150; ++round) {
        SCOPED_TRACE(round);
        dev.bytes = original;
        damage(dev.bytes, 10 * 4096, 18 * 4096, 1 + round % 40, rng);
        install_hooks(&dev);
        dev.reads = 0;
        hfslib_vol vol{};
        if (mount(dev, vol) == 0) {
            EXPECT_LT(exercise(vol, dev, 70), 70u * 40);
            hfslib_unmount(&vol, nullptr);
        }
        ASSERT_EQ(live_blocks(), 0);
    }
}

TEST(RandomDamage, CraftedOverflowAndCatalogNodes) {
    std::vector<crafted_file> files;
    for (uint32_t i = 0; i < 6; ++i) {
        crafted_file f;
        f.cnid = 20 + i;
        f.name = u"file" + std::u16string(1, char16_t(u'a' + i));
        f.extent_blocks.assign(30 + 20 * i, 1);
        files.push_back(f);
    }
    crafted_options o;
    o.ext_per_node = 3;
    o.cat_per_node = 3;
    const crafted_volume v = craft_volume(files, o);
    std::mt19937 rng(77);
    device dev;
    for (int round = 0; round < 150; ++round) {
        SCOPED_TRACE(round);
        dev.bytes = v.image;
        const bool in_extents = round % 2 == 0;
        const size_t from = in_extents ? v.extents_offset : v.catalog_offset;
        const size_t len = in_extents ? v.extents.bytes.size() : v.catalog.bytes.size();
        damage(dev.bytes, from, from + len, 1 + round % 25, rng);
        install_hooks(&dev);
        dev.reads = 0;
        hfslib_vol vol{};
        if (mount(dev, vol) == 0) {
            EXPECT_LT(exercise(vol, dev, 30), 30u * 400);
            hfslib_unmount(&vol, nullptr);
        }
        ASSERT_EQ(live_blocks(), 0);
    }
}

} // namespace
