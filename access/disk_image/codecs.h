// Decoding one stored run of a UDIF image into exactly its decoded size.
#pragma once

#include <cstdint>
#include <span>

namespace dimg {

// Decodes `in`, a stored run of the given compressed type, into `out`.
// Returns 0 only when the stream is well formed and fills `out` exactly,
// else -EIO; the output buffer is the limit, so a stream that would decode
// to more fails instead of growing.
int decode_run(uint32_t type, std::span<const uint8_t> in, std::span<uint8_t> out);

} // namespace dimg
