// The encoders compressed files are written with: zlib (deflate), and the two
// trivial Apple encoders, LZVN made of literal instructions only and LZFSE made
// of uncompressed blocks only; and those of disk-image runs: zlib, bzip2, and
// LZMA in an .xz container.
#pragma once

#include "bytes.h"

#include <span>

namespace mkhfs {

Bytes zlib_encode(std::span<const uint8_t> in);
Bytes lzvn_literals_encode(std::span<const uint8_t> in);
Bytes lzfse_stored_encode(std::span<const uint8_t> in);
Bytes bzip2_encode(std::span<const uint8_t> in);
Bytes xz_encode(std::span<const uint8_t> in);

} // namespace mkhfs
