// The attributes B-tree: keys, record parsing, lookups, listings and the
// extents of fork-stored attributes, on hand-made trees, on real volumes
// (checked against The Sleuth Kit and 7-Zip) and on builder volumes.
#include "libhfs/libhfs.h"
#include "tests/support/builder.h"
#include "tests/support/volume.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace {

using qtest::put16;
using qtest::put32;
using qtest::put64;
using bytes = std::vector<uint8_t>;

// ---------------------------------------------------------------------------
// Hand-made attribute records and trees

bytes key_bytes(uint32_t cnid, const std::string& name, uint32_t start) {
    bytes b(14 + 2 * name.size());
    put16(b, 0, static_cast<uint16_t>(12 + 2 * name.size()));
    put32(b, 4, cnid);
    put32(b, 8, start);
    put16(b, 12, static_cast<uint16_t>(name.size()));
    for (size_t i = 0; i < name.size(); ++i) put16(b, 14 + 2 * i, static_cast<uint8_t>(name[i]));
    return b;
}

void append(bytes& b, const bytes& more) {
    b.insert(b.end(), more.begin(), more.end());
}

bytes inline_record(uint32_t cnid, const std::string& name, const std::string& value) {
    bytes b = key_bytes(cnid, name, 0);
    bytes body(16 + value.size());
    put32(body, 0, HFSLIB_ATTR_INLINE);
    put32(body, 12, static_cast<uint32_t>(value.size()));
    std::memcpy(body.data() + 16, value.data(), value.size());
    append(b, body);
    if (b.size() & 1) b.push_back(0);
    return b;
}

using extent_list = std::vector<std::pair<uint32_t, uint32_t>>;

bytes extents_bytes(const extent_list& ext) {
    bytes b(64);
    for (size_t i = 0; i < ext.size() && i < 8; ++i) {
        put32(b, 8 * i, ext[i].first);
        put32(b, 8 * i + 4, ext[i].second);
    }
    return b;
}

bytes fork_record(uint32_t cnid, const std::string& name, uint64_t size, uint32_t total,
                  const extent_list& ext) {
    bytes b = key_bytes(cnid, name, 0);
    bytes body(24);
    put32(body, 0, HFSLIB_ATTR_FORK);
    put64(body, 8, size);
    put32(body, 20, total);
    append(b, body);
    append(b, extents_bytes(ext));
    return b;
}

bytes continuation_record(uint32_t cnid, const std::string& name, uint32_t start,
                          const extent_list& ext) {
    bytes b = key_bytes(cnid, name, start);
    bytes body(8);
    put32(body, 0, HFSLIB_ATTR_EXTENTS);
    append(b, body);
    append(b, extents_bytes(ext));
    return b;
}

bytes index_record(uint32_t cnid, const std::string& name, uint32_t child) {
    bytes b = key_bytes(cnid, name, 0);
    bytes c(4);
    put32(c, 0, child);
    append(b, c);
    return b;
}

constexpr uint16_t node_size = 512;

// An attributes tree held in memory: node i at byte i x 512, one extent.
struct tree {
    qtest::device dev;
    hfslib_vol vol{};
    std::vector<bytes> nodes;

    tree() {
        qtest::install_hooks(&dev);
        nodes.assign(1, bytes(node_size, 0)); // node 0: the header's place
    }
    ~tree() { qtest::install_hooks(nullptr); }

    void set(uint32_t number, int8_t kind, uint32_t flink, const std::vector<bytes>& records) {
        if (nodes.size() <= number) nodes.resize(number + 1, bytes(node_size, 0));
        nodes[number] =
            qtest::make_node(node_size, kind, kind == HFSLIB_NODE_LEAF ? 1 : 2, flink, 0, records);
    }

    hfslib_vol* open(uint16_t depth, uint32_t root) {
        dev.bytes.clear();
        for (const auto& n : nodes) append(dev.bytes, n);
        vol = hfslib_vol{};
        vol.vh.block_size = node_size;
        const auto count = static_cast<uint32_t>(nodes.size());
        vol.vh.attributes_file.logical_size = uint64_t{count} * node_size;
        vol.vh.attributes_file.total_blocks = count;
        vol.vh.attributes_file.extents[0] = {0, count};
        vol.attr_header.tree_depth = depth;
        vol.attr_header.root_node = root;
        vol.attr_header.leaf_recs = 1;
        vol.attr_header.node_size = node_size;
        vol.attr_header.max_key_len = 266;
        vol.attr_header.total_nodes = count;
        vol.device = &dev;
        return &vol;
    }
};

