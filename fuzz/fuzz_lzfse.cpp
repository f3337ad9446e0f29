// Fuzz target for the LZFSE and raw LZVN decoders.
//
// Input: one selector byte, then the compressed stream. Bit 0 of the
// selector picks the decoder (0 LZFSE, 1 raw LZVN); the other seven bits s
// give the destination size s*s*s/8 (0 .. 256047 bytes), so that small
// values exercise "destination too small".
//
// Besides the sanitizers, the target checks that a successful decode gives
// the same bytes again into a buffer of exactly the produced length (no
// slack for wide copies), and that the plain calls agree with the status
// calls.
#include "lzfse/lzfse.h"

#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

namespace {

void check(bool ok) {
    if (!ok) std::abort();
}

lzfse_status run(bool lzvn, uint8_t* dst, size_t dst_size, const uint8_t* src, size_t src_size,
                 void* scratch, size_t* produced) {
    return lzvn ? lzvn_decode(dst, dst_size, src, src_size, produced)
                : lzfse_decode(dst, dst_size, src, src_size, scratch, produced);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const bool lzvn = (data[0] & 1) != 0;
    const size_t s = data[0] >> 1;
    const size_t dst_size = s * s * s / 8;
    const uint8_t* src = data + 1;
    const size_t src_size = size - 1;

    // Exactly dst_size bytes on the heap, so that the address sanitizer
    // catches the first byte written past it.
    std::vector<uint8_t> dst(dst_size);
    size_t produced = 0;
    const lzfse_status st = run(lzvn, dst.data(), dst_size, src, src_size, nullptr, &produced);
    check(produced <= dst_size);
    check(st != LZFSE_STATUS_DST_TOO_SMALL || produced == dst_size);

    const size_t plain = lzvn ? lzvn_decode_buffer(dst.data(), dst_size, src, src_size)
                              : lzfse_decode_buffer(dst.data(), dst_size, src, src_size, nullptr);
    check(plain == (st == LZFSE_STATUS_OK              ? produced
                    : st == LZFSE_STATUS_DST_TOO_SMALL ? dst_size
                                                       : 0));

    if (st == LZFSE_STATUS_OK) {
        // Same output with no spare room, and with a caller-provided scratch.
        std::vector<uint8_t> exact(produced);
        std::vector<uint64_t> scratch(lzfse_decode_scratch_size() / 8 + 1);
        size_t again = 0;
        check(run(lzvn, exact.data(), exact.size(), src, src_size, scratch.data(), &again) ==
              LZFSE_STATUS_OK);
        check(again == produced);
        check(produced == 0 || std::memcmp(exact.data(), dst.data(), produced) == 0);
    }
    return 0;
}
