// Big-endian loads from untrusted bytes (byte by byte: no alignment needed).
#pragma once

#include <cstdint>

namespace dimg {

inline uint32_t be32(const uint8_t* p) {
    return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}
inline uint64_t be64(const uint8_t* p) {
    return (uint64_t{be32(p)} << 32) | be32(p + 4);
}

} // namespace dimg
