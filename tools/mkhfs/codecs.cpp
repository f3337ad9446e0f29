#include "codecs.h"

#include <bzlib.h>
#include <lzma.h>
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

Bytes bzip2_encode(std::span<const uint8_t> in) {
    if (in.size() > UINT32_MAX / 2) throw std::runtime_error("bzip2: input too large");
    unsigned len = unsigned(in.size() + in.size() / 100 + 600);
    Bytes out(len);
    Bytes src(in.begin(), in.end()); // the library takes a non-const source
    if (BZ2_bzBuffToBuffCompress(reinterpret_cast<char*>(out.data()), &len,
                                 reinterpret_cast<char*>(src.data()), unsigned(src.size()), 9, 0,
                                 0) != BZ_OK)
        throw std::runtime_error("bzip2 compression failed");
    out.resize(len);
    return out;
}

Bytes xz_encode(std::span<const uint8_t> in) {
    Bytes out(lzma_stream_buffer_bound(in.size()));
    size_t pos = 0;
    if (lzma_easy_buffer_encode(LZMA_PRESET_DEFAULT, LZMA_CHECK_CRC64, nullptr, in.data(),
                                in.size(), out.data(), &pos, out.size()) != LZMA_OK)
        throw std::runtime_error("LZMA compression failed");
    out.resize(pos);
    return out;
}

} // namespace mkhfs