hfslib_attr_key make_key(uint32_t cnid, const std::string& name, uint32_t start = 0) {
    hfslib_attr_key key{};
    auto u = qtest::units(name);
    hfslib_build_attr_key(cnid, start, static_cast<uint16_t>(u.size()), u.data(), &key);
    return key;
}

struct key_list {
    hfslib_attr_key* keys = nullptr;
    uint32_t count = 0;
    ~key_list() { hfslib_hook_free(keys, nullptr); }
    std::vector<std::string> names() const {
        std::vector<std::string> out;
        for (uint32_t i = 0; i < count; ++i) out.push_back(qtest::to_utf8(keys[i].name));
        return out;
    }
};

struct inline_copy {
    uint8_t* data = nullptr;
    ~inline_copy() { hfslib_hook_free(data, nullptr); }
};

// ---------------------------------------------------------------------------
// Keys and records

TEST(AttrKeys, BuildCutsLongNamesAndRefusesBadArguments) {
    std::vector<uint16_t> name(300, u'x');
    hfslib_attr_key key{};
    EXPECT_EQ(hfslib_build_attr_key(7, 0, 300, name.data(), &key), 12 + 2 * 255);
    EXPECT_EQ(key.name.length, 255);
    EXPECT_EQ(key.key_len, 12 + 2 * 255);

    hfslib_attr_key untouched{};
    untouched.file_cnid = 99;
    EXPECT_EQ(hfslib_build_attr_key(0, 0, 1, name.data(), &untouched), 0);
    EXPECT_EQ(hfslib_build_attr_key(7, 0, 1, nullptr, &untouched), 0);
    EXPECT_EQ(untouched.file_cnid, 99u);
    EXPECT_EQ(hfslib_build_attr_key(7, 0, 0, nullptr, &untouched), 12);
    EXPECT_EQ(hfslib_build_attr_key(7, 0, 1, name.data(), nullptr), 0);
}

TEST(AttrKeys, OrderIsCnidThenUnitsThenLengthThenStartBlock) {
    const auto ab = make_key(20, "ab"), abc = make_key(20, "abc"), b = make_key(20, "b");
    EXPECT_LT(hfslib_cmp_attr_keys(&ab, &abc), 0); // the shorter of equal prefixes first
    EXPECT_GT(hfslib_cmp_attr_keys(&abc, &ab), 0);
    EXPECT_LT(hfslib_cmp_attr_keys(&abc, &b), 0);
    const auto other = make_key(19, "zzz");
    EXPECT_GT(hfslib_cmp_attr_keys(&ab, &other), 0);
    const auto high = make_key(0x80000001u, "a"), low = make_key(1, "a");
    EXPECT_GT(hfslib_cmp_attr_keys(&high, &low), 0); // CNIDs compare unsigned
    const auto cont = make_key(20, "ab", 8), far = make_key(20, "ab", 0x90000000u);
    EXPECT_LT(hfslib_cmp_attr_keys(&ab, &cont), 0);
    EXPECT_LT(hfslib_cmp_attr_keys(&cont, &far), 0);
    const auto z = make_key(20, "z");
    hfslib_attr_key wide = make_key(20, "a");
    wide.name.units[0] = 0x8000; // units compare unsigned
    EXPECT_GT(hfslib_cmp_attr_keys(&wide, &z), 0);
    EXPECT_EQ(hfslib_cmp_attr_keys(&ab, &ab), 0);
}

