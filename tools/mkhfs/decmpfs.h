// Compressed files: the com.apple.decmpfs attribute value and, for the chunked
// types, the resource fork that holds the 64 KiB chunks.
#pragma once

#include "bytes.h"
#include "content.h"
#include "manifest.h"

namespace mkhfs {

struct CompressedFile {
    Bytes attribute;     // the decmpfs attribute value (header and any inline payload)
    Bytes resource_fork; // chunk table and chunks; empty for the inline types
};

inline constexpr size_t decmpfs_chunk = 65536;

// Throws std::runtime_error when the compression options do not fit the data.
CompressedFile compress_file(const Content& data, const Compression& c);

} // namespace mkhfs
