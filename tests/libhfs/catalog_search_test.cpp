// Catalog search and fork reading against the real volumes: every file the
// independent readers list is found by path and by CNID, and its data and
// resource forks read back with the same SHA-256.
#include "test_support.h"

#include "report.h"

#include <set>

namespace {

using namespace qtest;

const char* const all_images[] = {"dfvfs-hfsplus",    "hfsx-casesensitive-journaled",
                                  "xattrs-5651",      "ramdisk-symlinks",
                                  "nps-hfsjtest1",    "journal-dirty",
                                  "newfs-xattrs",     "empty-no-attributes"};

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
        EXPECT_EQ(hfslib_read_fork_range(&vol, data.data(), &got, size, 0, list, count, nullptr), 0);
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

TEST_P(RealVolume, EveryListedForkReadsBackWithItsDigest) {
    size_t checked = 0;
    std::set<std::string> seen;
    for (const truth& t : groundtruth(GetParam())) {
        if (t.reader != "tsk" || (t.kind != "data" && t.kind != "RSRC:RSRC")) continue;
        if (!seen.insert(t.kind + t.path).second) continue;
        SCOPED_TRACE(t.path + " " + t.kind);
        hfslib_cat_rec rec{};
        ASSERT_EQ(lookup_path(vol, t.path, rec), 0) << all_messages();
        ASSERT_EQ(rec.type, HFSLIB_REC_FILE);
        EXPECT_EQ(std::to_string(rec.file.cnid), t.inode.substr(0, t.inode.find('-')));
        const uint8_t fork = t.kind == "data" ? HFSLIB_DATA_FORK : HFSLIB_RSRC_FORK;
        const hfslib_fork& f = fork == HFSLIB_DATA_FORK ? rec.file.data_fork : rec.file.rsrc_fork;
        EXPECT_EQ(f.logical_size, t.size);
        EXPECT_EQ(fork_sha(rec.file.cnid, fork, f.logical_size), t.sha256);
        ++checked;
    }
    if (groundtruth(GetParam()).empty()) GTEST_SKIP() << "no files listed";
    EXPECT_GT(checked, 0u);
    EXPECT_TRUE(messages().empty()) << all_messages();
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
        uint16_t count = hfslib_collect_fork_extents(&vol, t.cnid, HFSLIB_DATA_FORK, &list, nullptr);
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
            ASSERT_GT(node.parse(buf.data(), t.id, &vol), 0u) << "tree " << int{t.id} << " node "
                                                              << n << all_messages();
            EXPECT_EQ(node.desc.kind, HFSLIB_NODE_LEAF);
            records += node.count();
            n = node.desc.flink;
        }
        EXPECT_EQ(records, t.hr->leaf_recs) << "tree " << int{t.id};
    }
}

INSTANTIATE_TEST_SUITE_P(Images, RealVolume, ::testing::ValuesIn(all_images));

} // namespace
