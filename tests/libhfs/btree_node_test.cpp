// B-tree node parsing on crafted node bytes: descriptors, offset tables,
// record copies, header records, and every refusal with its message.
#include "libhfs/report.h"
#include "tests/support/volume.h"

namespace {

using namespace qtest;

class NodeParse : public ::testing::Test {
protected:
    void SetUp() override {
        install_hooks(nullptr);
        vol.cat_header.node_size = 512;
        vol.ext_header.node_size = 512;
        vol.attr_header.node_size = 512;
        vol.cat_keylen_size = 2;
        vol.ext_keylen_size = 2;
    }
    void TearDown() override {
        hfslib_free_node_records(recs, sizes, recs ? desc.num_recs : 0, nullptr);
        EXPECT_EQ(live_blocks(), 0);
    }
    size_t parse(const std::vector<uint8_t>& node, uint8_t tree = HFSLIB_TREE_EXTENTS) {
        hfslib_free_node_records(recs, sizes, recs ? desc.num_recs : 0, nullptr);
        clear_messages();
        return hfslib_parse_node(node.data(), &desc, &recs, &sizes, tree, &vol, nullptr);
    }
    // Expects a refusal with exactly this one message and nothing left over.
    void expect_refused(const std::vector<uint8_t>& node, const std::string& message,
                        uint8_t tree = HFSLIB_TREE_EXTENTS) {
        EXPECT_EQ(parse(node, tree), 0u);
        EXPECT_EQ(recs, nullptr);
        EXPECT_EQ(sizes, nullptr);
        ASSERT_EQ(messages().size(), 1u) << all_messages();
        EXPECT_EQ(messages()[0], message);
        EXPECT_EQ(live_blocks(), 0);
    }