TEST(AttrRecords, ParsesEachKindAndRefusesMalformedOnes) {
    hfslib_vol vol{};
    vol.attr_header.max_key_len = 266;

    bytes rec = inline_record(21, "name", "value!");
    hfslib_attr_rec out{};
    hfslib_attr_key key{};
    const uint8_t* data = nullptr;
    ASSERT_GT(
        hfslib_parse_attr_record(rec.data(), rec.size(), HFSLIB_NODE_LEAF, &out, &key, &data, &vol),
        0u);
    EXPECT_EQ(out.type, HFSLIB_ATTR_INLINE);
    EXPECT_EQ(out.inline_data.size, 6u);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(data), 6), "value!");
    EXPECT_EQ(key.file_cnid, 21u);
    EXPECT_EQ(qtest::to_utf8(key.name), "name");

    // Inline data running past the record.
    bytes cut(rec.begin(), rec.end() - 2);
    EXPECT_EQ(
        hfslib_parse_attr_record(cut.data(), cut.size(), HFSLIB_NODE_LEAF, &out, &key, &data, &vol),
        0u);
    EXPECT_EQ(data, nullptr);

    bytes fork = fork_record(21, "f", 5000, 2, {{10, 2}});
    ASSERT_GT(hfslib_parse_attr_record(fork.data(), fork.size(), HFSLIB_NODE_LEAF, &out, nullptr,
                                       nullptr, &vol),
              0u);
    EXPECT_EQ(out.type, HFSLIB_ATTR_FORK);
    EXPECT_EQ(out.fork.logical_size, 5000u);
    EXPECT_EQ(out.fork.extents[0].start_block, 10u);
    bytes short_fork(fork.begin(), fork.end() - 1);
    EXPECT_EQ(hfslib_parse_attr_record(short_fork.data(), short_fork.size(), HFSLIB_NODE_LEAF, &out,
                                       nullptr, nullptr, &vol),
              0u);

    bytes ext = continuation_record(21, "f", 8, {{40, 4}});
    ASSERT_GT(hfslib_parse_attr_record(ext.data(), ext.size(), HFSLIB_NODE_LEAF, &out, &key,
                                       nullptr, &vol),
              0u);
    EXPECT_EQ(out.type, HFSLIB_ATTR_EXTENTS);
    EXPECT_EQ(out.extents[0].block_count, 4u);
    EXPECT_EQ(key.start_block, 8u);

    bytes idx = index_record(21, "f", 77);
    uint32_t child = 0;
    ASSERT_GT(hfslib_parse_attr_record(idx.data(), idx.size(), HFSLIB_NODE_INDEX, &child, nullptr,
                                       nullptr, &vol),
              0u);
    EXPECT_EQ(child, 77u);
    EXPECT_EQ(hfslib_parse_attr_record(idx.data(), idx.size(), 2, &child, nullptr, nullptr, &vol),
              0u);

    // Unknown record type.
    bytes odd = rec;
    put32(odd, 14 + 8, 0x40);
    EXPECT_EQ(hfslib_parse_attr_record(odd.data(), odd.size(), HFSLIB_NODE_LEAF, &out, nullptr,
                                       nullptr, &vol),
              0u);
    // Key length below 12, above the tree's maximum, past the record, or
    // disagreeing with the name length.
    bytes bad = rec;
    put16(bad, 0, 10);
    EXPECT_EQ(hfslib_parse_attr_record(bad.data(), bad.size(), HFSLIB_NODE_LEAF, nullptr, &key,
                                       nullptr, &vol),
              0u);
    vol.attr_header.max_key_len = 14;
    EXPECT_EQ(hfslib_parse_attr_record(rec.data(), rec.size(), HFSLIB_NODE_LEAF, nullptr, &key,
                                       nullptr, &vol),
              0u);
    vol.attr_header.max_key_len = 266;
    EXPECT_EQ(
        hfslib_parse_attr_record(rec.data(), 15, HFSLIB_NODE_LEAF, nullptr, &key, nullptr, &vol),
        0u);
    bad = rec;
    put16(bad, 12, 5);
    EXPECT_EQ(hfslib_parse_attr_record(bad.data(), bad.size(), HFSLIB_NODE_LEAF, nullptr, &key,
                                       nullptr, &vol),
              0u);
    EXPECT_EQ(
        hfslib_parse_attr_record(rec.data(), 1, HFSLIB_NODE_LEAF, nullptr, &key, nullptr, &vol),
        0u);
    EXPECT_EQ(hfslib_parse_attr_record(rec.data(), rec.size(), HFSLIB_NODE_LEAF, nullptr, nullptr,
                                       nullptr, &vol),
              0u);
}

// ---------------------------------------------------------------------------
// Lookups and listings on hand-made trees

