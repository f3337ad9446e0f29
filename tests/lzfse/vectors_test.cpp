// Decoding of the reference vectors, whole, into short buffers, truncated
// and with flipped bits.
#include "tests/support/lzfse_vectors.h"

#include <memory>

namespace qtest {
namespace {

enum class Kind { lzfse, lzvn };

void PrintTo(Kind k, std::ostream* os) {
    *os << (k == Kind::lzfse ? "LZFSE" : "raw LZVN");
}

Decoded decode(Kind kind, const Bytes& src, size_t dst_size) {
    return kind == Kind::lzfse ? decode_lzfse(src, dst_size) : decode_lzvn(src, dst_size);
}

size_t decode_plain(Kind kind, uint8_t* dst, size_t dst_size, const Bytes& src) {
    return kind == Kind::lzfse ? lzfse_decode_buffer(dst, dst_size, src.data(), src.size(), nullptr)
                               : lzvn_decode_buffer(dst, dst_size, src.data(), src.size());
}

class Vectors : public ::testing::TestWithParam<Kind> {
protected:
    void SetUp() override {
        sub_ = GetParam() == Kind::lzfse ? "lzfse" : "lzvn";
        vectors_ = load_vectors(sub_, GetParam() == Kind::lzfse ? ".lzfse" : ".lzvn");
    }
    std::string sub_;
    std::vector<Vector> vectors_;
};

TEST_P(Vectors, DecodeToTheirRawTwins) {
    REQUIRE_VECTORS(vectors_, sub_);
    for (const auto& v : vectors_) {
        SCOPED_TRACE(v.name);
        // Roomy buffer: the count tells the length.
        const Decoded d = decode(GetParam(), v.packed, v.raw.size() + 100);
        EXPECT_EQ(d.status, LZFSE_STATUS_OK) << lzfse_status_name(d.status);
        EXPECT_TRUE(d.out == v.raw);
        // Exact buffer: no slack for wide copies at the very end.
        const Decoded exact = decode(GetParam(), v.packed, v.raw.size());
        EXPECT_EQ(exact.status, LZFSE_STATUS_OK) << lzfse_status_name(exact.status);
        EXPECT_TRUE(exact.out == v.raw);
        // The plain call returns the length.
        Bytes dst(v.raw.size() + 1);
        EXPECT_EQ(decode_plain(GetParam(), dst.data(), dst.size(), v.packed), v.raw.size());
    }
}

TEST_P(Vectors, ShortDestinationGetsExactPrefix) {
    REQUIRE_VECTORS(vectors_, sub_);
    for (const auto& v : vectors_) {
        if (v.raw.empty()) continue;
        for (size_t size :
             {v.raw.size() - 1, v.raw.size() / 2, v.raw.size() / 3 + 7, size_t{1}, size_t{0}}) {
            if (size >= v.raw.size()) continue;
            SCOPED_TRACE(v.name + " into " + std::to_string(size));
            const Decoded d = decode(GetParam(), v.packed, size);
            EXPECT_EQ(d.status, LZFSE_STATUS_DST_TOO_SMALL) << lzfse_status_name(d.status);
            ASSERT_EQ(d.out.size(), size);
            EXPECT_TRUE(std::equal(d.out.begin(), d.out.end(), v.raw.begin()));
            Bytes dst(size);
            EXPECT_EQ(decode_plain(GetParam(), dst.data(), dst.size(), v.packed), size);
        }
    }
}

TEST_P(Vectors, EveryTruncationIsAnError) {
    REQUIRE_VECTORS(vectors_, sub_);
    for (const auto& v : vectors_) {
        SCOPED_TRACE(v.name);
        // Every cut for small streams, about 150 cuts for big ones (with the
        // last bytes, where the end marker lives, all included).
        const size_t n = v.packed.size();
        const size_t step = n <= 1500 ? 1 : n / 150;
        std::vector<size_t> cuts;
        for (size_t cut = 0; cut < n; cut += step) cuts.push_back(cut);
        for (size_t back = 1; back <= std::min<size_t>(n, 16); ++back) cuts.push_back(n - back);
        for (size_t cut : cuts) {
            const Bytes part(v.packed.begin(), v.packed.begin() + static_cast<ptrdiff_t>(cut));
            const Decoded d = decode(GetParam(), part, v.raw.size() + 1);
            ASSERT_TRUE(d.status == LZFSE_STATUS_TRUNCATED || d.status == LZFSE_STATUS_CORRUPT)
                << "cut at " << cut << ": " << lzfse_status_name(d.status);
            Bytes dst(v.raw.size() + 1);
            ASSERT_EQ(decode_plain(GetParam(), dst.data(), dst.size(), part), 0u) << "cut " << cut;
        }
    }
}

TEST_P(Vectors, FlippedBitsNeverOverrun) {
    REQUIRE_VECTORS(vectors_, sub_);
    size_t flips = 0, rejected = 0;
    for (const auto& v : vectors_) {
        SCOPED_TRACE(v.name);
        const size_t n = v.packed.size();
        // Every bit of small streams; a spread of positions in big ones, with
        // the first 64 bytes (block headers) always included.
        const size_t step = n <= 600 ? 1 : n / (n > 100000 ? 30 : 150);
        std::vector<size_t> positions;
        for (size_t pos = 0; pos < std::min<size_t>(n, 64); ++pos) positions.push_back(pos);
        for (size_t pos = 64; pos < n; pos += step) positions.push_back(pos);
        for (size_t pos : positions) {
            for (unsigned bit = n <= 600 ? 0 : pos % 3; bit < 8; bit += (n <= 600 ? 1 : 3)) {
                Bytes bad = v.packed;
                bad[pos] ^= static_cast<uint8_t>(1u << bit);
                const Decoded d = decode(GetParam(), bad, v.raw.size() + 1);
                ++flips;
                if (d.status != LZFSE_STATUS_OK) {
                    ++rejected;
                    continue;
                }
                // Block sizes are declared and checked in LZFSE streams: a
                // damaged stream that still decodes cannot change length.
                // (Raw LZVN has no such check: a flipped match length is
                // undetectable.)
                if (GetParam() == Kind::lzfse) {
                    ASSERT_EQ(d.out.size(), v.raw.size()) << "flip at " << pos << " bit " << bit;
                }
            }
        }
    }
    RecordProperty("flips", std::to_string(flips));
    RecordProperty("rejected", std::to_string(rejected));
    std::cout << "[          ] " << rejected << " of " << flips << " flipped streams rejected\n";
}

INSTANTIATE_TEST_SUITE_P(, Vectors, ::testing::Values(Kind::lzfse, Kind::lzvn),
                         [](const auto& info) {
                             return info.param == Kind::lzfse ? std::string("Lzfse")
                                                              : std::string("Lzvn");
                         });

TEST(LzfseScratch, CallerScratchGivesSameResult) {
    const auto vectors_ = load_vectors("lzfse", ".lzfse");
    REQUIRE_VECTORS(vectors_, "lzfse");
    // Reused across streams: nothing may leak from one decode into the next.
    auto scratch = std::make_unique<uint64_t[]>(lzfse_decode_scratch_size() / 8 + 2);
    for (const auto& v : vectors_) {
        SCOPED_TRACE(v.name);
        const Decoded d = decode_lzfse(v.packed, v.raw.size(), scratch.get());
        EXPECT_EQ(d.status, LZFSE_STATUS_OK);
        EXPECT_TRUE(d.out == v.raw);
        // A misaligned scratch is not used (the call allocates its own).
        void* odd = reinterpret_cast<uint8_t*>(scratch.get()) + 1;
        const Decoded o = decode_lzfse(v.packed, v.raw.size(), odd);
        EXPECT_EQ(o.status, LZFSE_STATUS_OK);
        EXPECT_TRUE(o.out == v.raw);
    }
}

} // namespace
} // namespace qtest
