// UTF-8 <-> UTF-16 converters of the library. Pure functions: no hooks, no
// allocation, no reporting.
#include "libhfs/unicode.h"

#include <climits>

namespace {

bool is_continuation(unsigned char b) {
    return b >= 0x80 && b <= 0xBF;
}

int clamp_count(size_t n) {
    return n > static_cast<size_t>(INT_MAX) ? INT_MAX : static_cast<int>(n);
}

// Collects units into a bounded destination while counting all of them.
class unit_sink {
public:
    unit_sink(uint16_t* dst, size_t room) : dst_(dst), room_(room) {}
    void put(uint16_t unit) {
        if (dst_ && count_ < room_) dst_[count_] = unit;
        ++count_;
    }
    size_t count() const { return count_; }

private:
    uint16_t* dst_;
    size_t room_;
    size_t count_ = 0;
};

// Collects whole UTF-8 sequences; once one does not fit, later ones are only
// counted.
class byte_sink {
public:
    byte_sink(char* dst, size_t room) : dst_(dst), room_(room), writing_(dst != nullptr) {}
    void put(const unsigned char* seq, size_t len) {
        if (writing_ && count_ <= room_ && len <= room_ - count_) {
            for (size_t i = 0; i < len; ++i) dst_[count_ + i] = static_cast<char>(seq[i]);
        } else {
            writing_ = false;
        }
        count_ += len;
    }
    size_t count() const { return count_; }

private:
    char* dst_;
    size_t room_;
    bool writing_;
    size_t count_ = 0;
};

} // namespace

size_t unicode_utf8_to_units(uint16_t* dst, size_t dst_units, const char* src, size_t src_len,
                             int /*flags*/, int* errors) noexcept {
    unit_sink out(dst, dst_units);
    size_t bad = 0;
    const auto* s = reinterpret_cast<const unsigned char*>(src);
    if (!s) src_len = 0;

    size_t p = 0;
    while (p < src_len) {
        const unsigned char lead = s[p];
        if (lead < 0x80) {
            out.put(lead);
            p += 1;
        } else if (lead <= 0xBF || lead >= 0xF5) {
            ++bad;
            p += 1;
        } else if (lead <= 0xDF) {
            if (p + 1 >= src_len || !is_continuation(s[p + 1])) {
                ++bad;
                p += 1;
                continue;
            }
            const uint32_t v = (lead & 0x1Fu) << 6 | (s[p + 1] & 0x3Fu);
            p += 2;
            if (v < 0x80) {
                ++bad;
                continue;
            }
            out.put(static_cast<uint16_t>(v));
        } else if (lead <= 0xEF) {
            if (p + 2 >= src_len || !is_continuation(s[p + 1]) || !is_continuation(s[p + 2])) {
                ++bad;
                p += 1;
                continue;
            }
            const uint32_t v = (lead & 0x0Fu) << 12 | (s[p + 1] & 0x3Fu) << 6 | (s[p + 2] & 0x3Fu);
            p += 3;
            if (v < 0x800 || (v >= 0xD800 && v <= 0xDFFF)) {
                ++bad;
                continue;
            }
            out.put(static_cast<uint16_t>(v));
        } else {
            if (p + 3 >= src_len || !is_continuation(s[p + 1]) || !is_continuation(s[p + 2]) ||
                !is_continuation(s[p + 3])) {
                ++bad;
                p += 1;
                continue;
            }
            const uint32_t v = (lead & 0x07u) << 18 | (s[p + 1] & 0x3Fu) << 12 |
                               (s[p + 2] & 0x3Fu) << 6 | (s[p + 3] & 0x3Fu);
            p += 4;
            // Overlong, or beyond the last code point a surrogate pair can carry.
            if (v < 0x10000 || v > 0x10FFFF) {
                ++bad;
                continue;
            }
            out.put(static_cast<uint16_t>(0xD800 | ((v - 0x10000) >> 10)));
            out.put(static_cast<uint16_t>(0xDC00 | (v & 0x3FF)));
        }
    }

    if (errors) *errors = clamp_count(bad);
    return out.count();
}

size_t unicode_units_to_utf8(char* dst, size_t dst_len, const uint16_t* src, size_t src_units,
                             int /*flags*/, int* errors) noexcept {
    byte_sink out(dst, dst_len);
    size_t bad = 0;
    if (!src) src_units = 0;

    for (size_t i = 0; i < src_units; ++i) {
        const uint16_t u = src[i];
        unsigned char seq[4];
        if (u < 0x80) {
            seq[0] = static_cast<unsigned char>(u);
            out.put(seq, 1);
        } else if (u < 0x800) {
            seq[0] = static_cast<unsigned char>(0xC0 | (u >> 6));
            seq[1] = static_cast<unsigned char>(0x80 | (u & 0x3F));
            out.put(seq, 2);
        } else if (u >= 0xD800 && u <= 0xDBFF) {
            if (i + 1 >= src_units || src[i + 1] < 0xDC00 || src[i + 1] > 0xDFFF) {
                ++bad; // only the high half is skipped
                continue;
            }
            const uint32_t v = 0x10000 + ((uint32_t{u} & 0x3FF) << 10) + (src[i + 1] & 0x3FFu);
            ++i;
            seq[0] = static_cast<unsigned char>(0xF0 | (v >> 18));
            seq[1] = static_cast<unsigned char>(0x80 | ((v >> 12) & 0x3F));
            seq[2] = static_cast<unsigned char>(0x80 | ((v >> 6) & 0x3F));
            seq[3] = static_cast<unsigned char>(0x80 | (v & 0x3F));
            out.put(seq, 4);
        } else if (u >= 0xDC00 && u <= 0xDFFF) {
            ++bad;
        } else {
            seq[0] = static_cast<unsigned char>(0xE0 | (u >> 12));
            seq[1] = static_cast<unsigned char>(0x80 | ((u >> 6) & 0x3F));
            seq[2] = static_cast<unsigned char>(0x80 | (u & 0x3F));
            out.put(seq, 3);
        }
    }

    if (errors) *errors = clamp_count(bad);
    return out.count();
}
