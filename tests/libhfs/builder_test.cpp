// The reader against volumes written by the project's volume builder
// (mkhfs): forks of many extents in multi-level overflow trees, 1-byte
// catalog keys, deep catalogs, wrappers, journals in both byte orders, block
// sizes and key orders that the shared images do not have. Each volume is
// made once per run in the build folder from a manifest written here.
#include "report.h"
#include "test_support.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>

#include <fcntl.h>
#include <unistd.h>

namespace {

using namespace qtest;

// Builds the volume of `manifest` under `name` once; empty when the builder
// is not available.
std::string build_volume(const std::string& name, const std::string& manifest) {
    static std::map<std::string, std::string> built;
    if (auto it = built.find(name); it != built.end()) return it->second;
    const std::string dir = std::string(QUORVEL_TEST_SCRATCH) + "/builder";
    std::filesystem::create_directories(dir);
    if (std::string(QUORVEL_MKHFS).empty()) return {};
    // Written under names of this process, then renamed into place: test
    // processes may build the same volume at once.
    const std::string own = dir + "/" + name + "." + std::to_string(getpid());
    const std::string img = dir + "/" + name + ".img";
    std::ofstream(own + ".json") << manifest;
    const std::string cmd =
        std::string("'") + QUORVEL_MKHFS + "' --quiet '" + own + ".json' '" + own + ".img'";
    std::string result;
    if (std::system(cmd.c_str()) == 0) {
        std::filesystem::rename(own + ".img", img);
        result = img;
    }
    std::filesystem::remove(own + ".json");
    built[name] = result;
    return result;
}

// Content patterns of the builder's manifests.
uint8_t counter_byte(uint64_t i, uint64_t seed) {
    return static_cast<uint8_t>((i + seed) % 251);
}
uint8_t text_byte(uint64_t i, uint64_t seed) {
    const uint64_t pos = i + seed;
    char line[40];
    std::snprintf(line, sizeof line, "%08llu quorvel sample text line\n",
                  static_cast<unsigned long long>((pos / 34) % 100000000ULL));
    return static_cast<uint8_t>(line[pos % 34]);
}
uint8_t random_byte(uint64_t i, uint64_t seed) {
    uint64_t z = seed * 0x100000001B3ULL + i / 8 + 0x9E3779B97F4A7C15ULL;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    z ^= z >> 31;
    return static_cast<uint8_t>(z >> (8 * (i % 8)));
}

class BuilderVolume : public ::testing::Test {
protected:
    void open(const std::string& name, const std::string& manifest) {
        install_hooks(&dev);
        const std::string img = build_volume(name, manifest);
        if (img.empty()) GTEST_SKIP() << "volume builder failed or absent";
        dev.fd = ::open(img.c_str(), O_RDONLY);
        ASSERT_GE(dev.fd, 0);
        ASSERT_EQ(mount(dev, vol), 0) << all_messages();
        mounted = true;
    }
    void TearDown() override {
        if (mounted) hfslib_unmount(&vol, nullptr);
        EXPECT_EQ(live_blocks(), 0);
    }
    hfslib_cat_rec file(const std::string& path) {
        hfslib_cat_rec rec{};
        EXPECT_EQ(lookup_path(vol, path, rec), 0) << path << all_messages();
        EXPECT_EQ(rec.type, HFSLIB_REC_FILE) << path;
        return rec;
    }
    // Reads a whole fork of the file at `path`; `extents` receives the
    // number of extents collected.
    std::vector<uint8_t> fork(const std::string& path, uint8_t which, uint16_t* extents = nullptr) {
        hfslib_cat_rec rec = file(path);
        const hfslib_fork& f = which == HFSLIB_DATA_FORK ? rec.file.data_fork : rec.file.rsrc_fork;
        hfslib_extent* raw = nullptr;
        uint16_t count = hfslib_collect_fork_extents(&vol, rec.file.cnid, which, &raw, nullptr);
        hfslib::hook_ptr<hfslib_extent[]> list(raw, hfslib::hook_deleter{nullptr});
        if (extents) *extents = count;
        std::vector<uint8_t> data(f.logical_size);
        if (f.logical_size == 0) return data;
        uint64_t got = 0;
        EXPECT_EQ(hfslib_read_fork_range(&vol, data.data(), &got, data.size(), 0, list.get(), count,
                                         nullptr),
                  0);
        EXPECT_EQ(got, data.size());
        return data;
    }
    template <class Pattern>
    void expect_pattern(const std::vector<uint8_t>& data, uint64_t size, Pattern pattern,
                        uint64_t seed) {
        ASSERT_EQ(data.size(), size);
        for (uint64_t i = 0; i < size; ++i)
            if (data[i] != pattern(i, seed)) FAIL() << "byte " << i;
    }
    static std::vector<uint8_t> text(const std::string& s) { return {s.begin(), s.end()}; }

