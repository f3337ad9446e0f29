// Output window and the byte-copy primitives shared by the LZFSE and LZVN
// decoders. Internal to the lzfse library.
#pragma once

#include "lzfse/lzfse.h"

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

namespace quorvel::lzfse_detail {

// Spare bytes the wide copies may write past the end of a literal run or a
// match (and read past the end of a literal run).
inline constexpr size_t kWideSlack = 16;

inline void copy16(uint8_t* d, const uint8_t* s) noexcept {
    std::memcpy(d, s, 16);
}

inline uint16_t load_u16(const uint8_t* p) noexcept {
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

inline uint32_t load_u32(const uint8_t* p) noexcept {
    uint32_t v;
    std::memcpy(&v, p, 4);
    if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap32(v);
    return v;
}

inline uint64_t load_u64(const uint8_t* p) noexcept {
    uint64_t v;
    std::memcpy(&v, p, 8);
    if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap64(v);
    return v;
}

// The destination of one decode call. Bytes [0, pos) are decoded output;
// `end` is the first position the current block may not reach: the smaller of
// the caller's buffer size and the block's declared output end.
struct Output {
    uint8_t* base;
    size_t pos;
    size_t cap;       // caller's dst_size
    size_t block_end; // declared end of the current block (SIZE_MAX: none)

    size_t end() const noexcept { return std::min(cap, block_end); }
    size_t room() const noexcept { return end() - pos; }

    // Status when `need` more bytes do not fit: either the block would
    // exceed its declared size (corrupt) or the caller's buffer is full.
    lzfse_status overflow(size_t need) const noexcept {
        return need > block_end - pos ? LZFSE_STATUS_CORRUPT : LZFSE_STATUS_DST_TOO_SMALL;
    }
};

// Copies a match of `len` bytes from `dist` bytes back (LZ77 semantics: the
// source may overlap the bytes being produced). The caller has checked
// 1 <= dist <= bytes before d, and that `room` bytes are writable at d with
// room >= len.
inline void copy_match(uint8_t* d, size_t dist, size_t len, size_t room) noexcept {
    const uint8_t* s = d - dist;
    if (room - len >= kWideSlack) { // room >= len is a precondition
        if (dist >= 16) {
            for (size_t i = 0; i < len; i += 16) copy16(d + i, s + i);
            return;
        }
        if (dist == 1) {
            std::memset(d, *s, len);
            return;
        }
        // The bytes from s on repeat with period dist: after copying one
        // period, the same pattern lies 2*dist back, and so on, until the
        // distance allows 16-byte moves.
        while (dist < 16) {
            const size_t c = std::min(dist, len);
            std::memcpy(d, s, c);
            d += c;
            len -= c;
            if (len == 0) return;
            dist *= 2;
        }
        for (size_t i = 0; i < len; i += 16) copy16(d + i, s + i);
        return;
    }
    for (size_t i = 0; i < len; ++i) d[i] = s[i];
}

// Copies a literal run. Wide when both sides have kWideSlack spare bytes.
inline void copy_literals(uint8_t* d, const uint8_t* s, size_t len, bool wide) noexcept {
    if (wide) {
        for (size_t i = 0; i < len; i += 16) copy16(d + i, s + i);
    } else {
        std::memcpy(d, s, len);
    }
}

// Raw LZVN decoding on `out`, starting with an empty previous distance.
// On success *used is the number of input bytes up to and including the
// end-of-stream instruction.
lzfse_status lzvn_run(Output& out, std::span<const uint8_t> in, size_t* used) noexcept;

} // namespace quorvel::lzfse_detail
