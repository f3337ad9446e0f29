// Path components and attribute names to and from on-disk UTF-16 names.
#include "access/names.h"

#include <gtest/gtest.h>

#include <array>
#include <cerrno>
#include <string>
#include <vector>

namespace {

using U = std::vector<uint16_t>;

U units_of(const hfslib_uname& name) {
    return U(name.units, name.units + std::min<size_t>(name.length, 255));
}

// Converts a component; on failure returns the code with no units.
std::pair<int, U> component(std::string_view text) {
    hfslib_uname name{};
    name.length = 0x7777;
    int rc = hfs_path_to_uname(text, name);
    EXPECT_LE(name.length, 255);
    return {rc, rc == 0 ? units_of(name) : U{}};
}

hfslib_uname uname(const U& units) {
    hfslib_uname name{};
    name.length = static_cast<uint16_t>(units.size());
    std::copy(units.begin(), units.end(), name.units);
    return name;
}

std::string repeat(std::string_view piece, size_t times) {
    std::string s;
    for (size_t i = 0; i < times; ++i) s += piece;
    return s;
}

TEST(PathToUname, PlainAndDecomposed) {
    EXPECT_EQ(component("Read Me.txt"),
              std::make_pair(0, U{'R', 'e', 'a', 'd', ' ', 'M', 'e', '.', 't', 'x', 't'}));
    // Precomposed e acute to e + combining acute.
    EXPECT_EQ(component("caf\xC3\xA9"), std::make_pair(0, U{'c', 'a', 'f', 'e', 0x0301}));
    // Already decomposed input stays as it is.
    EXPECT_EQ(component("cafe\xCC\x81"), std::make_pair(0, U{'c', 'a', 'f', 'e', 0x0301}));
    // Multi-level decomposition: U+01D5 (U with diaeresis and macron).
    EXPECT_EQ(component("\xC7\x95"), std::make_pair(0, U{'U', 0x0308, 0x0304}));
    // Hangul syllable to its jamo.
    EXPECT_EQ(component("\xEA\xB0\x80"), std::make_pair(0, U{0x1100, 0x1161}));
}

TEST(PathToUname, ColonBecomesSlash) {
    EXPECT_EQ(component("a:b"), std::make_pair(0, U{'a', '/', 'b'}));
    EXPECT_EQ(component("::"), std::make_pair(0, U{'/', '/'}));
}

TEST(PathToUname, ExcludedCodePointsStayUnchanged) {
    // U+2126 OHM SIGN would otherwise become U+03A9.
    EXPECT_EQ(component("\xE2\x84\xA6"), std::make_pair(0, U{0x2126}));
    // U+F900 and U+FAFF (compatibility ideographs) would otherwise decompose.
    EXPECT_EQ(component("\xEF\xA4\x80\xEF\xAB\xBF"), std::make_pair(0, U{0xF900, 0xFAFF}));
    // Above U+FFFF: a surrogate pair, unchanged.
    EXPECT_EQ(component("\xF0\x9F\x98\x80"), std::make_pair(0, U{0xD83D, 0xDE00}));
    // U+1D15E (musical half note) has a canonical decomposition; it is kept.
    EXPECT_EQ(component("\xF0\x9D\x85\x9E"), std::make_pair(0, U{0xD834, 0xDD5E}));
    // Just above U+FAFF decomposition applies again: U+FB1D (yod with hiriq).
    EXPECT_EQ(component("\xEF\xAC\x9D"), std::make_pair(0, U{0x05D9, 0x05B4}));
}

TEST(PathToUname, CombiningMarksAreOrderedInEveryRun) {
    // acute (230) then grave-below (220) -> 220 first.
    EXPECT_EQ(component("a\xCC\x81\xCC\x96"), std::make_pair(0, U{'a', 0x0316, 0x0301}));
    // The decomposed acute of U+00E9 moves behind a following class-220 mark.
    EXPECT_EQ(component("\xC3\xA9\xCC\x96"), std::make_pair(0, U{'e', 0x0316, 0x0301}));
    // A name that begins with three marks in reverse class order:
    // ypogegrammeni (240), acute (230), grave below (220).
    EXPECT_EQ(component("\xCD\x85\xCC\x81\xCC\x96"), std::make_pair(0, U{0x0316, 0x0301, 0x0345}));
    // Four marks at the start, then a second run after a base letter.
    EXPECT_EQ(component("\xCD\x85\xCC\x81\xCC\x96\xD6\xB0x\xCD\x85\xCC\x96"),
              std::make_pair(0, U{0x05B0, 0x0316, 0x0301, 0x0345, 'x', 0x0316, 0x0345}));
    // Equal classes keep their order: acute and grave (both 230).
    EXPECT_EQ(component("a\xCC\x81\xCC\x80\xCC\x96"),
              std::make_pair(0, U{'a', 0x0316, 0x0301, 0x0300}));
    // A base letter (class 0) is a barrier: the marks after it do not move before it.
    EXPECT_EQ(component("\xCC\x81\x62\xCC\x96"), std::make_pair(0, U{0x0301, 'b', 0x0316}));
}

TEST(PathToUname, ExcludedCodePointsAreNeverReordered) {
    // U+1D165 (combining stem, class 216) is excluded: it stays after the acute.
    EXPECT_EQ(component("a\xCC\x81\xF0\x9D\x85\xA5"),
              std::make_pair(0, U{'a', 0x0301, 0xD834, 0xDD65}));
    // Nor does a lower-class mark move in front of it: sheva (10) stays after.
    EXPECT_EQ(component("a\xF0\x9D\x85\xA5\xD6\xB0"),
              std::make_pair(0, U{'a', 0xD834, 0xDD65, 0x05B0}));
    // ... and it separates two runs that are each ordered on their own.
    EXPECT_EQ(component("a\xCC\x81\xCC\x96\xF0\x9D\x85\xA5\xCD\x85\xCC\x96"),
              std::make_pair(0, U{'a', 0x0316, 0x0301, 0xD834, 0xDD65, 0x0316, 0x0345}));
}

TEST(PathToUname, InvalidOrEmptyComponentsNameNothing) {
    for (std::string_view bad :
         {std::string_view(""), std::string_view("\xC3"), std::string_view("ok\xFF"),
          std::string_view("\xC0\xAF"), std::string_view("\xED\xA0\x80"), std::string_view("\x80x"),
          std::string_view("\xF4\x90\x80\x80")}) {
        SCOPED_TRACE(testing::PrintToString(std::string(bad)));
        EXPECT_EQ(component(bad).first, -ENOENT);
    }
}

TEST(PathToUname, ComponentEndsAtItsNul) {
    EXPECT_EQ(component(std::string_view("ab\0cd", 5)), std::make_pair(0, U{'a', 'b'}));
    EXPECT_EQ(component(std::string_view("\0ab", 3)).first, -ENOENT);
    // The invalid byte after the NUL is not looked at.
    EXPECT_EQ(component(std::string_view("a\0\xFF", 3)), std::make_pair(0, U{'a'}));
}

TEST(PathToUname, NamesBeyond255UnitsAreRefused) {
    EXPECT_EQ(component(repeat("a", 255)).second.size(), 255u);
    EXPECT_EQ(component(repeat("a", 256)).first, -ENAMETOOLONG);
    // 127 x U+00E9 decompose to 254 units, 128 to 256 (only 256 bytes long).
    EXPECT_EQ(component(repeat("\xC3\xA9", 127)).second.size(), 254u);
    EXPECT_EQ(component(repeat("\xC3\xA9", 128)).first, -ENAMETOOLONG);
    // U+0390 decomposes to three code points: 85 fit exactly, 86 do not.
    EXPECT_EQ(component(repeat("\xCE\x90", 85)).second.size(), 255u);
    EXPECT_EQ(component(repeat("\xCE\x90", 86)).first, -ENAMETOOLONG);
    // Supplementary code points take two units each: 128 of them are 256.
    EXPECT_EQ(component(repeat("\xF0\x9F\x98\x80", 127)).second.size(), 254u);
    EXPECT_EQ(component(repeat("\xF0\x9F\x98\x80", 128)).first, -ENAMETOOLONG);
    // A very long component fails cleanly too; invalid UTF-8 in it still wins.
    EXPECT_EQ(component(repeat("\xC3\xA9", 50000)).first, -ENAMETOOLONG);
    EXPECT_EQ(component(repeat("\xC3\xA9", 50000) + "\xFF").first, -ENOENT);
}

TEST(UnameToText, PathNamesShowSlashAsColon) {
    std::array<char, HFS_NAME_TEXT_BUF> text{};
    EXPECT_EQ(hfs_uname_to_path_name(uname({'a', '/', 'b', 0xE9}), text), 5);
    EXPECT_STREQ(text.data(), "a:b\xC3\xA9");
    EXPECT_EQ(hfs_uname_to_attr_name(uname({'a', '/', 'b'}), text), 3);
    EXPECT_STREQ(text.data(), "a/b");
    EXPECT_EQ(hfs_uname_to_path_name(uname({}), text), 0);
    EXPECT_STREQ(text.data(), "");
}

TEST(UnameToText, UnconvertibleUnitsAreAnIllegalSequence) {
    std::array<char, HFS_NAME_TEXT_BUF> text{};
    EXPECT_EQ(hfs_uname_to_path_name(uname({'a', 0xD800, 'b', 0xDC00}), text), -EILSEQ);
    EXPECT_STREQ(text.data(), "ab"); // the rest is still there, terminated
    EXPECT_EQ(hfs_uname_to_attr_name(uname({0xDFFF}), text), -EILSEQ);
    EXPECT_STREQ(text.data(), "");
}

TEST(UnameToText, LongestNamesFitAndCorruptLengthsAreBounded) {
    // The largest text a name can make, in a buffer of exactly 766 bytes.
    std::array<char, HFS_NAME_TEXT_BUF> text;
    text.fill('\xAA');
    EXPECT_EQ(hfs_uname_to_path_name(uname(U(255, 0x20AC)), text), 765);
    EXPECT_EQ(text[765], '\0');
    EXPECT_EQ(std::string(text.data(), 3), "\xE2\x82\xAC");

    // A length field beyond the array is read as 255.
    hfslib_uname bad = uname(U(255, 'x'));
    bad.length = 0xFFFF;
    EXPECT_EQ(hfs_uname_to_attr_name(bad, text), 255);
    EXPECT_EQ(std::string(text.data()), std::string(255, 'x'));
}

TEST(AttrNameToUname, ConvertsAsItIs) {
    hfslib_uname name{};
    EXPECT_EQ(hfs_attr_name_to_uname("com.apple.FinderInfo", name), 20);
    EXPECT_EQ(units_of(name).size(), 20u);
    // No decomposition, no exchange of ':'.
    EXPECT_EQ(hfs_attr_name_to_uname("a:\xC3\xA9/", name), 4);
    EXPECT_EQ(units_of(name), (U{'a', ':', 0xE9, '/'}));
    EXPECT_EQ(hfs_attr_name_to_uname("", name), 0);
    EXPECT_EQ(name.length, 0);
    EXPECT_EQ(hfs_attr_name_to_uname(std::string_view("ab\0cd", 5), name), 2);
}

TEST(AttrNameToUname, FailuresAreNegative) {
    hfslib_uname name{};
    EXPECT_EQ(hfs_attr_name_to_uname("a\xFF\xFE\x62", name), -EILSEQ);
    EXPECT_EQ(hfs_attr_name_to_uname(repeat("n", 255), name), 255);
    EXPECT_EQ(name.length, 255);
    EXPECT_EQ(hfs_attr_name_to_uname(repeat("n", 256), name), -ENAMETOOLONG);
    EXPECT_EQ(name.length, 0);
    EXPECT_EQ(hfs_attr_name_to_uname(repeat("\xF0\x9F\x98\x80", 200), name), -ENAMETOOLONG);
    EXPECT_EQ(name.length, 0);
}

TEST(NameRoundTrip, ComponentToNameAndBack) {
    hfslib_uname name{};
    ASSERT_EQ(hfs_path_to_uname("r\xC3\xA9sum\xC3\xA9:2024", name), 0);
    std::array<char, HFS_NAME_TEXT_BUF> text{};
    const int len = hfs_uname_to_path_name(name, text);
    // The decomposed form comes back, with the colon.
    EXPECT_EQ(std::string(text.data(), len), "re\xCC\x81sume\xCC\x81:2024");
}

} // namespace