    device dev;
    hfslib_vol vol{};
    bool mounted = false;
};

TEST_F(BuilderVolume, ForksOfManyExtentsThroughATwoLevelOverflowTree) {
    open("fragmented", R"({
      "volume": {"name": "Fragmented", "block_size": 512, "node_size": {"extents": 512}},
      "items": [
        {"type": "file", "name": "twenty", "data": {"pattern": "random", "size": 20480, "seed": 2}, "extents": 20},
        {"type": "file", "name": "eight", "data": {"pattern": "counter", "size": 4096, "seed": 1}, "extents": 8},
        {"type": "file", "name": "nine", "data": {"pattern": "counter", "size": 4608}, "extents": 9},
        {"type": "folder", "name": "many", "children": [
          {"type": "file", "name": "400 extents", "data": {"pattern": "random", "size": 409600, "seed": 4}, "extents": 400},
          {"type": "file", "name": "300 rsrc extents", "data": "data\n", "rsrc": {"pattern": "text", "size": 153600}, "rsrc_extents": 300}
        ]}]})");
    EXPECT_GE(vol.ext_header.tree_depth, 2);
    uint16_t n = 0;
    expect_pattern(fork("twenty", HFSLIB_DATA_FORK, &n), 20480, random_byte, 2);
    EXPECT_EQ(n, 20);
    dev.log.clear();
    expect_pattern(fork("eight", HFSLIB_DATA_FORK, &n), 4096, counter_byte, 1);
    EXPECT_EQ(n, 8);
    expect_pattern(fork("nine", HFSLIB_DATA_FORK, &n), 4608, counter_byte, 0);
    EXPECT_EQ(n, 9);
    expect_pattern(fork("many/400 extents", HFSLIB_DATA_FORK, &n), 409600, random_byte, 4);
    EXPECT_EQ(n, 400);
    expect_pattern(fork("many/300 rsrc extents", HFSLIB_RSRC_FORK, &n), 153600, text_byte, 0);
    EXPECT_EQ(n, 300);
    EXPECT_EQ(fork("many/300 rsrc extents", HFSLIB_DATA_FORK, &n), text("data\n"));
    EXPECT_EQ(n, 1);
    EXPECT_TRUE(messages().empty()) << all_messages();
}

TEST_F(BuilderVolume, OneByteCatalogKeys) {
    open("keylen1", R"({
      "volume": {"name": "OneByteKeys", "catalog_key_length": 1},
      "items": [{"type": "file", "name": "short name", "data": "k\n"},
                {"type": "folder", "name": "d", "children": [{"type": "file", "name": "e", "data": "e"}]}]})");
    EXPECT_EQ(vol.cat_keylen_size, 1);
    EXPECT_EQ(vol.volume_name.length, 11);
    EXPECT_EQ(fork("short name", HFSLIB_DATA_FORK), text("k\n"));
    EXPECT_EQ(fork("d/e", HFSLIB_DATA_FORK), text("e"));
}

TEST_F(BuilderVolume, DeepCatalogEveryCnidFound) {
    open("deep", R"({
      "volume": {"name": "Deep", "node_size": {"catalog": 512}, "block_size": 512},
      "items": [{"type": "generate", "folders": 20, "files": 1500, "file_size": 100, "pattern": "counter"}]})");
    EXPECT_GE(vol.cat_header.tree_depth, 4);
    size_t files = 0, folders = 0;
    for (uint32_t cnid = 16; cnid < vol.vh.next_catalog_id; ++cnid) {
        hfslib_cat_rec rec{};
        hfslib_cat_key key{};
        ASSERT_EQ(hfslib_find_cat_record_by_cnid(&vol, cnid, &rec, &key, nullptr), 0) << cnid;
        ASSERT_EQ(rec.folder.cnid, cnid);
        if (rec.type == HFSLIB_REC_FILE) {
            ++files;
            EXPECT_EQ(rec.file.data_fork.logical_size, 100u);
        } else {
            ++folders;
        }
        // The key is the one the thread names: searching it again finds it.
        ASSERT_EQ(hfslib_find_cat_record(&vol, &key, &rec, nullptr), 0);
    }
    EXPECT_EQ(files, 1500u);
    EXPECT_EQ(folders, 20u);
}

TEST_F(BuilderVolume, HfsWrapper) {
    open("wrapper", R"({
      "volume": {"name": "Wrapped", "block_size": 4096, "wrapper": {"embed_start": 3}},
      "items": [{"type": "file", "name": "inside wrapper", "data": {"pattern": "text", "size": 20000}},
                {"type": "folder", "name": "folder", "children": [{"type": "file", "name": "f", "data": "f\n", "rsrc": "r\n"}]}]})");
    EXPECT_GT(vol.embedded_offset, 0u);
    EXPECT_EQ(vol.volume_name.length, 7);
    expect_pattern(fork("inside wrapper", HFSLIB_DATA_FORK), 20000, text_byte, 0);
    EXPECT_EQ(fork("folder/f", HFSLIB_DATA_FORK), text("f\n"));
    EXPECT_EQ(fork("folder/f", HFSLIB_RSRC_FORK), text("r\n"));
}

