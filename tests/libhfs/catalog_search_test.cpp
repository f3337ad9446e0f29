// Catalog search and fork reading against the real volumes: every file the
// independent readers list is found by path and by CNID, and its data and
// resource forks read back with the same SHA-256.
#include "tests/support/volume.h"

#include "libhfs/report.h"
#include "tests/support/crafted.h"

#include <set>

namespace {

using namespace qtest;

const char* const all_images[] = {"dfvfs-hfsplus", "hfsx-casesensitive-journaled",
                                  "xattrs-5651",   "ramdisk-symlinks",
                                  "nps-hfsjtest1", "journal-dirty",
                                  "newfs-xattrs",  "empty-no-attributes"};

class RealVolume : public ::testing::TestWithParam<const char*> {
protected:
    void SetUp() override {
        install_hooks(&dev);
        QTEST_LOAD_OR_SKIP(GetParam(), dev);
        ASSERT_EQ(mount(dev, vol), 0) << all_messages();
    }
    void TearDown() override {
        hfslib_unmount(&vol, nullptr);
        EXPECT_EQ(live_blocks(), 0);
    }

    // Reads a whole fork of `cnid` and returns its SHA-256.
    std::string fork_sha(uint32_t cnid, uint8_t fork_type, uint64_t size) {
        hfslib_extent* list = nullptr;
        uint16_t count = hfslib_collect_fork_extents(&vol, cnid, fork_type, &list, nullptr);
        hfslib::hook_ptr<hfslib_extent[]> guard(list, hfslib::hook_deleter{nullptr});
        EXPECT_NE(list, nullptr);
        if (size == 0) return sha256_hex(nullptr, 0);
        EXPECT_GT(count, 0);
        std::vector<uint8_t> data(size);
        uint64_t got = 0;
        EXPECT_EQ(hfslib_read_fork_range(&vol, data.data(), &got, size, 0, list, count, nullptr),
                  0);
        EXPECT_EQ(got, size);
        return sha256_hex(data.data(), data.size());
    }