TEST(AttrLookup, ExactKeysOnlyAndInlineCopies) {
    tree t;
    t.set(1, HFSLIB_NODE_LEAF, 0,
          {inline_record(20, "ab", "short"), inline_record(20, "abc", "longer"),
           inline_record(20, "empty", "")});
    hfslib_vol* vol = t.open(1, 1);

    hfslib_attr_rec rec{};
    inline_copy data;
    auto ab = make_key(20, "ab");
    ASSERT_EQ(hfslib_lookup_attr(vol, &ab, &rec, &data.data, nullptr), 0);
    EXPECT_EQ(rec.inline_data.size, 5u);
    ASSERT_NE(data.data, nullptr);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(data.data), 5), "short");

    // A name extending an existing one, a prefix that is not there, another
    // CNID: not found, silently.
    for (auto key : {make_key(20, "abcd"), make_key(20, "a"), make_key(21, "ab")}) {
        uint8_t* none = nullptr;
        EXPECT_EQ(hfslib_lookup_attr(vol, &key, &rec, &none, nullptr), 1);
        EXPECT_EQ(none, nullptr);
        EXPECT_EQ(rec.type, 0u);
    }

    // Inline of size 0: found, no block allocated.
    const long before = qtest::live_blocks();
    auto empty = make_key(20, "empty");
    uint8_t* none = nullptr;
    ASSERT_EQ(hfslib_lookup_attr(vol, &empty, &rec, &none, nullptr), 0);
    EXPECT_EQ(rec.type, HFSLIB_ATTR_INLINE);
    EXPECT_EQ(rec.inline_data.size, 0u);
    EXPECT_EQ(none, nullptr);
    EXPECT_EQ(qtest::live_blocks(), before);
    EXPECT_TRUE(qtest::messages().empty()) << qtest::all_messages();
}

TEST(AttrLookup, NoAttributesFileIsSilent) {
    tree t;
    t.set(1, HFSLIB_NODE_LEAF, 0, {inline_record(20, "ab", "x")});
    hfslib_vol* vol = t.open(1, 1);
    vol->vh.attributes_file.extents[0].block_count = 0;
    hfslib_attr_rec rec{};
    auto key = make_key(20, "ab");
    EXPECT_EQ(hfslib_lookup_attr(vol, &key, &rec, nullptr, nullptr), 1);
    key_list list;
    EXPECT_EQ(hfslib_list_attr_keys(vol, 20, &list.keys, &list.count, nullptr), 0);
    EXPECT_EQ(list.count, 0u);
    EXPECT_EQ(list.keys, nullptr);
    EXPECT_TRUE(qtest::messages().empty()) << qtest::all_messages();
    EXPECT_EQ(qtest::live_blocks(), 0);
}

// Two levels; the leaves lie out of node order (5 then 2 then 3), and the
// attributes of CNID 18 begin in the second leaf although the descent for
// them reaches the first.
void two_level_tree(tree& t) {
    t.set(1, HFSLIB_NODE_INDEX, 0,
          {index_record(16, "a", 5), index_record(18, "b", 2), index_record(19, "a", 3)});
    t.set(5, HFSLIB_NODE_LEAF, 2, {inline_record(16, "a", "1"), inline_record(17, "z", "2")});
    t.set(2, HFSLIB_NODE_LEAF, 3,
          {inline_record(18, "b", "3"), fork_record(18, "big", 9000, 12, {{1, 1}}),
           continuation_record(18, "big", 8, {{30, 4}}), inline_record(18, "c", "4")});
    t.set(3, HFSLIB_NODE_LEAF, 0, {inline_record(19, "a", "5"), inline_record(19, "b", "6")});
}

