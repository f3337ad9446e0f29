// LZFSE framing: block sequences built by hand, v1 headers, header damage.
#include "tests/support/lzfse_vectors.h"

#include <array>
#include <cstring>

namespace qtest {
namespace {

Bytes text(size_t n) {
    Bytes b;
    const char* words = "the volume header lists extents of the catalog file ";
    for (size_t i = 0; i < n; ++i) b.push_back(static_cast<uint8_t>(words[(i * 3) % 52]));
    return b;
}

uint32_t get_u32(const Bytes& b, size_t at) {
    uint32_t v;
    std::memcpy(&v, b.data() + at, 4);
    return v;
}

uint64_t get_u64(const Bytes& b, size_t at) {
    uint64_t v;
    std::memcpy(&v, b.data() + at, 8);
    return v;
}

// The blocks of an LZFSE stream, each as its bytes (the end marker excluded).
std::vector<Bytes> split_blocks(const Bytes& s) {
    std::vector<Bytes> blocks;
    size_t p = 0;
    for (;;) {
        const std::string magic(s.begin() + static_cast<ptrdiff_t>(p),
                                s.begin() + static_cast<ptrdiff_t>(p + 4));
        size_t len = 0;
        if (magic == "bvx$") break;
        if (magic == "bvx-") len = 8 + get_u32(s, p + 4);
        if (magic == "bvxn") len = 12 + get_u32(s, p + 8);
        if (magic == "bvx2") {
            const uint64_t w0 = get_u64(s, p + 8), w1 = get_u64(s, p + 16), w2 = get_u64(s, p + 24);
            len = (w2 & 0xFFFFFFFF) + ((w0 >> 20) & 0xFFFFF) + ((w1 >> 40) & 0xFFFFF);
        }
        if (len == 0) ADD_FAILURE() << "unexpected block " << magic;
        if (len == 0) break;
        blocks.emplace_back(s.begin() + static_cast<ptrdiff_t>(p),
                            s.begin() + static_cast<ptrdiff_t>(p + len));
        p += len;
    }
    return blocks;
}

// Rewrites a bvx2 block with the plain (v1) header layout.
Bytes to_v1(const Bytes& b) {
    const uint64_t w0 = get_u64(b, 8), w1 = get_u64(b, 16), w2 = get_u64(b, 24);
    auto bits = [](uint64_t w, unsigned lo, unsigned n) {
        return static_cast<uint32_t>((w >> lo) & ((uint64_t{1} << n) - 1));
    };
    const uint32_t header_size = bits(w2, 0, 32);
    // Frequency codewords, LSB first.
    std::array<uint16_t, 360> freq{};
    size_t bitpos = 0;
    auto bit = [&](size_t i) -> unsigned {
        const size_t at = 32 + (bitpos + i) / 8;
        return at < header_size ? (b[at] >> ((bitpos + i) % 8)) & 1 : 0;
    };
    for (auto& f : freq) {
        unsigned v = 0;
        for (unsigned i = 0; i < 14; ++i) v |= bit(i) << i;
        if ((v & 1) == 0)
            f = static_cast<uint16_t>((v >> 1) & 1), bitpos += 2;
        else if ((v & 3) == 1)
            f = static_cast<uint16_t>(2 + ((v >> 2) & 1)), bitpos += 3;
        else if ((v & 7) == 3)
            f = static_cast<uint16_t>(4 + ((v >> 3) & 3)), bitpos += 5;
        else if ((v & 15) == 7)
            f = static_cast<uint16_t>(8 + ((v >> 4) & 15)), bitpos += 8;
        else
            f = static_cast<uint16_t>(24 + ((v >> 4) & 1023)), bitpos += 14;
    }
    Bytes h;
    put_magic(h, "bvx1");
    put_u32(h, get_u32(b, 4));
    const uint32_t n_lit_payload = bits(w0, 20, 20), n_lmd_payload = bits(w1, 40, 20);
    put_u32(h, n_lit_payload + n_lmd_payload);
    put_u32(h, bits(w0, 0, 20));
    put_u32(h, bits(w0, 40, 20));
    put_u32(h, n_lit_payload);
    put_u32(h, n_lmd_payload);
    put_u32(h, bits(w0, 60, 3) - 7);
    auto put_u16 = [&](uint32_t v) {
        h.push_back(static_cast<uint8_t>(v));
        h.push_back(static_cast<uint8_t>(v >> 8));
    };
    for (unsigned i = 0; i < 4; ++i) put_u16(bits(w1, 10 * i, 10));
    put_u32(h, bits(w1, 60, 3) - 7);
    put_u16(bits(w2, 32, 10));
    put_u16(bits(w2, 42, 10));
    put_u16(bits(w2, 52, 10));
    for (uint16_t f : freq) put_u16(f);
    put_u16(0);
    EXPECT_EQ(h.size(), 772u);
    h.insert(h.end(), b.begin() + header_size, b.end());
    return h;
}

TEST(LzfseFraming, EndMarkerAlone) {
    const Decoded d = decode_lzfse(end_block(), 16);
    EXPECT_EQ(d.status, LZFSE_STATUS_OK);
    EXPECT_TRUE(d.out.empty());
    Bytes trailing = end_block();
    trailing.insert(trailing.end(), {0xDE, 0xAD});
    EXPECT_EQ(decode_lzfse(trailing, 16).status, LZFSE_STATUS_OK);
}

TEST(LzfseFraming, MissingEndOrUnknownMagic) {
    EXPECT_EQ(decode_lzfse({}, 16).status, LZFSE_STATUS_TRUNCATED);
    EXPECT_EQ(decode_lzfse({'b', 'v', 'x'}, 16).status, LZFSE_STATUS_TRUNCATED);
    EXPECT_EQ(decode_lzfse(stored_block(text(10)), 16).status, LZFSE_STATUS_TRUNCATED);
    EXPECT_EQ(decode_lzfse({'b', 'v', 'x', '3'}, 16).status, LZFSE_STATUS_CORRUPT);
    Bytes s = stored_block(text(10));
    append(s, {'B', 'V', 'X', '$'});
    EXPECT_EQ(decode_lzfse(s, 16).status, LZFSE_STATUS_CORRUPT);
    // Stored length beyond the input.
    Bytes big = stored_block(text(10));
    big[4] = 11;
    EXPECT_EQ(decode_lzfse(big, 16).status, LZFSE_STATUS_TRUNCATED);
}

TEST(LzfseFraming, TooSmallStopsAtTheFullBufferAndIgnoresTheRest) {
    Bytes s = stored_block(text(10));
    append(s, {'j', 'u', 'n', 'k'});
    const Decoded d = decode_lzfse(s, 4);
    EXPECT_EQ(d.status, LZFSE_STATUS_DST_TOO_SMALL);
    EXPECT_TRUE(d.out == Bytes(text(4)));
    uint8_t dst[4];
    EXPECT_EQ(lzfse_decode_buffer(dst, 4, s.data(), s.size(), nullptr), 4u);
    // With room for all of it, the damage behind is found.
    EXPECT_EQ(decode_lzfse(s, 10).status, LZFSE_STATUS_CORRUPT);
    uint8_t big[20];
    EXPECT_EQ(lzfse_decode_buffer(big, sizeof big, s.data(), s.size(), nullptr), 0u);
    EXPECT_EQ(lzfse_decode(nullptr, 0, s.data(), s.size(), nullptr, nullptr),
              LZFSE_STATUS_DST_TOO_SMALL);
}

TEST(LzfseLzvnBlock, ReachesIntoEarlierBlocks) {
    // The LZVN block repeats the stored block's 10 bytes (distance 10).
    Bytes s = stored_block(text(10));
    append(s, lzvn_block(10, {0x07 | (7 << 3), 10, 0, 0x06, 0, 0, 0, 0, 0, 0, 0}));
    append(s, end_block());
    const Decoded d = decode_lzfse(s, 32);
    EXPECT_EQ(d.status, LZFSE_STATUS_OK) << lzfse_status_name(d.status);
    Bytes want = text(10);
    append(want, text(10));
    EXPECT_TRUE(d.out == want);
}

TEST(LzfseLzvnBlock, DeclaredSizesMustMatch) {
    const Bytes payload = {0xE3, 'a', 'b', 'c', 0x06, 0, 0, 0, 0, 0, 0, 0};
    auto stream = [](uint32_t n_raw, const Bytes& p) {
        Bytes s = lzvn_block(n_raw, p);
        append(s, end_block());
        return s;
    };
    EXPECT_EQ(decode_lzfse(stream(3, payload), 32).status, LZFSE_STATUS_OK);
    EXPECT_EQ(decode_lzfse(stream(4, payload), 32).status, LZFSE_STATUS_CORRUPT);
    EXPECT_EQ(decode_lzfse(stream(2, payload), 32).status, LZFSE_STATUS_CORRUPT);
    Bytes extra = payload;
    extra.push_back(0);
    EXPECT_EQ(decode_lzfse(stream(3, extra), 32).status, LZFSE_STATUS_CORRUPT);
    const Bytes no_end(payload.begin(), payload.end() - 1);
    EXPECT_EQ(decode_lzfse(stream(3, no_end), 32).status, LZFSE_STATUS_CORRUPT);
    // A match at distance 0 with no distance seen in this block, even though
    // an earlier block set one.
    Bytes s = stored_block(text(4));
    append(s, lzvn_block(10, {0x07 | (7 << 3), 4, 0, 0x06, 0, 0, 0, 0, 0, 0, 0}));
    append(s, lzvn_block(3, {0xF3, 0x06, 0, 0, 0, 0, 0, 0, 0}));
    append(s, end_block());
    EXPECT_EQ(decode_lzfse(s, 64).status, LZFSE_STATUS_CORRUPT);
}

class LzfseVectorsBuilt : public ::testing::Test {
protected:
    void SetUp() override { vectors_ = load_vectors("lzfse", ".lzfse"); }
    std::vector<Vector> vectors_;
};

TEST_F(LzfseVectorsBuilt, V1HeadersDecodeLikeV2) {
    REQUIRE_VECTORS(vectors_, "lzfse");
    size_t converted = 0;
    for (const auto& v : vectors_) {
        SCOPED_TRACE(v.name);
        Bytes s;
        for (const Bytes& b : split_blocks(v.packed)) {
            if (std::memcmp(b.data(), "bvx2", 4) == 0) {
                append(s, to_v1(b));
                ++converted;
            } else {
                append(s, b);
            }
        }
        append(s, end_block());
        const Decoded d = decode_lzfse(s, v.raw.size());
        EXPECT_EQ(d.status, LZFSE_STATUS_OK) << lzfse_status_name(d.status);
        EXPECT_TRUE(d.out == v.raw);
    }
    EXPECT_GT(converted, 30u);
}

TEST_F(LzfseVectorsBuilt, MixedBlockKindsInOneStream) {
    REQUIRE_VECTORS(vectors_, "lzfse");
    const auto lzvn = load_vectors("lzvn", ".lzvn");
    REQUIRE_VECTORS(lzvn, "lzvn");
    Bytes s, want;
    append(s, stored_block(text(100)));
    append(want, text(100));
    for (const auto& v : vectors_) {
        if (v.name != "text-4096" && v.name != "matches-100000" && v.name != "text-4095") continue;
        for (const Bytes& b : split_blocks(v.packed))
            append(s, v.name == "matches-100000" ? to_v1(b) : b);
        append(want, v.raw);
    }
    for (const auto& v : lzvn) {
        if (v.name != "runs-4097") continue;
        append(s, lzvn_block(static_cast<uint32_t>(v.raw.size()), v.packed));
        append(want, v.raw);
    }
    append(s, stored_block({}));
    append(s, end_block());
    const Decoded d = decode_lzfse(s, want.size() + 1);
    EXPECT_EQ(d.status, LZFSE_STATUS_OK) << lzfse_status_name(d.status);
    EXPECT_TRUE(d.out == want);
}

// Field damage in a compressed block (zeros-4096: one bvx2 block).
TEST_F(LzfseVectorsBuilt, CompressedHeaderChecks) {
    const Vector* zeros = nullptr;
    for (const auto& v : vectors_)
        if (v.name == "zeros-4096") zeros = &v;
    if (zeros == nullptr) GTEST_SKIP() << "zeros-4096.lzfse absent";
    auto with = [&](auto change) {
        Bytes s = zeros->packed;
        change(s);
        return decode_lzfse(s, 8192).status;
    };
    EXPECT_EQ(with([](Bytes&) {}), LZFSE_STATUS_OK);
    // header_size 31 and header_size past the input.
    EXPECT_EQ(with([](Bytes& s) { s[24] = 31; }), LZFSE_STATUS_CORRUPT);
    EXPECT_EQ(with([](Bytes& s) { s[27] = 0x10; }), LZFSE_STATUS_TRUNCATED);
    // One more byte of frequency area: a whole unused byte.
    EXPECT_NE(with([](Bytes& s) { s[24] += 1; }), LZFSE_STATUS_OK);
    // Declared output one byte longer / shorter than the triples produce.
    EXPECT_EQ(with([](Bytes& s) { s[4] = 1; }), LZFSE_STATUS_CORRUPT);
    EXPECT_EQ(with([](Bytes& s) { s[5] = 0x0F, s[4] = 0xFF; }), LZFSE_STATUS_CORRUPT);
    // n_literals 5 (not a multiple of 4), and 0 with literals still used.
    EXPECT_EQ(with([](Bytes& s) { s[8] = 5; }), LZFSE_STATUS_CORRUPT);
    EXPECT_EQ(with([](Bytes& s) { s[8] = 0; }), LZFSE_STATUS_CORRUPT);
    // L state 64 (out of range for a 64-state table).
    EXPECT_EQ(with([](Bytes& s) { s[28] = (s[28] & 0xFC) | 0x00, s[28] = 64; }),
              LZFSE_STATUS_CORRUPT);
    // Non-zero padding bit above lmd_bits in the last L/M/D byte (0x3F -> 0x7F).
    EXPECT_EQ(with([](Bytes& s) { s[142] |= 0x40; }), LZFSE_STATUS_CORRUPT);
    // One more match than encoded: reads into the 64 padding bits.
    EXPECT_EQ(with([](Bytes& s) { s[13] = 4; }), LZFSE_STATUS_CORRUPT);
    // One fewer match: bits left over.
    EXPECT_EQ(with([](Bytes& s) { s[13] = 2; }), LZFSE_STATUS_CORRUPT);
    // Cut inside the body.
    EXPECT_EQ(with([](Bytes& s) { s.resize(140); }), LZFSE_STATUS_TRUNCATED);
}

} // namespace
} // namespace qtest
