// Raw LZVN streams built by hand: instruction classes, match copies of every
// short distance, and the error cases.
#include "tests/support/lzfse_vectors.h"

namespace qtest {
namespace {

Bytes with_end(Bytes b) {
    append(b, kLzvnEnd);
    return b;
}

// Literal instructions carrying `data` (0xE1..0xEF and 0xE0 n forms).
Bytes literals(const Bytes& data) {
    Bytes b;
    size_t p = 0;
    while (data.size() - p >= 16) {
        const size_t c = std::min<size_t>(data.size() - p, 271);
        b.push_back(0xE0);
        b.push_back(static_cast<uint8_t>(c - 16));
        b.insert(b.end(), data.begin() + static_cast<ptrdiff_t>(p),
                 data.begin() + static_cast<ptrdiff_t>(p + c));
        p += c;
    }
    if (p < data.size()) {
        b.push_back(static_cast<uint8_t>(0xE0 + data.size() - p));
        b.insert(b.end(), data.begin() + static_cast<ptrdiff_t>(p), data.end());
    }
    return b;
}

// Large-distance match (no literals): M 3..10, distance as u16.
Bytes large_distance(unsigned m, unsigned d) {
    return {static_cast<uint8_t>(((m - 3) << 3) | 7), static_cast<uint8_t>(d),
            static_cast<uint8_t>(d >> 8)};
}

// Match of 16..271 bytes at the previous distance.
Bytes large_match(unsigned m) {
    return {0xF0, static_cast<uint8_t>(m - 16)};
}

// The one-byte-at-a-time copy the format defines.
void naive_match(Bytes& out, size_t dist, size_t len) {
    for (size_t i = 0; i < len; ++i) out.push_back(out[out.size() - dist]);
}

TEST(LzvnCopies, EveryShortDistanceAndLengthMatchesBytewiseCopy) {
    for (unsigned dist = 1; dist <= 40; ++dist) {
        for (unsigned m : {3u, 4u, 7u, 10u}) {
            Bytes prefix;
            for (unsigned i = 0; i < dist; ++i) prefix.push_back(static_cast<uint8_t>(i * 37 + 1));
            Bytes stream = literals(prefix);
            append(stream, large_distance(m, dist));
            append(stream, large_match(200));
            stream.push_back(0xF5); // 5 more at the same distance
            stream = with_end(stream);
            Bytes want = prefix;
            naive_match(want, dist, m);
            naive_match(want, dist, 200);
            naive_match(want, dist, 5);
            SCOPED_TRACE("distance " + std::to_string(dist) + " length " + std::to_string(m));
            // Roomy (wide copies) and exact (careful copies) destinations.
            for (size_t extra : {size_t{0}, size_t{1}, size_t{64}}) {
                const Decoded d = decode_lzvn(stream, want.size() + extra);
                EXPECT_EQ(d.status, LZFSE_STATUS_OK);
                EXPECT_TRUE(d.out == want);
            }
        }
    }
}

TEST(LzvnInstructions, AllDistanceFormsAndNops) {
    Bytes data;
    for (int i = 0; i < 3000; ++i) data.push_back(static_cast<uint8_t>(i * 7 + i / 13));
    Bytes s = literals(data);
    Bytes want = data;
    // sD: L=2, M=4, D=0x123; two literal bytes follow the opcode.
    s.insert(s.end(), {static_cast<uint8_t>((2 << 6) | (1 << 3) | 0x1), 0x23, 0xAA, 0xBB});
    want.insert(want.end(), {0xAA, 0xBB});
    naive_match(want, 0x123, 4);
    // NOPs in between.
    s.insert(s.end(), {0x0E, 0x16});
    // mD: L=1, M-3 = 0b10110 (22), D=2263.
    {
        const unsigned m3 = 22, d = 2263;
        const unsigned w = (d << 2) | (m3 & 3);
        s.insert(s.end(), {static_cast<uint8_t>(0xA0 | (1 << 3) | (m3 >> 2)),
                           static_cast<uint8_t>(w), static_cast<uint8_t>(w >> 8), 0xCC});
        want.push_back(0xCC);
        naive_match(want, d, m3 + 3);
    }
    // pD: L=3, M=4 at the previous distance (2263).
    s.insert(s.end(), {static_cast<uint8_t>((3 << 6) | (1 << 3) | 6), 1, 2, 3});
    want.insert(want.end(), {1, 2, 3});
    naive_match(want, 2263, 4);
    // pD: L=1, M=8.
    s.insert(s.end(), {static_cast<uint8_t>((1 << 6) | (5 << 3) | 6), 4});
    want.push_back(4);
    naive_match(want, 2263, 8);
    // lD: L=0, M=9, D=3001.
    append(s, large_distance(9, 3001));
    naive_match(want, 3001, 9);
    s = with_end(s);
    const Decoded d = decode_lzvn(s, want.size());
    EXPECT_EQ(d.status, LZFSE_STATUS_OK) << lzfse_status_name(d.status);
    EXPECT_TRUE(d.out == want);
}

TEST(LzvnInstructions, BytesAfterEndAreIgnored) {
    Bytes s = with_end(literals({'a', 'b', 'c'}));
    s.insert(s.end(), {0x70, 0xFF, 0x00});
    const Decoded d = decode_lzvn(s, 10);
    EXPECT_EQ(d.status, LZFSE_STATUS_OK);
    EXPECT_TRUE(d.out == (Bytes{'a', 'b', 'c'}));
}

TEST(LzvnInstructions, EmptyStreamIsOkButPlainCallCannotTellItFromAnError) {
    size_t produced = 7;
    uint8_t dst[4];
    EXPECT_EQ(lzvn_decode(dst, sizeof dst, kLzvnEnd.data(), kLzvnEnd.size(), &produced),
              LZFSE_STATUS_OK);
    EXPECT_EQ(produced, 0u);
    EXPECT_EQ(lzvn_decode_buffer(dst, sizeof dst, kLzvnEnd.data(), kLzvnEnd.size()), 0u);
    EXPECT_EQ(lzvn_decode(nullptr, 0, kLzvnEnd.data(), kLzvnEnd.size(), nullptr), LZFSE_STATUS_OK);
}

TEST(LzvnErrors, UndefinedOpcodes) {
    for (unsigned op = 0; op < 256; ++op) {
        const bool undefined = op == 0x1E || op == 0x26 || op == 0x2E || op == 0x36 || op == 0x3E ||
                               (op >= 0x70 && op <= 0x7F) || (op >= 0xD0 && op <= 0xDF);
        if (!undefined) continue;
        Bytes s = literals({1, 2, 3, 4});
        s.push_back(static_cast<uint8_t>(op));
        s.insert(s.end(), 8, 0);
        EXPECT_EQ(decode_lzvn(s, 100).status, LZFSE_STATUS_CORRUPT) << "opcode " << op;
    }
}

TEST(LzvnErrors, BadDistances) {
    // Distance 0, and one byte further back than the output reaches (after
    // the instruction's own literal).
    const Bytes zero = with_end(Bytes{0xE2, 'x', 'y', 0x40 | 0x07, 0x00, 0x00, 'z'});
    EXPECT_EQ(decode_lzvn(zero, 100).status, LZFSE_STATUS_CORRUPT);
    const Bytes too_far = with_end(Bytes{0xE2, 'x', 'y', 0x40 | 0x07, 0x04, 0x00, 'z'});
    EXPECT_EQ(decode_lzvn(too_far, 100).status, LZFSE_STATUS_CORRUPT);
    const Bytes just_right = with_end(Bytes{0xE2, 'x', 'y', 0x40 | 0x07, 0x03, 0x00, 'z'});
    const Decoded ok = decode_lzvn(just_right, 100);
    EXPECT_EQ(ok.status, LZFSE_STATUS_OK);
    EXPECT_TRUE(ok.out == (Bytes{'x', 'y', 'z', 'x', 'y', 'z'}));
}

TEST(LzvnErrors, PreviousDistanceBeforeAnyDistance) {
    // Small match, large match and previous-distance match with no distance yet.
    for (const Bytes& op : {Bytes{0xF3}, Bytes{0xF0, 0x01}, Bytes{0x46, 'q'}}) {
        Bytes s = literals({'a', 'b', 'c'});
        append(s, op);
        EXPECT_EQ(decode_lzvn(with_end(s), 100).status, LZFSE_STATUS_CORRUPT);
    }
}

TEST(LzvnErrors, TruncatedInstructions) {
    // Each of these stops inside an instruction or before the end marker.
    const std::vector<Bytes> cases = {
        {},
        {0xE3, 'a', 'b'},                    // literal bytes missing
        {0xE0},                              // length byte missing
        {0xE1, 'a', 0x09},                   // second byte of a small-distance match
        {0xE1, 'a', 0xA0, 0x04},             // medium-distance match cut
        {0xE1, 'a', 0x07, 0x01},             // large-distance match cut
        {0xE1, 'a', 0x06, 0, 0, 0, 0, 0, 0}, // end marker of 7 bytes
        {0xE1, 'a', 0x0E},                   // no end marker at all
    };
    for (const auto& s : cases)
        EXPECT_EQ(decode_lzvn(s, 100).status, LZFSE_STATUS_TRUNCATED) << "case of " << s.size();
}

TEST(LzvnOutput, TooSmallFillsExactlyAndStops) {
    Bytes s = literals({'a', 'b', 'c', 'd'});
    append(s, large_distance(10, 4));
    s.push_back(0x70); // undefined, but never reached
    for (size_t size = 0; size < 14; ++size) {
        const Decoded d = decode_lzvn(s, size);
        EXPECT_EQ(d.status, LZFSE_STATUS_DST_TOO_SMALL) << size;
        const Bytes want =
            Bytes{'a', 'b', 'c', 'd', 'a', 'b', 'c', 'd', 'a', 'b', 'c', 'd', 'a', 'b'};
        EXPECT_TRUE(d.out == Bytes(want.begin(), want.begin() + static_cast<ptrdiff_t>(size)));
        Bytes dst(size);
        EXPECT_EQ(lzvn_decode_buffer(dst.data(), size, s.data(), s.size()), size);
    }
}

} // namespace
} // namespace qtest