TEST(AttrListing, BeginsInTheNextLeafAndSkipsContinuations) {
    tree t;
    two_level_tree(t);
    hfslib_vol* vol = t.open(2, 1);
    {

        key_list l18;
        ASSERT_EQ(hfslib_list_attr_keys(vol, 18, &l18.keys, &l18.count, nullptr), 0)
            << qtest::all_messages();
        EXPECT_EQ(l18.names(), (std::vector<std::string>{"b", "big", "c"}));
        key_list l19;
        ASSERT_EQ(hfslib_list_attr_keys(vol, 19, &l19.keys, &l19.count, nullptr), 0);
        EXPECT_EQ(l19.names(), (std::vector<std::string>{"a", "b"}));
        key_list l16;
        ASSERT_EQ(hfslib_list_attr_keys(vol, 16, &l16.keys, &l16.count, nullptr), 0);
        EXPECT_EQ(l16.names(), (std::vector<std::string>{"a"}));
        key_list none;
        ASSERT_EQ(hfslib_list_attr_keys(vol, 15, &none.keys, &none.count, nullptr), 0);
        EXPECT_EQ(none.count, 0u);
        key_list after;
        ASSERT_EQ(hfslib_list_attr_keys(vol, 40, &after.keys, &after.count, nullptr), 0);
        EXPECT_EQ(after.count, 0u);

        hfslib_attr_rec rec{};
        for (auto key : {make_key(16, "a"), make_key(17, "z"), make_key(18, "c"), make_key(19, "b"),
                         make_key(18, "big", 8)})
            EXPECT_EQ(hfslib_lookup_attr(vol, &key, &rec, nullptr, nullptr), 0)
                << qtest::to_utf8(key.name);
        EXPECT_EQ(rec.type, HFSLIB_ATTR_EXTENTS);
        EXPECT_TRUE(qtest::messages().empty()) << qtest::all_messages();
    }
    EXPECT_EQ(qtest::live_blocks(), 0);
}

TEST(AttrListing, SiblingLoopsAndDescentLoopsEndInErrors) {
    {
        tree t;
        two_level_tree(t);
        t.set(3, HFSLIB_NODE_LEAF, 2, // back to the leaf before
              {inline_record(18, "d", "5"), inline_record(18, "e", "6")});
        hfslib_vol* vol = t.open(2, 1);
        key_list l;
        EXPECT_EQ(hfslib_list_attr_keys(vol, 18, &l.keys, &l.count, nullptr), 1);
        EXPECT_TRUE(qtest::has_message("loop in attributes tree at node #2"))
            << qtest::all_messages();
        // What was gathered stays with the caller.
        EXPECT_EQ(l.names(), (std::vector<std::string>{"b", "big", "c", "d", "e"}));
    }
    {
        tree t;
        t.set(1, HFSLIB_NODE_LEAF, 1, {inline_record(18, "a", "1")}); // its own sibling
        hfslib_vol* vol = t.open(1, 1);
        key_list l;
        EXPECT_EQ(hfslib_list_attr_keys(vol, 18, &l.keys, &l.count, nullptr), 1);
        EXPECT_TRUE(qtest::has_message("loop in attributes tree at node #1"));
        EXPECT_EQ(l.count, 1u);
    }
    {
        tree t;
        t.set(1, HFSLIB_NODE_INDEX, 0, {index_record(16, "a", 1)}); // its own child
        t.set(2, HFSLIB_NODE_LEAF, 0, {inline_record(16, "a", "1")});
        hfslib_vol* vol = t.open(4, 1);
        key_list l;
        EXPECT_EQ(hfslib_list_attr_keys(vol, 16, &l.keys, &l.count, nullptr), 1);
        EXPECT_TRUE(qtest::has_message("loop in attributes tree at node #1"));
        qtest::clear_messages();
        hfslib_attr_rec rec{};
        auto key = make_key(16, "a");
        EXPECT_EQ(hfslib_lookup_attr(vol, &key, &rec, nullptr, nullptr), 1);
        EXPECT_TRUE(qtest::has_message("loop in attributes tree at node #1"));
    }
    EXPECT_EQ(qtest::live_blocks(), 0);
}

