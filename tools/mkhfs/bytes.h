// Byte buffers and the endian-aware writers every on-disk structure is built with.
#pragma once

#include <cstdint>
#include <cstring>
#include <span>
#include <string_view>
#include <vector>

namespace mkhfs {

using Bytes = std::vector<uint8_t>;

inline void put_be16(uint8_t* p, uint16_t v) {
    p[0] = uint8_t(v >> 8);
    p[1] = uint8_t(v);
}
inline void put_be32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = uint8_t(v >> (24 - 8 * i));
}
inline void put_be64(uint8_t* p, uint64_t v) {
    for (int i = 0; i < 8; ++i) p[i] = uint8_t(v >> (56 - 8 * i));
}
inline void put_le32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = uint8_t(v >> (8 * i));
}
inline void put_le64(uint8_t* p, uint64_t v) {
    for (int i = 0; i < 8; ++i) p[i] = uint8_t(v >> (8 * i));
}

// The checksum of HFS+ journal headers, block-list headers and block data.
inline uint32_t journal_checksum(std::span<const uint8_t> bytes) {
    uint32_t ck = 0;
    for (uint8_t b : bytes) ck = (ck << 8) ^ (ck + b);
    return ~ck;
}

// Appending writer over a growing byte vector.
class Writer {
public:
    explicit Writer(Bytes& out) : out_(out) {}
    void u8(uint8_t v) { out_.push_back(v); }
    void be16(uint16_t v) {
        grow(2, [&](uint8_t* p) { put_be16(p, v); });
    }
    void be32(uint32_t v) {
        grow(4, [&](uint8_t* p) { put_be32(p, v); });
    }
    void be64(uint64_t v) {
        grow(8, [&](uint8_t* p) { put_be64(p, v); });
    }
    void le32(uint32_t v) {
        grow(4, [&](uint8_t* p) { put_le32(p, v); });
    }
    void le64(uint64_t v) {
        grow(8, [&](uint8_t* p) { put_le64(p, v); });
    }
    void zeros(size_t n) { out_.insert(out_.end(), n, 0); }
    void bytes(std::span<const uint8_t> b) {
        if (!b.empty()) grow(b.size(), [&](uint8_t* p) { std::memcpy(p, b.data(), b.size()); });
    }
    void text(std::string_view s) {
        if (!s.empty()) grow(s.size(), [&](uint8_t* p) { std::memcpy(p, s.data(), s.size()); });
    }
    // Big-endian UTF-16 name: a u16 length, then the units.
    void name16(std::u16string_view name) {
        be16(uint16_t(name.size()));
        for (char16_t c : name) be16(uint16_t(c));
    }
    size_t size() const { return out_.size(); }

private:
    template <class F>
    void grow(size_t n, F&& f) {
        out_.resize(out_.size() + n);
        f(out_.data() + out_.size() - n);
    }
    Bytes& out_;
};

// Four-character codes such as 'hlnk' as their big-endian 32-bit value.
constexpr uint32_t fourcc(std::string_view s) {
    uint32_t v = 0;
    for (size_t i = 0; i < 4; ++i) v = (v << 8) | uint8_t(i < s.size() ? s[i] : ' ');
    return v;
}

} // namespace mkhfs
