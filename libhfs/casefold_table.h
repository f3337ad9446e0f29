// The HFS Plus case-folding table: the lower-case table of the published
// HFS Plus case-insensitive name order. Entries 0 to 255 index pages by high
// byte (0 = the high byte folds to itself); each page holds the folded value
// of every code unit with that high byte, indexed by the low byte. A folded
// value of 0 marks a code unit the comparison ignores.
//
// This header holds plain constants only and is shared by the reader and the
// volume builder.
#pragma once

#include <array>
#include <cstdint>

namespace hfs_casefold_detail {

constexpr std::array<uint16_t, 10> page_high_bytes = {0x00, 0x01, 0x03, 0x04, 0x05,
                                                      0x10, 0x20, 0x21, 0xFE, 0xFF};

struct fold_pair {
    uint16_t unit;
    uint16_t folded;
};

constexpr std::array<fold_pair, 19> page01_listed = {{
    {0x0181, 0x0253}, {0x0186, 0x0254}, {0x0189, 0x0256}, {0x018A, 0x0257}, {0x018E, 0x01DD},
    {0x018F, 0x0259}, {0x0190, 0x025B}, {0x0193, 0x0260}, {0x0194, 0x0263}, {0x0196, 0x0269},
    {0x0197, 0x0268}, {0x019C, 0x026F}, {0x019D, 0x0272}, {0x019F, 0x0275}, {0x01A9, 0x0283},
    {0x01AE, 0x0288}, {0x01B1, 0x028A}, {0x01B2, 0x028B}, {0x01B7, 0x0292},
}};

constexpr std::array<uint16_t, 27> page01_plus1 = {
    0x0110, 0x0126, 0x0132, 0x013F, 0x0141, 0x014A, 0x0152, 0x0166, 0x0182,
    0x0184, 0x0187, 0x018B, 0x0191, 0x0198, 0x01A2, 0x01A4, 0x01A7, 0x01AC,
    0x01B3, 0x01B5, 0x01B8, 0x01BC, 0x01C5, 0x01C8, 0x01CB, 0x01E4, 0x01F2};

constexpr std::array<uint16_t, 4> page01_plus2 = {0x01C4, 0x01C7, 0x01CA, 0x01F1};

// The folded value of one code unit inside the ten paged blocks.
constexpr uint16_t fold_unit(uint16_t u) {
    auto in = [u](uint16_t lo, uint16_t hi) { return u >= lo && u <= hi; };
    switch (u >> 8) {
    case 0x00:
        if (u == 0x0000) return 0xFFFF;
        if (in(0x41, 0x5A) || u == 0xC6 || u == 0xD0 || u == 0xD8 || u == 0xDE) return u + 0x20;
        return u;
    case 0x01:
        for (auto v : page01_plus1)
            if (u == v) return u + 1;
        for (auto v : page01_plus2)
            if (u == v) return u + 2;
        for (auto p : page01_listed)
            if (u == p.unit) return p.folded;
        return u;
    case 0x03:
        if (in(0x0391, 0x03A1) || in(0x03A3, 0x03A9)) return u + 0x20;
        if (in(0x03E2, 0x03EE) && (u % 2 == 0)) return u + 1;
        return u;
    case 0x04:
        if (u == 0x0402 || in(0x0404, 0x0406) || in(0x0408, 0x040B) || u == 0x040F) return u + 0x50;
        if (in(0x0410, 0x0418) || in(0x041A, 0x042F)) return u + 0x20;
        if (u % 2 == 0 && (in(0x0460, 0x0474) || in(0x0478, 0x0480) || in(0x0490, 0x04BE)))
            return u + 1;
        if (u == 0x04C3 || u == 0x04C7 || u == 0x04CB) return u + 1;
        return u;
    case 0x05:
        if (in(0x0531, 0x0556)) return u + 0x30;
        return u;
    case 0x10:
        if (in(0x10A0, 0x10C5)) return u + 0x30;
        return u;
    case 0x20:
        if (in(0x200C, 0x200F) || in(0x202A, 0x202E) || in(0x206A, 0x206F)) return 0;
        return u;
    case 0x21:
        if (in(0x2160, 0x216F)) return u + 0x10;
        return u;
    case 0xFE:
        if (u == 0xFEFF) return 0;
        return u;
    case 0xFF:
        if (in(0xFF21, 0xFF3A)) return u + 0x20;
        return u;
    default:
        return u;
    }
}

constexpr std::array<uint16_t, 2816> build_table() {
    std::array<uint16_t, 2816> t{};
    for (std::size_t p = 0; p < page_high_bytes.size(); ++p) {
        uint16_t high = page_high_bytes[p];
        uint16_t pos = static_cast<uint16_t>(0x100 * (p + 1));
        t[high] = pos;
        for (unsigned low = 0; low < 256; ++low)
            t[pos + low] = fold_unit(static_cast<uint16_t>((high << 8) | low));
    }
    return t;
}

} // namespace hfs_casefold_detail

// 2,816 entries: 256 high-byte index entries followed by ten 256-entry pages.
inline constexpr std::array<uint16_t, 2816> hfslib_lower_case_table =
    hfs_casefold_detail::build_table();

// Folds one code unit as the case-insensitive order does; 0 means "ignored".
constexpr uint16_t hfslib_fold_unit(uint16_t unit) {
    uint16_t page = hfslib_lower_case_table[unit >> 8];
    return page == 0 ? unit : hfslib_lower_case_table[page + (unit & 0xFF)];
}

static_assert(hfslib_fold_unit(u'A') == u'a');
static_assert(hfslib_fold_unit(0x0000) == 0xFFFF);
static_assert(hfslib_fold_unit(0xFEFF) == 0);
static_assert(hfslib_fold_unit(0x0419) == 0x0419);
static_assert(hfslib_fold_unit(0x0476) == 0x0476);
static_assert(hfslib_fold_unit(0x00C0) == 0x00C0);
static_assert(hfslib_lower_case_table[0x20] == 0x700);