TEST(AttrListing, NodeKindsMustFitTheirDepth) {
    tree t;
    two_level_tree(t);
    hfslib_vol* vol = t.open(3, 1); // claims three levels: leaves reached too early
    key_list l;
    EXPECT_EQ(hfslib_list_attr_keys(vol, 18, &l.keys, &l.count, nullptr), 1);
    EXPECT_TRUE(qtest::has_message("attribute node kind unexpected at depth 1 #5"))
        << qtest::all_messages();
    qtest::clear_messages();
    hfslib_attr_rec rec{};
    auto key = make_key(19, "a");
    EXPECT_EQ(hfslib_lookup_attr(vol, &key, &rec, nullptr, nullptr), 1);
    EXPECT_TRUE(qtest::has_message("attribute node kind unexpected at depth 1 #3"))
        << qtest::all_messages();

    // A link to the header node is refused before it is parsed (the parser
    // would take the tree's node size from it).
    tree h;
    h.set(1, HFSLIB_NODE_INDEX, 0, {index_record(16, "a", 0)});
    h.nodes[0][8] = static_cast<uint8_t>(HFSLIB_NODE_HEADER);
    hfslib_vol* hv = h.open(2, 1);
    key = make_key(16, "a");
    EXPECT_EQ(hfslib_lookup_attr(hv, &key, &rec, nullptr, nullptr), 1);
    EXPECT_TRUE(qtest::has_message("attribute node kind unexpected at depth 1 #0"));
    EXPECT_EQ(hv->attr_header.node_size, node_size);

    // A node past the end of the file.
    tree far;
    far.set(1, HFSLIB_NODE_INDEX, 0, {index_record(16, "a", 400)});
    hfslib_vol* fv = far.open(2, 1);
    EXPECT_EQ(hfslib_lookup_attr(fv, &key, &rec, nullptr, nullptr), 1);
    EXPECT_TRUE(qtest::has_message("could not read attribute node #400"));
    EXPECT_EQ(qtest::live_blocks(), 0);
}

TEST(AttrListing, VisitCounterEndsLongWalks) {
    tree t;
    two_level_tree(t);
    hfslib_vol* vol = t.open(2, 1);
    vol->attr_header.total_nodes = 2; // root and one leaf
    key_list l;
    EXPECT_EQ(hfslib_list_attr_keys(vol, 18, &l.keys, &l.count, nullptr), 0);
    EXPECT_EQ(l.count, 0u); // the walk ended in the first leaf
}

TEST(AttrListing, FailingAllocationsAreReported) {
    tree t;
    two_level_tree(t);
    hfslib_vol* vol = t.open(2, 1);
    qtest::set_alloc_budget(0);
    key_list l;
    EXPECT_EQ(hfslib_list_attr_keys(vol, 18, &l.keys, &l.count, nullptr), 1);
    EXPECT_TRUE(qtest::has_message("could not allocate attributes search key"));
    hfslib_attr_rec rec{};
    auto key = make_key(18, "b");
    qtest::set_alloc_budget(1);
    EXPECT_EQ(hfslib_lookup_attr(vol, &key, &rec, nullptr, nullptr), 1);
    EXPECT_TRUE(qtest::has_message("could not allocate attributes file node buffer"));
    qtest::set_alloc_budget(SIZE_MAX);
    EXPECT_EQ(qtest::live_blocks(), 0);
}

// ---------------------------------------------------------------------------
// Extents of fork-stored attributes

TEST(AttrExtents, TwelveExtentsContinueInTheRecordAtTheirSum) {
    tree t;
    extent_list first, rest;
    for (uint32_t i = 0; i < 8; ++i) first.push_back({100 + 10 * i, i + 1}); // 36 blocks
    for (uint32_t i = 0; i < 4; ++i) rest.push_back({300 + 10 * i, 2});
    t.set(1, HFSLIB_NODE_LEAF, 0,
          {fork_record(20, "big", 44 * 512, 44, first), continuation_record(20, "big", 36, rest),
           fork_record(20, "one", 100, 1, {{7, 1}}),
           fork_record(20, "short", 9000, 20, {{1, 1}, {3, 1}, {5, 1}, {7, 1}, {9, 1}})});
    hfslib_vol* vol = t.open(1, 1);

    auto key = make_key(20, "big");
    hfslib_attr_rec rec{};
    ASSERT_EQ(hfslib_lookup_attr(vol, &key, &rec, nullptr, nullptr), 0);
    hfslib_extent* ext = nullptr;
    uint16_t count = 0;
    ASSERT_EQ(hfslib_collect_attr_extents(vol, &key, &rec, &count, &ext, nullptr), 0);
    ASSERT_EQ(count, 12);
    EXPECT_EQ(ext[7].start_block, 170u);
    EXPECT_EQ(ext[8].start_block, 300u);
    EXPECT_EQ(ext[11].start_block, 330u);
    hfslib_hook_free(ext, nullptr);

    // One extent: no search at all.
    key = make_key(20, "one");
    ASSERT_EQ(hfslib_lookup_attr(vol, &key, &rec, nullptr, nullptr), 0);
    const size_t reads = t.dev.reads;
    EXPECT_EQ(hfslib_collect_attr_extents(vol, &key, &rec, &count, nullptr, nullptr), 0);
    EXPECT_EQ(count, 1);
    EXPECT_EQ(t.dev.reads, reads);

    // Five extents that fall short of the total: failure without a search.
    key = make_key(20, "short");
    ASSERT_EQ(hfslib_lookup_attr(vol, &key, &rec, nullptr, nullptr), 0);
    ext = reinterpret_cast<hfslib_extent*>(1);
    count = 9;
    EXPECT_EQ(hfslib_collect_attr_extents(vol, &key, &rec, &count, &ext, nullptr), 1);
    EXPECT_EQ(ext, nullptr);
    EXPECT_EQ(count, 0);
    EXPECT_EQ(t.dev.reads, reads + 1);

    // Not a fork record, or a continuation key.
    hfslib_attr_rec inline_rec{};
    inline_rec.type = HFSLIB_ATTR_INLINE;
    EXPECT_EQ(hfslib_collect_attr_extents(vol, &key, &inline_rec, &count, nullptr, nullptr), 1);
    auto cont = make_key(20, "big", 36);
    EXPECT_EQ(hfslib_collect_attr_extents(vol, &cont, &rec, &count, nullptr, nullptr), 1);
    EXPECT_EQ(qtest::live_blocks(), 0);
}