    device dev;
    hfslib_vol vol{};
};

std::string last_component(const std::string& path) {
    auto slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string ascii(const hfslib_uname& name) {
    std::string s;
    for (uint16_t i = 0; i < name.length; ++i)
        s += name.units[i] == u'/' ? ':' : static_cast<char>(name.units[i]);
    return s;
}

TEST_P(RealVolume, EveryListedItemIsFoundByCnidUnderItsName) {
    std::set<std::string> inodes;
    for (const truth& t : groundtruth(GetParam())) {
        if (t.reader != "tsk" || t.kind != "data" || !inodes.insert(t.inode).second) continue;
        SCOPED_TRACE(t.path);
        hfslib_cat_rec rec{};
        hfslib_cat_key key{};
        uint32_t cnid = static_cast<uint32_t>(std::stoul(t.inode));
        ASSERT_EQ(hfslib_find_cat_record_by_cnid(&vol, cnid, &rec, &key, nullptr), 0);
        EXPECT_EQ(rec.type, HFSLIB_REC_FILE);
        EXPECT_EQ(rec.file.cnid, cnid);
        EXPECT_EQ(ascii(key.name), last_component(t.path));
    }
}

// Walks the leaf chain of each tree and parses every node on it: the real
// volumes' nodes all pass the node parser's consistency checks (even record
// offsets included).
TEST_P(RealVolume, EveryLeafOfEveryTreeParses) {
    struct tree {
        uint8_t id;
        uint32_t cnid;
        const hfslib_btree_header* hr;
    } trees[] = {{HFSLIB_TREE_CATALOG, 4, &vol.cat_header},
                 {HFSLIB_TREE_EXTENTS, 3, &vol.ext_header},
                 {HFSLIB_TREE_ATTRIBUTES, 8, &vol.attr_header}};
    for (const tree& t : trees) {
        if (t.hr->tree_depth == 0) continue;
        hfslib_extent* list = nullptr;
        uint16_t count =
            hfslib_collect_fork_extents(&vol, t.cnid, HFSLIB_DATA_FORK, &list, nullptr);
        hfslib::hook_ptr<hfslib_extent[]> guard(list, hfslib::hook_deleter{nullptr});
        ASSERT_GT(count, 0);
        std::vector<uint8_t> buf(t.hr->node_size);
        uint32_t leaves = 0;
        uint64_t records = 0;
        for (uint32_t n = t.hr->first_leaf; n != 0 && leaves <= t.hr->total_nodes; ++leaves) {
            uint64_t got = 0;
            ASSERT_EQ(hfslib_read_fork_range(&vol, buf.data(), &got, buf.size(),
                                             uint64_t{n} * buf.size(), list, count, nullptr),
                      0);
            hfslib::node_records node(nullptr);
            ASSERT_GT(node.parse(buf.data(), t.id, &vol), 0u)
                << "tree " << int{t.id} << " node " << n << all_messages();
            EXPECT_EQ(node.desc.kind, HFSLIB_NODE_LEAF);
            records += node.count();
            n = node.desc.flink;
        }
        EXPECT_EQ(records, t.hr->leaf_recs) << "tree " << int{t.id};
    }
}

INSTANTIATE_TEST_SUITE_P(Images, RealVolume, ::testing::ValuesIn(all_images));

TEST(RealVolumeFile, ReadsThroughThePreadHook) {
    device dev;
    install_hooks(&dev);
    if (!open_image_file("ramdisk-symlinks", dev)) GTEST_SKIP() << "shared images absent";
    hfslib_vol vol{};
    ASSERT_EQ(mount(dev, vol), 0) << all_messages();
    ASSERT_EQ(vol.cat_header.tree_depth, 2);
    hfslib_cat_rec rec{};
    ASSERT_EQ(lookup_path(vol, "usr/lib/dyld", rec), 0);
    EXPECT_EQ(rec.file.cnid, 46u);
    // The catalog lies in two extents; its last node is read from the second.
    hfslib_extent* list = nullptr;
    ASSERT_EQ(hfslib_collect_fork_extents(&vol, 4, HFSLIB_DATA_FORK, &list, nullptr), 2);
    hfslib::hook_ptr<hfslib_extent[]> guard(list, hfslib::hook_deleter{nullptr});
    hfslib_unmount(&vol, nullptr);
}

// ---------------------------------------------------------------------------
// Searches in crafted catalogs

std::u16string u16(const std::string& s) {
    return std::u16string(s.begin(), s.end());
}

// A folder "dir" (CNID 16) and `n` files named file000... (CNIDs from 100),
// every other one inside "dir".
std::vector<crafted_file> files_and_folder(size_t n) {
    std::vector<crafted_file> items;
    crafted_file dir;
    dir.cnid = 16;
    dir.name = u"dir";
    dir.folder = true;
    items.push_back(dir);
    for (size_t i = 0; i < n; ++i) {
        crafted_file f;
        char name[32];
        std::snprintf(name, sizeof name, "file%03zu", i);
        f.name = u16(name);
        f.cnid = static_cast<uint32_t>(100 + i);
        f.parent = i % 2 ? 16 : 2;
        f.extent_blocks = {1};
        items.push_back(f);
    }
    return items;
}

class CraftedCatalog : public ::testing::Test {
protected:
    void build(size_t files, size_t per_node, uint16_t node_size) {
        crafted_options o;
        o.cat_per_node = per_node;
        o.node_size = node_size;
        items = files_and_folder(files);
        v = craft_volume(items, o);
    }
    void mount_it() {
        install_hooks(&dev);
        dev.bytes = v.image;
        ASSERT_EQ(mount(dev, vol), 0) << all_messages();
    }
    void TearDown() override {
        hfslib_unmount(&vol, nullptr);
        EXPECT_EQ(live_blocks(), 0);
    }
    int find(uint32_t parent, const std::u16string& name) {
        hfslib_cat_key key = cat_key(parent, name);
        return hfslib_find_cat_record(&vol, &key, &rec, nullptr);
    }
    // Points child `i` of index node `node` at `target`.
    void point(uint32_t node, uint16_t i, uint32_t target) {
        const uint64_t at = v.cat_node(node);
        const uint16_t off = record_offset(v.image, at, v.catalog.node_size, i);
        const uint16_t key_len = get16(v.image, at + off);
        put32(v.image, at + off + 2 + key_len, target);
    }
    uint32_t child_of(uint32_t node, uint16_t i) {
        const uint64_t at = v.cat_node(node);
        const uint16_t off = record_offset(v.image, at, v.catalog.node_size, i);
        return get32(v.image, at + off + 2 + get16(v.image, at + off));
    }

    std::vector<crafted_file> items;
    crafted_volume v;
    device dev;
    hfslib_vol vol{};
    hfslib_cat_rec rec{};
};

TEST_F(CraftedCatalog, SingleLeafCatalog) {
    build(3, 100, 4096);
    ASSERT_EQ(v.catalog.depth, 1);
    mount_it();
    EXPECT_EQ(vol.volume_name.length, 7);
    size_t before = dev.reads;
    ASSERT_EQ(find(2, u"file000"), 0);
    EXPECT_EQ(dev.reads - before, 1u) << "no index step";
    EXPECT_EQ(rec.type, HFSLIB_REC_FILE);
    EXPECT_EQ(rec.file.cnid, 100u);
    ASSERT_EQ(find(16, u"file001"), 0);
    EXPECT_EQ(rec.file.cnid, 101u);
    EXPECT_EQ(find(2, u"FILE002"), 0) << "case-folding volume";
    EXPECT_EQ(rec.file.cnid, 102u);
}

TEST_F(CraftedCatalog, MissingNamesGiveTheNearestLowerRecord) {
    build(3, 100, 4096);
    mount_it();
    EXPECT_EQ(find(2, u"file000a"), -1);
    EXPECT_EQ(rec.type, HFSLIB_REC_FILE);
    EXPECT_EQ(rec.file.cnid, 100u);
    // Below every file name in "dir" lies the folder's own thread record,
    // keyed (16, "").
    EXPECT_EQ(find(16, u"a"), -1);
    EXPECT_EQ(rec.type, HFSLIB_REC_FOLDER_THREAD);
    EXPECT_EQ(rec.thread.parent_cnid, 2u);
}

TEST_F(CraftedCatalog, ThreadKeysLeadToTheirRecords) {
    build(10, 3, 512);
    mount_it();
    ASSERT_EQ(find(16, u""), 0);
    EXPECT_EQ(rec.type, HFSLIB_REC_FOLDER_THREAD);
    EXPECT_EQ(rec.thread.parent_cnid, 2u);
    hfslib_thread_rec thread = rec.thread;
    hfslib_cat_key key{};
    hfslib_make_cat_key(thread.parent_cnid, thread.name.length, thread.name.units, &key);
    ASSERT_EQ(hfslib_find_cat_record(&vol, &key, &rec, nullptr), 0);
    EXPECT_EQ(rec.type, HFSLIB_REC_FOLDER);
    EXPECT_EQ(rec.folder.cnid, 16u);
}

TEST_F(CraftedCatalog, ByCnidForTheRootAndForMissingCnids) {
    build(10, 3, 512);
    mount_it();
    hfslib_cat_key key{};
    ASSERT_EQ(hfslib_find_cat_record_by_cnid(&vol, 2, &rec, &key, nullptr), 0);
    EXPECT_EQ(rec.type, HFSLIB_REC_FOLDER);
    EXPECT_EQ(rec.folder.cnid, 2u);
    EXPECT_EQ(key.parent_cnid, 1u);
    EXPECT_EQ(key.key_len, 6 + 2 * 7);
    ASSERT_EQ(key.name.length, 7);
    EXPECT_EQ(std::u16string(key.name.units, key.name.units + 7), u"Crafted");
    clear_messages();
    EXPECT_EQ(hfslib_find_cat_record_by_cnid(&vol, 999, &rec, &key, nullptr), 1);
    EXPECT_TRUE(has_message("could not find parent thread for cnid 999")) << all_messages();
    EXPECT_EQ(hfslib_find_cat_record_by_cnid(&vol, 0, &rec, &key, nullptr), 1);
    EXPECT_EQ(hfslib_find_cat_record_by_cnid(&vol, 2, nullptr, &key, nullptr), 1);
    EXPECT_EQ(hfslib_find_cat_record_by_cnid(&vol, 2, &rec, nullptr, nullptr), 0);
}

TEST_F(CraftedCatalog, DeepCatalogFindsEveryItemReadingOneNodePerLevel) {
    build(150, 3, 512);
    ASSERT_GE(v.catalog.depth, 5);
    mount_it();
    for (const crafted_file& f : items) {
        SCOPED_TRACE(f.cnid);
        size_t before = dev.reads;
        ASSERT_EQ(find(f.parent, f.name), 0);
        EXPECT_EQ(dev.reads - before, v.catalog.depth);
        EXPECT_EQ(rec.folder.cnid, f.cnid);
        hfslib_cat_key key{};
        ASSERT_EQ(hfslib_find_cat_record_by_cnid(&vol, f.cnid, &rec, &key, nullptr), 0);
        EXPECT_EQ(key.parent_cnid, f.parent);
    }
    EXPECT_TRUE(messages().empty()) << all_messages();
}

// Hostile links: every search ends with 1 and a message after at most one
// read per level (plus the one that found the fault).
class HostileCatalog : public CraftedCatalog {
protected:
    void SetUp() override {
        build(60, 3, 512);
        ASSERT_GE(v.catalog.depth, 4);
        root = v.catalog.root;
    }
    void expect_failure(const std::string& message, uint32_t parent = 2,
                        const std::u16string& name = u"file000") {
        mount_it();
        clear_messages();
        size_t before = dev.reads;
        EXPECT_EQ(find(parent, name), 1);
        EXPECT_TRUE(has_message(message)) << all_messages();
        EXPECT_LE(dev.reads - before, size_t{v.catalog.depth} + 1);
    }
    uint32_t root = 0;
};

TEST_F(HostileCatalog, ChildPointingAtItsOwnNode) {
    point(root, 0, root);
    expect_failure("loop in catalog tree at node #" + std::to_string(root));
}

TEST_F(HostileCatalog, ChildPointingAtTheHeaderNode) {
    point(root, 0, 0);
    expect_failure("unexpected kind 1 of catalog node #0");
}

TEST_F(HostileCatalog, ChildPointingAtAMapNode) {
    const uint32_t leaf = v.catalog.first_leaf;
    v.image[v.cat_node(leaf) + 8] = static_cast<uint8_t>(HFSLIB_NODE_MAP);
    expect_failure("unexpected kind 2 of catalog node #" + std::to_string(leaf), 1, u"Crafted");
}

TEST_F(HostileCatalog, CycleThroughALowerIndexNode) {
    const uint32_t mid = child_of(root, 0);
    const uint32_t low = child_of(mid, 0);
    point(low, 0, mid);
    expect_failure("loop in catalog tree at node #" + std::to_string(mid), 1, u"Crafted");
}

TEST_F(HostileCatalog, MoreLevelsThanTheHeaderDepth) {
    put16(v.image, v.cat_node(0) + 14, 2);
    expect_failure("catalog tree deeper than 2 levels");
}

TEST_F(HostileCatalog, ChildBeyondTheCatalogIsAFailureNotAResult) {
    // The index levels above have matched or passed keys; the search must
    // still end in failure, not in the result those levels suggested.
    point(root, 0, 100000);
    expect_failure("could not read catalog node #100000", 1, u"Crafted");
    point(root, 0, 0xFFFFFFFFu);
    hfslib_unmount(&vol, nullptr);
    expect_failure("could not read catalog node #-1", 1, u"Crafted");
}

// The index leads to a leaf whose first key lies above the one searched:
// not found, as for a key below every key.
TEST_F(HostileCatalog, LeafWhoseFirstKeyLiesAboveTheIndexKey) {
    const uint32_t leaf = v.catalog.first_leaf;
    const uint64_t at = v.cat_node(leaf);
    put32(v.image, at + 14 + 2, 0x7FFFFFFF); // first record's parent CNID
    mount_it();
    clear_messages();
    EXPECT_EQ(find(1, u"Crafted"), -1);
    EXPECT_TRUE(has_message("all records greater than key")) << all_messages();
}

TEST_F(HostileCatalog, CorruptLeafIsReportedByNumber) {
    const uint32_t leaf = v.catalog.first_leaf;
    put16(v.image, v.cat_node(leaf) + 512 - 2, 16);
    expect_failure("could not parse catalog node #" + std::to_string(leaf), 1, u"Crafted");
    EXPECT_TRUE(has_message("could not read node record offsets"));
}

TEST(RealVolumePatched, CatalogRootLinksThatLoop) {
    for (uint32_t target : {3u, 0u}) {
        device dev;
        install_hooks(&dev);
        QTEST_LOAD_OR_SKIP("ramdisk-symlinks", dev);
        // Catalog: node size 4096 at block 10, root node 3 (an index node).
        const size_t root_at = 10 * 4096 + 3 * 4096;
        ASSERT_EQ(dev.bytes[root_at + 8], 0);
        const uint16_t off = get16(dev.bytes, root_at + 4096 - 2);
        const uint16_t key_len = get16(dev.bytes, root_at + off);
        put32(dev.bytes, root_at + off + 2 + key_len, target);
        hfslib_vol vol{};
        ASSERT_EQ(mount(dev, vol), 0);
        EXPECT_TRUE(has_message("could not find root parent")) << all_messages();
        EXPECT_TRUE(has_message(target == 3 ? "loop in catalog tree at node #3"
                                            : "unexpected kind 1 of catalog node #0"))
            << all_messages();
        EXPECT_LT(dev.reads, 10u);
        hfslib_unmount(&vol, nullptr);
        EXPECT_EQ(live_blocks(), 0);
    }
}

} // namespace