    hfslib_vol vol{};
    hfslib_node_desc desc{};
    uint8_t** recs = nullptr;
    uint16_t* sizes = nullptr;
};

std::vector<uint8_t> bytes(size_t n, uint8_t fill) {
    return std::vector<uint8_t>(n, fill);
}

std::vector<uint8_t> header_record(uint16_t node_size, uint32_t attributes) {
    std::vector<uint8_t> hr(106, 0);
    put16(hr, 0, 3);    // depth
    put32(hr, 2, 7);    // root
    put32(hr, 6, 1234); // leaf records
    put32(hr, 10, 1);   // first leaf
    put32(hr, 14, 9);   // last leaf
    put16(hr, 18, node_size);
    put16(hr, 20, 516); // max key length
    put32(hr, 22, 64);  // total nodes
    put32(hr, 26, 10);  // free nodes
    put16(hr, 30, 0xABCD);
    put32(hr, 32, 0x10000); // clump
    hr[36] = 0;
    hr[37] = HFSLIB_KEYCMP_BINARY;
    put32(hr, 38, attributes);
    put32(hr, 42 + 60, 0xFEEDF00D);
    return hr;
}

TEST_F(NodeParse, RecordsAreCopiedWithTheirLengths) {
    auto node =
        make_node(512, HFSLIB_NODE_LEAF, 1, 5, 3, {bytes(20, 1), bytes(76, 2), bytes(2, 3)});
    EXPECT_EQ(parse(node), 14u + 20 + 76 + 2);
    EXPECT_EQ(desc.flink, 5u);
    EXPECT_EQ(desc.blink, 3u);
    EXPECT_EQ(desc.kind, HFSLIB_NODE_LEAF);
    EXPECT_EQ(desc.height, 1);
    EXPECT_EQ(desc.num_recs, 3);
    ASSERT_NE(recs, nullptr);
    EXPECT_EQ(sizes[0], 20);
    EXPECT_EQ(sizes[1], 76);
    EXPECT_EQ(sizes[2], 2);
    EXPECT_EQ(recs[1][75], 2);
    EXPECT_EQ(recs[2][0], 3);
    EXPECT_EQ(live_blocks(), 5) << "three records and two arrays";
    EXPECT_TRUE(messages().empty()) << all_messages();
}

TEST_F(NodeParse, OneRecordNode) {
    auto node = make_node(512, HFSLIB_NODE_INDEX, 2, 0, 0, {bytes(16, 7)});
    put16(node, 512 - 4, 14 + 40); // free space further on than the record
    EXPECT_EQ(parse(node), 14u + 40);
    EXPECT_EQ(sizes[0], 40) << "the free-space offset minus 14";
}

TEST_F(NodeParse, ZeroRecordsAlsoForTheDescriptorAlone) {
    auto node = make_node(512, HFSLIB_NODE_LEAF, 1, 0, 0, {});
    expect_refused(node, "node contains no records");
    clear_messages();
    EXPECT_EQ(
        hfslib_parse_node(node.data(), &desc, nullptr, nullptr, HFSLIB_TREE_CATALOG, &vol, nullptr),
        0u);
    EXPECT_TRUE(has_message("node contains no records"));
}

TEST_F(NodeParse, HeaderNodeNeedsExactlyThreeRecords) {
    auto hr = header_record(4096, 0x6);
    expect_refused(make_node(512, HFSLIB_NODE_HEADER, 0, 0, 0, {hr, bytes(128, 0)}),
                   "header node does not have exactly 3 records");
    expect_refused(
        make_node(512, HFSLIB_NODE_HEADER, 0, 0, 0, {hr, bytes(128, 0), bytes(64, 0), bytes(8, 0)}),
        "header node does not have exactly 3 records");
}

TEST_F(NodeParse, HeaderNodeUpdatesTheTreeForLaterReads) {
    auto node = make_node(512, HFSLIB_NODE_HEADER, 0, 0, 0,
                          {header_record(4096, 0x6), bytes(128, 0), bytes(256, 0xFF)});
    EXPECT_EQ(
        hfslib_parse_node(node.data(), &desc, nullptr, nullptr, HFSLIB_TREE_CATALOG, &vol, nullptr),
        14u);
    EXPECT_EQ(vol.cat_header.node_size, 4096);
    EXPECT_EQ(vol.cat_keylen_size, 2);
    EXPECT_EQ(vol.cat_header.root_node, 0u) << "only the size and key width are taken";

    node = make_node(512, HFSLIB_NODE_HEADER, 0, 0, 0,
                     {header_record(1024, 0x4), bytes(128, 0), bytes(256, 0xFF)});
    EXPECT_EQ(parse(node), 14u + 106 + 128 + 256) << "this node is still read at 512 bytes";
    EXPECT_EQ(vol.ext_header.node_size, 1024);
    EXPECT_EQ(vol.ext_keylen_size, 1);
    EXPECT_EQ(sizes[2], 256);

    vol.attr_header.node_size = 512;
    EXPECT_GT(parse(node, HFSLIB_TREE_ATTRIBUTES), 0u);
    EXPECT_EQ(vol.attr_header.node_size, 1024);
}

TEST_F(NodeParse, HeaderNodeWithAnImpossibleNodeSizeIsRefused) {
    for (uint16_t size : {0, 14, 256, 1000, 65535}) {
        SCOPED_TRACE(size);
        auto node = make_node(512, HFSLIB_NODE_HEADER, 0, 0, 0,
                              {header_record(size, 0x6), bytes(128, 0), bytes(256, 0)});
        expect_refused(node, "could not read header node", HFSLIB_TREE_CATALOG);
        EXPECT_EQ(vol.cat_header.node_size, 512);
    }
}

TEST_F(NodeParse, HeaderRecordDecodedFieldByField) {
    auto hr = header_record(8192, 0x6);
    std::vector<uint8_t> user = bytes(128, 0x11), map = bytes(40, 0x22);
    uint8_t* rec_ptrs[3] = {hr.data(), user.data(), map.data()};
    uint16_t lens[3] = {106, 128, 40};
    hfslib_btree_header out{};
    std::vector<uint8_t> user_out(128), map_out(40);
    EXPECT_EQ(hfslib_read_header_node(rec_ptrs, lens, 3, &out, user_out.data(), map_out.data()),
              106u + 128 + 40);
    EXPECT_EQ(out.tree_depth, 3);
    EXPECT_EQ(out.root_node, 7u);
    EXPECT_EQ(out.leaf_recs, 1234u);
    EXPECT_EQ(out.first_leaf, 1u);
    EXPECT_EQ(out.last_leaf, 9u);
    EXPECT_EQ(out.node_size, 8192);
    EXPECT_EQ(out.max_key_len, 516);
    EXPECT_EQ(out.total_nodes, 64u);
    EXPECT_EQ(out.free_nodes, 10u);
    EXPECT_EQ(out.reserved1, 0xABCD);
    EXPECT_EQ(out.clump_size, 0x10000u);
    EXPECT_EQ(out.keycomp_type, HFSLIB_KEYCMP_BINARY);
    EXPECT_EQ(out.attributes, 0x6u);
    EXPECT_EQ(out.reserved3[15], 0xFEEDF00Du);
    EXPECT_EQ(user_out, user);
    EXPECT_EQ(map_out, map);
    // Counted whether or not copied.
    EXPECT_EQ(hfslib_read_header_node(rec_ptrs, lens, 2, &out, nullptr, nullptr), 106u + 128);
    EXPECT_EQ(hfslib_read_header_node(nullptr, lens, 3, &out, nullptr, nullptr), 0u);
    EXPECT_EQ(hfslib_read_header_node(rec_ptrs, nullptr, 3, &out, nullptr, nullptr), 0u);
    lens[0] = 105;
    EXPECT_EQ(hfslib_read_header_node(rec_ptrs, lens, 3, &out, nullptr, nullptr), 0u)
        << "a header record shorter than 106 bytes";
}

TEST(NodeParseDeath, HeaderRecordWithoutOutputStops) {
    std::vector<uint8_t> hr(106, 0);
    uint8_t* rec_ptrs[1] = {hr.data()};
    uint16_t lens[1] = {106};
    EXPECT_DEATH(hfslib_read_header_node(rec_ptrs, lens, 1, nullptr, nullptr, nullptr),
                 "hfslib_read_header_node.*out_hr != \\(\\(void \\*\\)0\\)");
}

TEST_F(NodeParse, UnknownTreeSelector) {
    auto node = make_node(512, HFSLIB_NODE_LEAF, 1, 0, 0, {bytes(20, 1)});
    expect_refused(node, "invalid parent file type specified", 4);
    expect_refused(node, "invalid parent file type specified", 0);
    auto header = make_node(512, HFSLIB_NODE_HEADER, 0, 0, 0,
                            {header_record(512, 6), bytes(128, 0), bytes(256, 0)});
    expect_refused(header, "invalid parent file type specified", 9);
}

TEST_F(NodeParse, NodeSizeAgainstTheRecordCount) {
    // One record needs at least 4 bytes of offset table; exactly that passes
    // the size check (and then fails on the record itself).
    std::vector<uint8_t> raw(14, 0);
    put16(raw, 10, 1);
    put16(raw, 2, 14); // record 0's entry: the node's last two bytes
    put16(raw, 0, 16); // free space
    vol.ext_header.node_size = 4;
    expect_refused(raw, "record offset outside of node bounds 2");
    vol.ext_header.node_size = 3;
    expect_refused(raw, "nodesize 3 too small for 1 records");
}

TEST_F(NodeParse, OffsetTableWithoutFourteen) {
    auto node = make_node(512, HFSLIB_NODE_LEAF, 1, 0, 0, {bytes(20, 1), bytes(20, 2)});
    put16(node, 510, 16);
    expect_refused(node, "could not read node record offsets");
}

TEST_F(NodeParse, FourteenBeforeRecordZerosEntry) {
    // Record 2's entry says 14: the entries of records 0 and 1 are never read.
    auto node =
        make_node(512, HFSLIB_NODE_LEAF, 1, 0, 0, {bytes(20, 1), bytes(20, 2), bytes(20, 3)});
    put16(node, 512 - 6, 14);
    expect_refused(node, "corrupt record offsets 74-14");
}

TEST_F(NodeParse, NonIncreasingOffsets) {
    auto node = make_node(512, HFSLIB_NODE_LEAF, 1, 0, 0, {bytes(20, 1), bytes(20, 2)});
    put16(node, 512 - 4, 14 + 20 + 20); // record 1 where the free space is
    expect_refused(node, "corrupt record offsets 54-54");
    node = make_node(512, HFSLIB_NODE_LEAF, 1, 0, 0, {bytes(20, 1), bytes(20, 2)});
    put16(node, 512 - 4, 14); // records 0 and 1 at the same place: a second 14
    expect_refused(node, "corrupt record offsets 54-14");
    node = make_node(512, HFSLIB_NODE_LEAF, 1, 0, 0, {bytes(20, 1), bytes(20, 2)});
    put16(node, 512 - 6, 20); // free space below record 1
    expect_refused(node, "corrupt record offsets 20-34");
}

TEST_F(NodeParse, FreeSpaceBeyondTheNode) {
    auto node = make_node(512, HFSLIB_NODE_LEAF, 1, 0, 0, {bytes(20, 1), bytes(20, 2)});
    put16(node, 512 - 6, 600);
    expect_refused(node, "record offset outside of node bounds 566");
    // Records may not run into the offset table either.
    node = make_node(512, HFSLIB_NODE_LEAF, 1, 0, 0, {bytes(20, 1), bytes(20, 2)});
    put16(node, 512 - 6, 508);
    expect_refused(node, "record offset outside of node bounds 474");
    put16(node, 512 - 6, 506);
    EXPECT_GT(parse(node), 0u) << "a record may end where the table begins";
}

TEST_F(NodeParse, OddRecordLengthsAreRefusedInKeyedNodesOnly) {
    auto odd = make_node(512, HFSLIB_NODE_LEAF, 1, 0, 0, {bytes(21, 1), bytes(20, 2)});
    expect_refused(odd, "corrupt record offsets 35-14");
    odd = make_node(512, HFSLIB_NODE_INDEX, 2, 0, 0, {bytes(20, 1), bytes(21, 2)});
    expect_refused(odd, "corrupt record offsets 55-34");
    auto map = make_node(512, HFSLIB_NODE_MAP, 0, 0, 0, {bytes(21, 0xFF)});
    EXPECT_EQ(parse(map), 35u);
    EXPECT_EQ(sizes[0], 21);
}

TEST_F(NodeParse, CatalogKeysAreCheckedAgainstTheirRecord) {
    auto rec = cat_key_bytes(2, u"name");
    rec.insert(rec.end(), {0, 1, 0, 0}); // type 1 and two more bytes
    auto node = make_node(512, HFSLIB_NODE_LEAF, 1, 0, 0, {rec});
    EXPECT_GT(parse(node, HFSLIB_TREE_CATALOG), 0u);
    put16(node, 14 + 6, 40); // the name claims more units than the record has
    expect_refused(node, "could not read node record", HFSLIB_TREE_CATALOG);
    EXPECT_GT(parse(node, HFSLIB_TREE_EXTENTS), 0u) << "other trees do not decode catalog keys";
}

TEST_F(NodeParse, AllocationFailuresLeaveNothingBehind) {
    auto node =
        make_node(512, HFSLIB_NODE_LEAF, 1, 0, 0, {bytes(20, 1), bytes(20, 2), bytes(4, 3)});
    const char* expected[] = {
        "could not allocate node record offsets", "could not allocate node record offsets",
        "could not allocate node records",        "could not allocate node record #0",
        "could not allocate node record #1",      "could not allocate node record #2"};
    for (size_t budget = 0; budget < 6; ++budget) {
        SCOPED_TRACE(budget);
        set_alloc_budget(budget);
        expect_refused(node, expected[budget]);
    }
    set_alloc_budget(SIZE_MAX);
    EXPECT_GT(parse(node), 0u);
}

TEST_F(NodeParse, ArgumentFaultsReportNothing) {
    auto node = make_node(512, HFSLIB_NODE_LEAF, 1, 0, 0, {bytes(20, 1)});
    EXPECT_EQ(hfslib_parse_node(nullptr, &desc, &recs, &sizes, 2, &vol, nullptr), 0u);
    EXPECT_EQ(hfslib_parse_node(node.data(), nullptr, &recs, &sizes, 2, &vol, nullptr), 0u);
    EXPECT_EQ(hfslib_parse_node(node.data(), &desc, &recs, &sizes, 2, nullptr, nullptr), 0u);
    EXPECT_EQ(hfslib_parse_node(node.data(), &desc, &recs, nullptr, 2, &vol, nullptr), 0u);
    EXPECT_EQ(hfslib_parse_node(node.data(), &desc, nullptr, &sizes, 2, &vol, nullptr), 0u);
    EXPECT_TRUE(messages().empty());
    EXPECT_EQ(hfslib_parse_node(node.data(), &desc, nullptr, nullptr, 2, &vol, nullptr), 14u);
}

TEST_F(NodeParse, GuardReleasesEveryBlock) {
    auto node = make_node(512, HFSLIB_NODE_LEAF, 1, 0, 0, {bytes(20, 1), bytes(30, 2)});
    {
        hfslib::node_records guard(nullptr);
        EXPECT_GT(guard.parse(node.data(), HFSLIB_TREE_EXTENTS, &vol), 0u);
        EXPECT_EQ(guard.count(), 2);
        EXPECT_EQ(guard.size(1), 30);
        EXPECT_EQ(guard.data(1)[0], 2);
        EXPECT_GT(guard.parse(node.data(), HFSLIB_TREE_EXTENTS, &vol), 0u)
            << "re-parse reuses its arrays";
        // The offset/size table and the record views: the records are not copied.
        EXPECT_EQ(live_blocks(), 2);
    }
    EXPECT_EQ(live_blocks(), 0);
}

} // namespace
