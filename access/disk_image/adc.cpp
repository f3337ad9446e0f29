#include "access/disk_image/adc.h"

#include <cerrno>

namespace dimg {

int adc_decode(std::span<const uint8_t> in, std::span<uint8_t> out) {
    size_t i = 0, pos = 0;
    while (i < in.size()) {
        const uint8_t b = in[i];
        if (b >= 0x80) { // literal run of 1..128 bytes
            const size_t n = size_t{b & 0x7Fu} + 1;
            if (n > in.size() - i - 1 || n > out.size() - pos) return -EIO;
            for (size_t k = 0; k < n; ++k) out[pos + k] = in[i + 1 + k];
            i += 1 + n;
            pos += n;
            continue;
        }
        size_t length = 0, distance = 0;
        if (b >= 0x40) { // long match: 3 bytes
            if (in.size() - i < 3) return -EIO;
            length = size_t{b & 0x3Fu} + 4;
            distance = (size_t{in[i + 1]} << 8) | in[i + 2];
            i += 3;
        } else { // short match: 2 bytes
            if (in.size() - i < 2) return -EIO;
            length = size_t{(b >> 2) & 0x0Fu} + 3;
            distance = (size_t{b & 0x03u} << 8) | in[i + 1];
            i += 2;
        }
        if (distance >= pos || length > out.size() - pos) return -EIO;
        const size_t src = pos - distance - 1;
        // Byte by byte: an overlapping match repeats a pattern.
        for (size_t k = 0; k < length; ++k) out[pos + k] = out[src + k];
        pos += length;
    }
    return pos == out.size() ? 0 : -EIO;
}

} // namespace dimg
