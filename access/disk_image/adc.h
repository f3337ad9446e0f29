// Apple Data Compression: the byte-oriented LZ77 variant of UDIF runs of
// type 0x80000004.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace dimg {

// Decodes one ADC stream into `out`, which must come out exactly full.
// Returns 0, or -EIO for a truncated code, a match reaching before the
// start of the output, or output longer or shorter than out.size().
int adc_decode(std::span<const uint8_t> in, std::span<uint8_t> out);

} // namespace dimg