TEST(AttrExtents, MissingOrWrongContinuationFails) {
    tree t;
    extent_list eight;
    for (uint32_t i = 0; i < 8; ++i) eight.push_back({100 + i, 1});
    // The "wrong" continuation is keyed at block 8 but stored inline.
    bytes wrong_next = inline_record(20, "wrong", "x");
    put32(wrong_next, 8, 8);
    t.set(1, HFSLIB_NODE_LEAF, 0,
          {fork_record(20, "gap", 9 * 512, 9, eight), fork_record(20, "wrong", 9 * 512, 9, eight),
           wrong_next});
    hfslib_vol* vol = t.open(1, 1);
    for (const char* name : {"gap", "wrong"}) {
        auto key = make_key(20, name);
        hfslib_attr_rec rec{};
        ASSERT_EQ(hfslib_lookup_attr(vol, &key, &rec, nullptr, nullptr), 0);
        hfslib_extent* ext = nullptr;
        uint16_t count = 0;
        EXPECT_EQ(hfslib_collect_attr_extents(vol, &key, &rec, &count, &ext, nullptr), 1) << name;
        EXPECT_EQ(ext, nullptr);
    }
    EXPECT_EQ(qtest::live_blocks(), 0);
}

// ---------------------------------------------------------------------------
// Real volumes against The Sleuth Kit and 7-Zip

struct attr_value {
    uint64_t size = 0;
    std::string sha256;
};

// Every attribute of the volume by (CNID, name), read through the listing
// and the lookup (inline) or the fork's extents.
std::map<std::pair<uint32_t, std::string>, attr_value>
read_all(hfslib_vol& vol, const std::vector<uint32_t>& cnids) {
    std::map<std::pair<uint32_t, std::string>, attr_value> out;
    for (uint32_t cnid : cnids) {
        key_list l;
        EXPECT_EQ(hfslib_list_attr_keys(&vol, cnid, &l.keys, &l.count, nullptr), 0);
        for (uint32_t i = 0; i < l.count; ++i) {
            hfslib_attr_rec rec{};
            inline_copy data;
            EXPECT_EQ(hfslib_lookup_attr(&vol, &l.keys[i], &rec, &data.data, nullptr), 0);
            attr_value v;
            if (rec.type == HFSLIB_ATTR_INLINE) {
                v.size = rec.inline_data.size;
                static const uint8_t nothing = 0;
                v.sha256 = qtest::sha256_hex(data.data ? data.data : &nothing, v.size);
            } else if (rec.type == HFSLIB_ATTR_FORK) {
                hfslib_extent* ext = nullptr;
                uint16_t count = 0;
                EXPECT_EQ(
                    hfslib_collect_attr_extents(&vol, &l.keys[i], &rec, &count, &ext, nullptr), 0);
                std::unique_ptr<hfslib_extent, void (*)(void*)> owned(ext, std::free);
                v.size = rec.fork.logical_size;
                std::vector<uint8_t> bytes(v.size);
                uint64_t got = 0;
                if (v.size) {
                    EXPECT_EQ(hfslib_read_fork_range(&vol, bytes.data(), &got, v.size, 0, ext,
                                                     count, nullptr),
                              0);
                }
                EXPECT_EQ(got, v.size);
                v.sha256 = qtest::sha256_hex(bytes.data(), bytes.size());
            }
            out[{cnid, qtest::to_utf8(l.keys[i].name)}] = v;
        }
    }
    return out;
}

