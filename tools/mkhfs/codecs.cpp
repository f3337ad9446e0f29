#include "codecs.h"

#include <zlib.h>

#include <algorithm>
#include <stdexcept>

namespace mkhfs {

Bytes zlib_encode(std::span<const uint8_t> in) {
    uLongf len = compressBound(uLong(in.size()));
    Bytes out(len);
    if (compress2(out.data(), &len, in.data(), uLong(in.size()), Z_BEST_COMPRESSION) != Z_OK)
        throw std::runtime_error("zlib compression failed");
    out.resize(len);
    return out;
}

Bytes lzvn_literals_encode(std::span<const uint8_t> in) {
    Bytes out;
    out.reserve(in.size() + in.size() / 271 * 2 + 16);
    size_t p = 0, r = in.size();
    while (r >= 16) {
        size_t c = std::min<size_t>(r, 271);
        out.push_back(0xE0);
        out.push_back(uint8_t(c - 16));
        out.insert(out.end(), in.begin() + long(p), in.begin() + long(p + c));
        p += c;
        r -= c;
    }
    if (r > 0) {
        out.push_back(uint8_t(0xE0 + r));
        out.insert(out.end(), in.begin() + long(p), in.end());
    }
    const uint8_t eos[8] = {0x06, 0, 0, 0, 0, 0, 0, 0};
    out.insert(out.end(), eos, eos + 8);
    return out;
}

Bytes lzfse_stored_encode(std::span<const uint8_t> in) {
    Bytes out;
    Writer w(out);
    w.text("bvx-");
    w.le32(uint32_t(in.size()));
    w.bytes(in);
    w.text("bvx$");
    return out;
}

} // namespace mkhfs
