// The UTF-8 <-> UTF-16 converters.
#include "libhfs/unicode.h"

#include <gtest/gtest.h>

#include <array>
#include <string>
#include <vector>

namespace {

struct units_result {
    std::vector<uint16_t> units; // what was stored
    size_t count;                // what was returned
    int errors;
};

units_result to_units(std::string_view bytes, size_t room = 64) {
    std::vector<uint16_t> buf(room, 0xAAAA);
    int errors = -1;
    size_t n = unicode_utf8_to_units(buf.data(), room, bytes.data(), bytes.size(), 0, &errors);
    buf.resize(std::min(n, room));
    return {buf, n, errors};
}

struct bytes_result {
    std::string bytes;
    size_t count;
    int errors;
};

bytes_result to_utf8(std::vector<uint16_t> units, size_t room = 64) {
    std::string buf(room, '\xAA');
    int errors = -1;
    size_t n = unicode_units_to_utf8(buf.data(), room, units.data(), units.size(), 0, &errors);
    buf.resize(std::min(n, room));
    return {buf, n, errors};
}

using U = std::vector<uint16_t>;

TEST(Utf8ToUnits, ValidSequencesOfEveryLength) {
    auto r = to_units("A\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80");
    EXPECT_EQ(r.units, (U{0x41, 0xE9, 0x20AC, 0xD83D, 0xDE00}));
    EXPECT_EQ(r.count, 5u);
    EXPECT_EQ(r.errors, 0);

    // The edges of each length, and the last code point.
    r = to_units("\x7F\xC2\x80\xDF\xBF\xE0\xA0\x80\xEF\xBF\xBF\xF0\x90\x80\x80\xF4\x8F\xBF\xBF");
    EXPECT_EQ(r.units, (U{0x7F, 0x80, 0x7FF, 0x800, 0xFFFF, 0xD800, 0xDC00, 0xDBFF, 0xDFFF}));
    EXPECT_EQ(r.errors, 0);
}

TEST(Utf8ToUnits, NulInsideTheRangeIsConverted) {
    auto r = to_units(std::string_view("a\0b", 3));
    EXPECT_EQ(r.units, (U{'a', 0, 'b'}));
    EXPECT_EQ(r.errors, 0);
}

TEST(Utf8ToUnits, EmptyInputResetsTheErrorCount) {
    int errors = 42;
    EXPECT_EQ(unicode_utf8_to_units(nullptr, 0, "", 0, 0, &errors), 0u);
    EXPECT_EQ(errors, 0);
    errors = 42;
    EXPECT_EQ(unicode_units_to_utf8(nullptr, 0, nullptr, 0, 0, &errors), 0u);
    EXPECT_EQ(errors, 0);
}

TEST(Utf8ToUnits, InvalidSequencesAreSkippedAndCounted) {
    struct tcase {
        const char* what;
        std::string bytes;
        U units;
        int errors;
    };
    const std::vector<tcase> cases = {
        {"overlong two-byte slash (2 bytes consumed)", "\xC0\xAF\x41", {'A'}, 1},
        {"overlong two-byte C1", "\xC1\xBF", {}, 1},
        {"encoded high surrogate (3 bytes)", "\xED\xA0\x80\x41", {'A'}, 1},
        {"encoded low surrogate", "\xED\xBF\xBF", {}, 1},
        {"overlong three-byte form", "\xE0\x80\xAF\x41", {'A'}, 1},
        {"overlong four-byte form (4 bytes)", "\xF0\x8F\xBF\xBF\x41", {'A'}, 1},
        {"above U+10FFFF (4 bytes)", "\xF4\x90\x80\x80\x41", {'A'}, 1},
        {"F4 BF BF BF (4 bytes)", "\xF4\xBF\xBF\xBF", {}, 1},
        {"lone continuation", "\x80", {}, 1},
        {"lone three-byte lead at the end", "\xE2", {}, 1},
        {"two of three bytes at the end: two errors", "\xE2\x82", {}, 2},
        {"three of four bytes at the end: three errors", "\xF0\x9F\x98", {}, 3},
        {"lead followed by ASCII keeps the ASCII", "\xC3\x41", {'A'}, 1},
        {"three-byte lead with a bad second continuation", "\xE2\x82\x41", {'A'}, 2},
        {"bytes F5 and FF", "\xF5\xFF\x41", {'A'}, 2},
        {"valid around invalid", "\xC3\xA9\xFF\xC3\xA9", {0xE9, 0xE9}, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        auto r = to_units(c.bytes);
        EXPECT_EQ(r.units, c.units);
        EXPECT_EQ(r.count, c.units.size());
        EXPECT_EQ(r.errors, c.errors);
    }
}

TEST(Utf8ToUnits, CapacityCutsOutputButNotTheCount) {
    // A surrogate pair at the end of the room keeps only its high half.
    auto r = to_units("\xF0\x9F\x98\x80", 1);
    EXPECT_EQ(r.units, (U{0xD83D}));
    EXPECT_EQ(r.count, 2u);

    std::array<uint16_t, 4> buf{0xAAAA, 0xAAAA, 0xAAAA, 0xAAAA};
    EXPECT_EQ(unicode_utf8_to_units(buf.data(), 2, "abcd", 4, 0, nullptr), 4u);
    EXPECT_EQ(buf, (std::array<uint16_t, 4>{'a', 'b', 0xAAAA, 0xAAAA}));

    // Counting only.
    int errors = -1;
    EXPECT_EQ(unicode_utf8_to_units(nullptr, 100, "\xE2\x82\xAC\xFF", 4, 0, &errors), 1u);
    EXPECT_EQ(errors, 1);
    EXPECT_EQ(unicode_utf8_to_units(std::span<uint16_t>{}, "h\xC3\xA9llo"), 5u);
}

TEST(UnitsToUtf8, ValidUnits) {
    auto r = to_utf8({0x41, 0xE9, 0x7FF, 0x800, 0x20AC, 0xFFFF, 0xD83D, 0xDE00, 0xDBFF, 0xDFFF});
    EXPECT_EQ(r.bytes, "A\xC3\xA9\xDF\xBF\xE0\xA0\x80\xE2\x82\xAC\xEF\xBF\xBF\xF0\x9F\x98\x80"
                       "\xF4\x8F\xBF\xBF");
    EXPECT_EQ(r.errors, 0);
    r = to_utf8({0});
    EXPECT_EQ(r.bytes, std::string(1, '\0'));
}

TEST(UnitsToUtf8, UnpairedSurrogatesAreSkippedAndCounted) {
    auto r = to_utf8({0xD800, 0x41});
    EXPECT_EQ(r.bytes, "A");
    EXPECT_EQ(r.errors, 1);
    r = to_utf8({0xDC00});
    EXPECT_EQ(r.bytes, "");
    EXPECT_EQ(r.count, 0u);
    EXPECT_EQ(r.errors, 1);
    r = to_utf8({0x41, 0xD83D});
    EXPECT_EQ(r.bytes, "A");
    EXPECT_EQ(r.errors, 1);
    // A high surrogate followed by another high surrogate and its low half.
    r = to_utf8({0xD800, 0xD83D, 0xDE00});
    EXPECT_EQ(r.bytes, "\xF0\x9F\x98\x80");
    EXPECT_EQ(r.errors, 1);
    // Reversed pair: both halves are unpaired.
    r = to_utf8({0xDE00, 0xD83D});
    EXPECT_EQ(r.bytes, "");
    EXPECT_EQ(r.errors, 2);
}

TEST(UnitsToUtf8, NothingIsWrittenAfterTheFirstSequenceThatDoesNotFit) {
    std::string buf(4, '\xAA');
    int errors = -1;
    const uint16_t units[] = {0x41, 0x20AC, 0x42};
    EXPECT_EQ(unicode_units_to_utf8(buf.data(), 2, units, 3, 0, &errors), 5u);
    EXPECT_EQ(buf, std::string("A\xAA\xAA\xAA"));
    EXPECT_EQ(errors, 0);

    // A four-byte sequence with three bytes of room.
    const uint16_t pair[] = {0xD83D, 0xDE00};
    EXPECT_EQ(unicode_units_to_utf8(buf.data(), 3, pair, 2, 0, nullptr), 4u);
    EXPECT_EQ(buf, std::string("A\xAA\xAA\xAA"));
}

TEST(UnitsToUtf8, CountsWithoutABuffer) {
    std::vector<uint16_t> euros(255, 0x20AC);
    EXPECT_EQ(unicode_units_to_utf8(nullptr, 0, euros.data(), euros.size(), 0, nullptr), 765u);
    EXPECT_EQ(unicode_units_to_utf8(std::span<char>{}, euros), 765u);
}

// Every BMP scalar value and a spread of supplementary ones survive the round
// trip, and the UTF-8 length matches the count.
TEST(UnicodeRoundTrip, EveryScalarValueSurvives) {
    for (uint32_t cp = 0; cp <= 0x10FFFF; cp = (cp < 0x10000 ? cp + 1 : cp + 0x3FF)) {
        if (cp >= 0xD800 && cp <= 0xDFFF) continue;
        std::vector<uint16_t> in;
        if (cp < 0x10000) {
            in = {static_cast<uint16_t>(cp)};
        } else {
            in = {static_cast<uint16_t>(0xD800 | ((cp - 0x10000) >> 10)),
                  static_cast<uint16_t>(0xDC00 | (cp & 0x3FF))};
        }
        char bytes[4];
        int e1 = -1, e2 = -1;
        const size_t n = unicode_units_to_utf8(bytes, 4, in.data(), in.size(), 0, &e1);
        const size_t expect = cp < 0x80 ? 1 : cp < 0x800 ? 2 : cp < 0x10000 ? 3 : 4;
        ASSERT_EQ(n, expect) << std::hex << cp;
        uint16_t back[2] = {0, 0};
        const size_t m = unicode_utf8_to_units(back, 2, bytes, n, 0, &e2);
        ASSERT_EQ(m, in.size()) << std::hex << cp;
        ASSERT_EQ(std::vector<uint16_t>(back, back + m), in) << std::hex << cp;
        ASSERT_EQ(e1 + e2, 0) << std::hex << cp;
    }
}

} // namespace
