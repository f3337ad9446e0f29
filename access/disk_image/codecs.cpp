#include "access/disk_image/codecs.h"

#include "access/disk_image/adc.h"
#include "access/disk_image/run_index.h"
#include "lzfse/lzfse.h"

#include <bzlib.h>
#include <cerrno>
#include <climits>
#include <lzma.h>
#include <zlib.h>

namespace dimg {

namespace {

// The most memory the xz decoder may use (its dictionary): beyond any
// setting hdiutil or xz presets use.
constexpr uint64_t lzma_memory_limit = uint64_t{128} << 20;

int decode_zlib(std::span<const uint8_t> in, std::span<uint8_t> out) {
    if (in.size() > UINT_MAX || out.size() > UINT_MAX) return -EIO;
    z_stream z{};
    if (inflateInit(&z) != Z_OK) return -EIO;
    z.next_in = const_cast<Bytef*>(in.data());
    z.avail_in = static_cast<uInt>(in.size());
    z.next_out = out.data();
    z.avail_out = static_cast<uInt>(out.size());
    const int status = inflate(&z, Z_FINISH);
    const bool ok = status == Z_STREAM_END && z.avail_out == 0;
    inflateEnd(&z);
    return ok ? 0 : -EIO;
}

int decode_bzip2(std::span<const uint8_t> in, std::span<uint8_t> out) {
    if (in.size() > UINT_MAX || out.size() > UINT_MAX) return -EIO;
    unsigned int length = static_cast<unsigned int>(out.size());
    const int status =
        BZ2_bzBuffToBuffDecompress(reinterpret_cast<char*>(out.data()), &length,
                                   const_cast<char*>(reinterpret_cast<const char*>(in.data())),
                                   static_cast<unsigned int>(in.size()), 0, 0);
    return status == BZ_OK && length == out.size() ? 0 : -EIO;
}

int decode_xz(std::span<const uint8_t> in, std::span<uint8_t> out) {
    uint64_t limit = lzma_memory_limit;
    size_t in_pos = 0, out_pos = 0;
    const lzma_ret status = lzma_stream_buffer_decode(&limit, 0, nullptr, in.data(), &in_pos,
                                                      in.size(), out.data(), &out_pos, out.size());
    return status == LZMA_OK && out_pos == out.size() ? 0 : -EIO;
}

int decode_lzfse(std::span<const uint8_t> in, std::span<uint8_t> out) {
    size_t produced = 0;
    const lzfse_status status =
        lzfse_decode(out.data(), out.size(), in.data(), in.size(), nullptr, &produced);
    return status == LZFSE_STATUS_OK && produced == out.size() ? 0 : -EIO;
}

} // namespace

int decode_run(uint32_t type, std::span<const uint8_t> in, std::span<uint8_t> out) {
    switch (type) {
    case run_adc:
        return adc_decode(in, out);
    case run_zlib:
        return decode_zlib(in, out);
    case run_bzip2:
        return decode_bzip2(in, out);
    case run_lzfse:
        return decode_lzfse(in, out);
    case run_lzma:
        return decode_xz(in, out);
    default:
        return -EIO;
    }
}

} // namespace dimg
