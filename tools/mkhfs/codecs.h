// The encoders compressed files are written with: zlib (deflate), and the two
// trivial Apple encoders, LZVN made of literal instructions only and LZFSE made
// of uncompressed blocks only.
#pragma once

#include "bytes.h"

#include <span>

namespace mkhfs {

Bytes zlib_encode(std::span<const uint8_t> in);
Bytes lzvn_literals_encode(std::span<const uint8_t> in);
Bytes lzfse_stored_encode(std::span<const uint8_t> in);

} // namespace mkhfs