TEST_F(BuilderVolume, JournalsInBothByteOrders) {
    for (const char* state : {"clean", "dirty"}) {
        for (const char* order : {"big", "little"}) {
            SCOPED_TRACE(std::string(state) + " " + order);
            const std::string name = std::string("journal-") + state + "-" + order;
            open(name,
                 std::string(R"({"volume": {"name": "J", "journal": {"size": "512K", "state": ")") +
                     state + R"(", "byte_order": ")" + order +
                     R"("}}, "items": [{"type": "file", "name": "file", "data": "journaled\n"}]})");
            EXPECT_EQ(vol.journaled, 1);
            EXPECT_EQ(vol.jinfo.journal_size, 512u * 1024);
            EXPECT_EQ(hfslib_journal_clean(&vol), std::string(state) == "clean" ? 1 : 0);
            EXPECT_EQ(fork("file", HFSLIB_DATA_FORK), text("journaled\n"));
            hfslib_unmount(&vol, nullptr);
            mounted = false;
            ::close(dev.fd);
            dev.fd = -1;
        }
    }
}

TEST_F(BuilderVolume, CaseSensitiveHfsx) {
    open("hfsx-binary", R"({
      "volume": {"format": "hfsx", "key_compare": "binary", "name": "CaseSensitive"},
      "items": [{"type": "file", "name": "README", "data": "upper\n"},
                {"type": "file", "name": "readme", "data": "lower\n"},
                {"type": "file", "name": "ReadMe", "data": "mixed\n"},
                {"type": "folder", "name": "Dir", "children": [{"type": "file", "name": "x", "data": "1"}]},
                {"type": "folder", "name": "dir", "children": [{"type": "file", "name": "x", "data": "2"}]}]})");
    EXPECT_EQ(vol.keycmp, &hfslib_cmp_cat_keys_ordinal);
    EXPECT_EQ(fork("README", HFSLIB_DATA_FORK), text("upper\n"));
    EXPECT_EQ(fork("readme", HFSLIB_DATA_FORK), text("lower\n"));
    EXPECT_EQ(fork("ReadMe", HFSLIB_DATA_FORK), text("mixed\n"));
    EXPECT_EQ(fork("Dir/x", HFSLIB_DATA_FORK), text("1"));
    EXPECT_EQ(fork("dir/x", HFSLIB_DATA_FORK), text("2"));
    hfslib_cat_rec rec{};
    EXPECT_EQ(lookup_path(vol, "REAdme", rec), -1);
}

TEST_F(BuilderVolume, CaseFoldingHfsx) {
    open("hfsx-folding", R"({
      "volume": {"format": "hfsx", "key_compare": "folding", "name": "Folding"},
      "items": [{"type": "file", "name": "Mixed Case", "data": "m\n"}]})");
    EXPECT_EQ(vol.keycmp, &hfslib_cmp_cat_keys_folded);
    EXPECT_EQ(fork("mIXED cASE", HFSLIB_DATA_FORK), text("m\n"));
}

TEST_F(BuilderVolume, BigAndSmallBlocks) {
    open("blocks-65536", R"({
      "volume": {"block_size": 65536, "name": "Big Blocks", "node_size": {"catalog": 8192, "extents": 4096, "attributes": 8192}},
      "items": [{"type": "file", "name": "several blocks", "data": {"pattern": "counter", "size": 300000}, "extents": 3},
                {"type": "folder", "name": "sub", "children": [{"type": "file", "name": "r", "rsrc": {"pattern": "text", "size": 70000}}]}]})");
    uint16_t n = 0;
    expect_pattern(fork("several blocks", HFSLIB_DATA_FORK, &n), 300000, counter_byte, 0);
    EXPECT_EQ(n, 3);
    expect_pattern(fork("sub/r", HFSLIB_RSRC_FORK), 70000, text_byte, 0);
    EXPECT_EQ(fork("sub/r", HFSLIB_DATA_FORK).size(), 0u);
    hfslib_unmount(&vol, nullptr);
    mounted = false;
    ::close(dev.fd);
    dev.fd = -1;

    open("blocks-512", R"({
      "volume": {"block_size": 512, "name": "Small Blocks", "node_size": {"catalog": 512, "extents": 512, "attributes": 512}},
      "items": [{"type": "file", "name": "multi-block", "data": {"pattern": "random", "size": 10000, "seed": 5}, "extents": 10}]})");
    expect_pattern(fork("multi-block", HFSLIB_DATA_FORK, &n), 10000, random_byte, 5);
    EXPECT_EQ(n, 10);
}

TEST_F(BuilderVolume, NoAttributesFile) {
    open("no-attributes", R"({
      "volume": {"name": "NoAttributes", "attributes_file": false},
      "items": [{"type": "file", "name": "file", "data": "no xattrs here\n"}]})");
    EXPECT_EQ(vol.attr_header.tree_depth, 0);
    EXPECT_EQ(vol.attr_header.node_size, 0);
    EXPECT_EQ(fork("file", HFSLIB_DATA_FORK), text("no xattrs here\n"));
    EXPECT_TRUE(messages().empty()) << all_messages();
}

} // namespace
