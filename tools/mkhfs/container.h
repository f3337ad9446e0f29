// Disk-image containers around a disk: UDIF (.dmg) with raw, zero-fill,
// ignore, zlib, bzip2 and LZMA runs; sparse image (.sparseimage); sparse
// bundle (.sparsebundle folder); or the plain disk.
#pragma once

#include "disk.h"
#include "manifest.h"

#include <filesystem>

namespace mkhfs {

struct ContainerSummary {
    uint64_t output_bytes = 0; // file size, or the bytes of all band files of a bundle
    uint64_t pieces = 0;       // UDIF: runs (terminators excluded); sparse formats: bands stored
};

ContainerSummary write_container(const Container& c, const Disk& disk,
                                 const std::filesystem::path& output);

} // namespace mkhfs