void compare_with_groundtruth(const std::string& image) {
    qtest::device dev;
    qtest::install_hooks(&dev);
    if (!qtest::open_image_file(image, dev)) GTEST_SKIP() << "shared image " << image << " absent";
    hfslib_vol vol{};
    ASSERT_EQ(qtest::mount(dev, vol), 0) << qtest::all_messages();

    // The Sleuth Kit names the CNID of each path; 7-Zip lists every
    // attribute as PATH:NAME (The Sleuth Kit stops after the first few of a
    // file). Where both list one, they agree.
    const auto truth = qtest::groundtruth(image);
    std::map<std::string, uint32_t> cnid_of;
    for (const auto& t : truth)
        if (t.reader == "tsk")
            cnid_of[t.path] = static_cast<uint32_t>(std::strtoul(t.inode.c_str(), nullptr, 10));
    std::map<std::pair<uint32_t, std::string>, attr_value> expected;
    std::vector<uint32_t> cnids;
    size_t from_tsk = 0, from_7z = 0;
    for (const auto& t : truth) {
        std::string path, name;
        if (t.reader == "tsk" && t.kind.rfind("ExATTR:", 0) == 0) {
            path = t.path;
            name = t.kind.substr(7);
            ++from_tsk;
        } else if (t.reader == "7z" && t.kind == "data" && t.path.find(':') != std::string::npos &&
                   !t.path.ends_with(":rsrc")) {
            path = t.path.substr(0, t.path.rfind(':'));
            name = t.path.substr(t.path.rfind(':') + 1);
            ++from_7z;
        } else {
            continue;
        }
        ASSERT_TRUE(cnid_of.count(path)) << path;
        const uint32_t cnid = cnid_of[path];
        auto [it, fresh] = expected.try_emplace({cnid, name}, attr_value{t.size, t.sha256});
        if (!fresh) {
            EXPECT_EQ(it->second.sha256, t.sha256) << name;
        }
        cnids.push_back(cnid);
    }
    EXPECT_GT(from_tsk, 0u);
    EXPECT_GT(from_7z, 0u);
    std::sort(cnids.begin(), cnids.end());
    cnids.erase(std::unique(cnids.begin(), cnids.end()), cnids.end());
    ASSERT_FALSE(expected.empty());

    const auto got = read_all(vol, cnids);
    EXPECT_EQ(got.size(), expected.size());
    size_t differ = 0;
    for (const auto& [key, value] : expected) {
        auto it = got.find(key);
        if (it == got.end() || it->second.size != value.size || it->second.sha256 != value.sha256) {
            if (++differ < 5) ADD_FAILURE() << "attribute " << key.second << " of " << key.first;
        }
    }
    EXPECT_EQ(differ, 0u);
    EXPECT_TRUE(qtest::messages().empty()) << qtest::all_messages();
    hfslib_unmount(&vol, nullptr);
}

TEST(AttrRealVolumes, FiveThousandAttributesInATwoLevelTree) {
    compare_with_groundtruth("xattrs-5651");
}

TEST(AttrRealVolumes, VolumeWithoutAttributesFile) {
    qtest::device dev;
    qtest::install_hooks(&dev);
    if (!qtest::open_image_file("empty-no-attributes", dev)) GTEST_SKIP() << "image absent";
    hfslib_vol vol{};
    ASSERT_EQ(qtest::mount(dev, vol), 0) << qtest::all_messages();
    auto key = make_key(2, "com.apple.decmpfs");
    hfslib_attr_rec rec{};
    EXPECT_EQ(hfslib_lookup_attr(&vol, &key, &rec, nullptr, nullptr), 1);
    key_list l;
    EXPECT_EQ(hfslib_list_attr_keys(&vol, 2, &l.keys, &l.count, nullptr), 0);
    EXPECT_EQ(l.count, 0u);
    EXPECT_TRUE(qtest::messages().empty()) << qtest::all_messages();
    hfslib_unmount(&vol, nullptr);
}

} // namespace
