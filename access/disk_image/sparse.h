// Sparse images (.sparseimage: one file, a header with a band table, bands
// in the order they were written) and sparse bundles (.sparsebundle: a
// folder with Info.plist and one file per band). Bands never written read
// as zeros.
// Errors: 0 or a negative errno value, with a message in `error`.
#pragma once

#include "access/disk_image/byte_source.h"

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace dimg {

inline constexpr size_t sparse_header_size = 4096;
inline constexpr size_t sparse_max_bands = (sparse_header_size - 64) / 4;

// The band layout of a sparse image header: for each disk band, 0 (never
// written) or 1 + the position of its data among the stored bands.
struct sparse_layout {
    uint64_t band_bytes = 0;
    uint64_t disk_bytes = 0;
    std::vector<uint32_t> stored; // indexed by disk band
};

// Checks a sparse image header against the size of its file. Returns 0 or
// -EINVAL with `error`.
int parse_sparse_header(std::span<const uint8_t> header, uint64_t file_size, sparse_layout& layout,
                        std::string& error);

// Opens a sparse image whose descriptor the caller keeps.
int open_sparse_image(int fd, hfs_byte_source_ptr& out, std::string& error);
// The same for an image held in memory (the bytes must outlive the source).
int open_sparse_image_memory(std::span<const uint8_t> image, hfs_byte_source_ptr& out,
                             std::string& error);

struct bundle_info {
    uint64_t band_bytes = 0;
    uint64_t disk_bytes = 0;
};

// Reads band-size and size from a sparse bundle's Info.plist. Returns 0 or
// -EINVAL with `error`.
int parse_bundle_plist(std::string_view xml, bundle_info& info, std::string& error);

// Whether the folder `path` is meant as a sparse bundle: it holds an
// Info.plist, an Info.bckup or a bands folder (whether they are sound is
// told when it is opened).
bool is_sparse_bundle(const std::string& path);

// Opens the sparse bundle folder `path`.
int open_sparse_bundle(const std::string& path, hfs_byte_source_ptr& out, std::string& error);

} // namespace dimg
