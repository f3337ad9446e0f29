// unicode: conversions between UTF-8 text and UTF-16 code units.
//
// Both converters work on counted buffers (never on terminated strings),
// write no terminator, never allocate and never fail as a whole: invalid
// input is skipped and counted in *errors, and the caller decides what a
// nonzero count means. Output that does not fit is cut off silently; the
// result is always the size the whole input needs, so a call with a null (or
// empty) destination counts without writing.
//
// `flags` is reserved: no option is defined and every value converts as 0.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

// Maximum UTF-8 bytes for one name of 255 code units (3 bytes per unit at
// most: a surrogate pair, 2 units, gives 4 bytes).
inline constexpr size_t UNICODE_NAME_UNITS_MAX = 255;
inline constexpr size_t UNICODE_NAME_UTF8_MAX = UNICODE_NAME_UNITS_MAX * 3;

// UTF-8 bytes to UTF-16 code units (host order).
//
// dst: room for dst_units units, or null to count only. src/src_len: the
// bytes; a NUL inside the range converts like any other byte. Invalid
// sequences (stray continuation bytes, bad lead bytes, truncated sequences,
// overlong forms, encoded surrogates, values above U+10FFFF) are skipped and
// counted. A surrogate pair that meets the end of the room keeps its high half
// and loses the low half. Returns the number of units the whole input yields.
size_t unicode_utf8_to_units(uint16_t* dst, size_t dst_units, const char* src, size_t src_len,
                             int flags, int* errors) noexcept;

// UTF-16 code units to UTF-8 bytes.
//
// dst: room for dst_len bytes, or null to count only. Unpaired surrogates are
// skipped and counted. A sequence is written only when all its bytes fit; after
// the first one that does not fit nothing more is written. Returns the number
// of bytes the whole input yields.
size_t unicode_units_to_utf8(char* dst, size_t dst_len, const uint16_t* src, size_t src_units,
                             int flags, int* errors) noexcept;

// Span forms of the same converters; an empty destination counts only.
inline size_t unicode_utf8_to_units(std::span<uint16_t> dst, std::string_view src,
                                    int* errors = nullptr) noexcept {
    return unicode_utf8_to_units(dst.data(), dst.size(), src.data(), src.size(), 0, errors);
}

inline size_t unicode_units_to_utf8(std::span<char> dst, std::span<const uint16_t> src,
                                    int* errors = nullptr) noexcept {
    return unicode_units_to_utf8(dst.data(), dst.size(), src.data(), src.size(), 0, errors);
}
