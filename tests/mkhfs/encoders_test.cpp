// The trivial LZVN/LZFSE encoders against the reference streams, the stored
// name form, the case-folding order, and the B-tree layout invariants.
#include "btree.h"
#include "codecs.h"
#include "names.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>

namespace {

using mkhfs::Bytes;

Bytes slurp(const std::filesystem::path& p) {
    std::ifstream in(p, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

std::filesystem::path vectors() {
    return QUORVEL_SHARED_COMPRESS;
}

TEST(Encoders, LzvnLiteralsMatchReferenceForIncompressibleInput) {
    if (!std::filesystem::exists(vectors() / "lzvn")) GTEST_SKIP() << "reference streams absent";
    for (const char* name :
         {"random-1", "random-17", "random-255", "random-4095", "random-4097", "text-17"}) {
        Bytes raw = slurp(vectors() / "lzvn" / (std::string(name) + ".raw"));
        EXPECT_EQ(mkhfs::lzvn_literals_encode(raw),
                  slurp(vectors() / "lzvn" / (std::string(name) + ".lzvn")))
            << name;
    }
}

TEST(Encoders, LzvnLiteralsFrameLengths) {
    EXPECT_EQ(mkhfs::lzvn_literals_encode({}), (Bytes{0x06, 0, 0, 0, 0, 0, 0, 0}));
    Bytes in(271 + 15, 'a');
    Bytes out = mkhfs::lzvn_literals_encode(in);
    ASSERT_EQ(out.size(), 2 + 271 + 1 + 15 + 8u);
    EXPECT_EQ(out[0], 0xE0);
    EXPECT_EQ(out[1], 255);
    EXPECT_EQ(out[273], 0xEF);
}

TEST(Encoders, LzfseStoredMatchesReferenceForTinyInput) {
    if (!std::filesystem::exists(vectors() / "lzfse")) GTEST_SKIP() << "reference streams absent";
    for (const char* name : {"zeros-1", "random-1", "text-1"}) {
        Bytes raw = slurp(vectors() / "lzfse" / (std::string(name) + ".raw"));
        EXPECT_EQ(mkhfs::lzfse_stored_encode(raw),
                  slurp(vectors() / "lzfse" / (std::string(name) + ".lzfse")))
            << name;
    }
}

TEST(Names, CanonicalDecompositionWithExcludedRanges) {
    EXPECT_EQ(mkhfs::stored_name("caf\xC3\xA9"), u"cafe\u0301");
    EXPECT_EQ(mkhfs::stored_name("\xEA\xB0\x80"), u"\u1100\u1161");     // Hangul syllable
    EXPECT_EQ(mkhfs::stored_name("\xE2\x84\xA6"), u"\u2126");           // U+2126 stays
    EXPECT_EQ(mkhfs::stored_name("\xEF\xA4\x80"), u"\uF900");           // U+F900 stays
    EXPECT_EQ(mkhfs::stored_name("\xF0\x9F\x98\x80"), u"\xD83D\xDE00"); // beyond the BMP
    EXPECT_EQ(mkhfs::stored_name("a\xCC\xA3\xCC\x81"),
              u"a\u0323\u0301"); // combining order kept canonical
    EXPECT_EQ(mkhfs::stored_name("a\xCC\x81\xCC\xA3"), u"a\u0323\u0301");
    EXPECT_EQ(mkhfs::stored_name("a/b"), u"a/b");
    EXPECT_THROW(mkhfs::stored_name("\xC3"), std::runtime_error);
}

TEST(Names, FoldedAndBinaryOrders) {
    EXPECT_EQ(mkhfs::compare_folded(u"ABC", u"abc"), 0);
    EXPECT_LT(mkhfs::compare_binary(u"ABC", u"abc"), 0);
    EXPECT_EQ(mkhfs::compare_folded(u"ab\u200Cc", u"abc"), 0);
    EXPECT_LT(mkhfs::compare_folded(u"ab", u"abc"), 0);
    EXPECT_GT(mkhfs::compare_folded(std::u16string(1, u'\0'), u"z"), 0); // U+0000 sorts last
    EXPECT_LT(mkhfs::compare_folded(u"", u"a"), 0);
}

uint32_t be32(const uint8_t* p) {
    return uint32_t(p[0]) << 24 | p[1] << 16 | p[2] << 8 | p[3];
}
uint16_t be16(const uint8_t* p) {
    return uint16_t(p[0] << 8 | p[1]);
}

TEST(BTree, LeafChainHoldsEveryRecordInOrderAndHeaderAgrees) {
    std::vector<mkhfs::BTreeRecord> recs;
    for (uint32_t i = 0; i < 3000; ++i) {
        mkhfs::BTreeRecord r;
        mkhfs::Writer w(r.key);
        w.be16(4); // key: its length, then a 4-byte number
        w.be32(i);
        r.data.assign(30 + i % 40, uint8_t(i));
        recs.push_back(std::move(r));
    }
    mkhfs::BTreeOptions opt;
    opt.node_size = 512;
    opt.max_key_len = 4;
    opt.alloc_unit = 4096;
    auto f = mkhfs::build_btree(recs, opt);
    const uint8_t* h = f.bytes.data();
    ASSERT_EQ(int8_t(h[8]), 1);
    const uint8_t* hr = h + 14;
    EXPECT_GE(be16(hr), 3);                         // depth
    EXPECT_EQ(be32(hr + 6), 3000u);                 // leaf records
    EXPECT_EQ(be32(hr + 22) * 512, f.bytes.size()); // total nodes
    EXPECT_EQ(f.bytes.size() % 4096, 0u);
    // Walk the leaves left to right.
    uint32_t node = be32(hr + 10), expect = 0, prev = 0, leaves = 0;
    while (node) {
        const uint8_t* n = f.bytes.data() + size_t(node) * 512;
        EXPECT_EQ(int8_t(n[8]), -1);
        EXPECT_EQ(be32(n + 4), prev);
        uint16_t count = be16(n + 10);
        for (uint16_t r = 0; r < count; ++r) {
            uint16_t off = be16(n + 512 - 2 * (r + 1));
            EXPECT_EQ(off % 2, 0);
            EXPECT_EQ(be32(n + off + 2), expect++);
        }
        prev = node;
        node = be32(n);
        ++leaves;
    }
    EXPECT_EQ(expect, 3000u);
    EXPECT_EQ(prev, be32(hr + 14)); // last leaf
    EXPECT_EQ(leaves, f.leaf_nodes);
    // The root is an index node whose first key is the smallest key.
    const uint8_t* root = f.bytes.data() + size_t(be32(hr + 2)) * 512;
    EXPECT_EQ(int8_t(root[8]), 0);
    EXPECT_EQ(be32(root + 14 + 2), 0u);
    EXPECT_EQ(root[9], be16(hr)); // root height is the depth
    // Every level, walked through its sibling links from its leftmost node,
    // lists the first keys of the level below in order and ends with flink 0.
    uint32_t leftmost = be32(hr + 2);
    for (int level = be16(hr); level > 1; --level) {
        uint32_t n = leftmost, prev_node = 0;
        std::vector<uint32_t> children;
        while (n) {
            const uint8_t* p = f.bytes.data() + size_t(n) * 512;
            EXPECT_EQ(int8_t(p[8]), 0);
            EXPECT_EQ(p[9], level);
            EXPECT_EQ(be32(p + 4), prev_node);
            for (uint16_t r = 0; r < be16(p + 10); ++r) {
                uint16_t off = be16(p + 512 - 2 * (r + 1));
                children.push_back(be32(p + off + 6)); // key (2 + 4 bytes), then the child
            }
            prev_node = n;
            n = be32(p);
        }
        ASSERT_FALSE(children.empty());
        leftmost = children.front();
        for (size_t i = 1; i < children.size(); ++i) {
            const uint8_t* prev_child = f.bytes.data() + size_t(children[i - 1]) * 512;
            EXPECT_EQ(be32(prev_child), children[i]); // children are siblings in key order
        }
    }
    EXPECT_EQ(leftmost, be32(hr + 10)); // the descent ends at the first leaf
}

TEST(BTree, EmptyTreeHasOnlyItsHeaderNode) {
    mkhfs::BTreeOptions opt;
    opt.node_size = 4096;
    auto f = mkhfs::build_btree({}, opt);
    const uint8_t* hr = f.bytes.data() + 14;
    EXPECT_EQ(be16(hr), 0);
    EXPECT_EQ(be32(hr + 2), 0u);
    EXPECT_EQ(be32(hr + 26), be32(hr + 22) - 1); // all but the header node free
    EXPECT_EQ(f.bytes[248], 0x80);               // map: node 0 in use
}

} // namespace
