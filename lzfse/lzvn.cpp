// LZVN: byte-oriented LZ77 instructions, each an opcode byte possibly
// followed by more opcode bytes and literal bytes.
#include "lzfse/copy.h"

#include <array>

namespace quorvel::lzfse_detail {
namespace {

enum Op : uint8_t {
    kSmallDist,  // LL MMM DDD + 1 byte: distance up to 1535
    kMediumDist, // 101 LL MMM + 2 bytes: distance up to 16383
    kLargeDist,  // LL MMM 111 + 2 bytes: distance up to 65535
    kPrevDist,   // LL MMM 110, LL != 0: previous distance
    kSmallLit,   // 1110 LLLL
    kLargeLit,   // 0xE0 + 1 byte
    kSmallMatch, // 1111 MMMM, previous distance
    kLargeMatch, // 0xF0 + 1 byte, previous distance
    kNop,
    kEnd,
    kInvalid,
};

constexpr Op classify(unsigned b) {
    if (b == 0xE0) return kLargeLit;
    if (b > 0xE0 && b <= 0xEF) return kSmallLit;
    if (b == 0xF0) return kLargeMatch;
    if (b > 0xF0) return kSmallMatch;
    if (b >= 0xA0 && b <= 0xBF) return kMediumDist;
    if ((b >= 0x70 && b <= 0x7F) || (b >= 0xD0 && b <= 0xDF)) return kInvalid;
    switch (b & 7) {
    case 7:
        return kLargeDist;
    case 6:
        if (b >= 0x40) return kPrevDist;
        if (b == 0x06) return kEnd;
        if (b == 0x0E || b == 0x16) return kNop;
        return kInvalid;
    default:
        return kSmallDist;
    }
}

constexpr std::array<Op, 256> kOps = [] {
    std::array<Op, 256> t{};
    for (unsigned b = 0; b < 256; ++b) t[b] = classify(b);
    return t;
}();

static_assert(kOps[0x06] == kEnd && kOps[0x0E] == kNop && kOps[0x46] == kPrevDist);
static_assert(kOps[0xCF] == kLargeDist && kOps[0x1E] == kInvalid && kOps[0x05] == kSmallDist);

constexpr size_t kEndLength = 8;

// Appends `len` literal bytes from ip (the caller checked they are in the
// input; `in_left` bytes are readable from ip).
inline lzfse_status put_literals(Output& out, const uint8_t* ip, size_t len,
                                 size_t in_left) noexcept {
    const size_t room = out.room();
    if (len <= room) {
        const bool wide = room >= len + kWideSlack && in_left >= len + kWideSlack;
        copy_literals(out.base + out.pos, ip, len, wide);
        out.pos += len;
        return LZFSE_STATUS_OK;
    }
    const lzfse_status st = out.overflow(len);
    if (st == LZFSE_STATUS_DST_TOO_SMALL) {
        std::memcpy(out.base + out.pos, ip, room);
        out.pos += room;
    }
    return st;
}

// Appends a match; the caller checked 1 <= dist <= out.pos.
inline lzfse_status put_match(Output& out, size_t dist, size_t len) noexcept {
    const size_t room = out.room();
    if (len <= room) {
        copy_match(out.base + out.pos, dist, len, room);
        out.pos += len;
        return LZFSE_STATUS_OK;
    }
    const lzfse_status st = out.overflow(len);
    if (st == LZFSE_STATUS_DST_TOO_SMALL) {
        copy_match(out.base + out.pos, dist, room, room);
        out.pos += room;
    }
    return st;
}

} // namespace

lzfse_status lzvn_run(Output& out, std::span<const uint8_t> in, size_t* used) noexcept {
    const uint8_t* const begin = in.data();
    const uint8_t* ip = begin;
    const uint8_t* const ie = begin + in.size();
    // The output cursor lives in locals (the byte stores could otherwise
    // alias `out`); `out.pos` is brought up to date before leaving.
    uint8_t* const base = out.base;
    uint8_t* op = base + out.pos;
    uint8_t* const oend = base + out.end();
    size_t prev_dist = 0;
    lzfse_status st = LZFSE_STATUS_TRUNCATED;

    // Every instruction consumes at least one input byte, so this loop ends.
    while (ip < ie) {
        const unsigned opc = *ip;
        const size_t left = static_cast<size_t>(ie - ip);
        size_t lit, len, dist;
        switch (kOps[opc]) {
        case kSmallDist:
            if (left < 2) goto truncated;
            lit = opc >> 6;
            len = ((opc >> 3) & 7) + 3;
            dist = ((opc & 7u) << 8) | ip[1];
            ip += 2;
            break;
        case kMediumDist: {
            if (left < 3) goto truncated;
            const unsigned w = load_u16(ip + 1);
            lit = (opc >> 3) & 3;
            len = (((opc & 7u) << 2) | (w & 3u)) + 3;
            dist = w >> 2;
            ip += 3;
            break;
        }
        case kLargeDist:
            if (left < 3) goto truncated;
            lit = opc >> 6;
            len = ((opc >> 3) & 7) + 3;
            dist = load_u16(ip + 1);
            ip += 3;
            break;
        case kPrevDist:
            lit = opc >> 6;
            len = ((opc >> 3) & 7) + 3;
            dist = prev_dist;
            ip += 1;
            break;
        case kSmallLit:
        case kLargeLit: {
            if (opc == 0xE0) {
                if (left < 2) goto truncated;
                lit = size_t{ip[1]} + 16;
                ip += 2;
            } else {
                lit = opc & 15u;
                ip += 1;
            }
            const size_t in_left = static_cast<size_t>(ie - ip);
            if (lit > in_left) goto truncated;
            const size_t room = static_cast<size_t>(oend - op);
            if (lit > room) {
                out.pos = static_cast<size_t>(op - base);
                st = put_literals(out, ip, lit, in_left);
                return st;
            }
            copy_literals(op, ip, lit, room >= lit + kWideSlack && in_left >= lit + kWideSlack);
            op += lit;
            ip += lit;
            continue;
        }
        case kSmallMatch:
        case kLargeMatch: {
            if (opc == 0xF0) {
                if (left < 2) goto truncated;
                len = size_t{ip[1]} + 16;
                ip += 2;
            } else {
                len = opc & 15u;
                ip += 1;
            }
            // No distance yet in this stream: there is nothing to repeat.
            if (prev_dist == 0 || prev_dist > static_cast<size_t>(op - base)) goto corrupt;
            const size_t room = static_cast<size_t>(oend - op);
            if (len > room) {
                out.pos = static_cast<size_t>(op - base);
                return put_match(out, prev_dist, len);
            }
            copy_match(op, prev_dist, len, room);
            op += len;
            continue;
        }
        case kNop:
            ip += 1;
            continue;
        case kEnd:
            if (left < kEndLength) goto truncated;
            *used = static_cast<size_t>(ip + kEndLength - begin);
            out.pos = static_cast<size_t>(op - base);
            return LZFSE_STATUS_OK;
        default:
            goto corrupt;
        }

        // Literal bytes (0..3), then a match at `dist`.
        prev_dist = dist;
        const size_t in_left = static_cast<size_t>(ie - ip);
        if (lit > in_left) goto truncated;
        const size_t room = static_cast<size_t>(oend - op);
        if (room >= lit + len + kWideSlack && in_left >= 4) {
            // Common case: everything fits with slack to spare.
            std::memcpy(op, ip, 4);
            ip += lit;
            op += lit;
            if (dist == 0 || dist > static_cast<size_t>(op - base)) goto corrupt;
            copy_match(op, dist, len, room - lit);
            op += len;
            continue;
        }
        out.pos = static_cast<size_t>(op - base);
        if (st = put_literals(out, ip, lit, in_left); st != LZFSE_STATUS_OK) return st;
        ip += lit;
        if (dist == 0 || dist > out.pos) return LZFSE_STATUS_CORRUPT;
        if (st = put_match(out, dist, len); st != LZFSE_STATUS_OK) return st;
        op = base + out.pos;
    }
truncated:
    out.pos = static_cast<size_t>(op - base);
    return LZFSE_STATUS_TRUNCATED;
corrupt:
    out.pos = static_cast<size_t>(op - base);
    return LZFSE_STATUS_CORRUPT;
}

} // namespace quorvel::lzfse_detail
