// Turns a manifest into a volume image: catalog objects and CNIDs, block
// allocation, the three B-trees, the allocation bitmap, the volume header and
// the optional journal and HFS wrapper.
#pragma once

#include "manifest.h"

#include <filesystem>

namespace mkhfs {

struct BuildSummary {
    uint64_t image_bytes = 0;
    uint32_t total_blocks = 0, free_blocks = 0, files = 0, folders = 0;
    uint32_t catalog_depth = 0, extents_depth = 0, attributes_depth = 0;
};

// Throws std::runtime_error (ManifestError for faults of the description).
BuildSummary build_volume(const Manifest& m, const std::filesystem::path& output);

} // namespace mkhfs
