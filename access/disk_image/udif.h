// UDIF images (.dmg): the "koly" trailer, the block tables of the XML
// property list (or of the resource fork of old images), segmented images
// (NAME.dmg + NAME.002.dmgpart ...), and the decoded disk they describe.
#pragma once

#include "byte_source.h"
#include "run_index.h"

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace dimg {

inline constexpr size_t koly_size = 512;
// The largest property list or resource fork read into memory.
inline constexpr uint64_t max_table_bytes = uint64_t{64} << 20;

struct koly {
    uint32_t version = 0;
    uint64_t running_offset = 0; // this segment's place in the data stream
    uint64_t data_offset = 0;
    uint64_t data_length = 0;
    uint64_t rsrc_offset = 0;
    uint64_t rsrc_length = 0;
    uint32_t segment_number = 0;
    uint32_t segment_count = 0;
    uint8_t segment_id[16] = {};
    uint64_t xml_offset = 0;
    uint64_t xml_length = 0;
    uint64_t sector_count = 0;
};

// Whether the last 512 bytes of a file begin a trailer.
bool is_koly(std::span<const uint8_t> tail);

// Reads and checks a trailer against the size of the file holding it.
bool parse_koly(std::span<const uint8_t> tail, uint64_t file_size, koly& k, std::string& error);

// The runs of every block table of an XML property list.
bool parse_plist_tables(std::string_view xml, const table_limits& limits, std::vector<run>& runs,
                        std::string& error);

// The runs of every "blkx" resource of a classic resource fork.
bool parse_rsrc_tables(std::span<const uint8_t> rsrc, const table_limits& limits,
                       std::vector<run>& runs, std::string& error);

// Opens the UDIF image `path` (whose descriptor `fd` the caller keeps) and
// any later segments beside it. Returns 0 or an errno value with `error`.
int open_udif(const std::string& path, int fd, uint64_t cache_bytes, hfs_byte_source_ptr& out,
              std::string& error);

// The same for a single-segment image held in memory (the bytes must
// outlive the source).
int open_udif_memory(std::span<const uint8_t> image, uint64_t cache_bytes, hfs_byte_source_ptr& out,
                     std::string& error);

} // namespace dimg
