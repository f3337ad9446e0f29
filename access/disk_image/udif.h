// UDIF images (.dmg): the "koly" trailer, the block tables of the XML
// property list (or of the resource fork of old images), segmented images
// (NAME.dmg + NAME.002.dmgpart ...), and the decoded disk they describe.
// Errors: 0 or a negative errno value, with a message in `error` (or
// `report`).
#pragma once

#include "access/disk_image/byte_source.h"
#include "access/disk_image/run_index.h"

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
    uint32_t data_checksum_type = 0; // 2: CRC-32 of the data fork in data_checksum
    uint32_t data_checksum = 0;
    uint32_t master_checksum_type = 0; // 2: CRC-32 of the tables' CRC-32s
    uint32_t master_checksum = 0;
};

// Whether the last 512 bytes of a file begin a trailer.
bool is_koly(std::span<const uint8_t> tail);

// Reads and checks a trailer against the size of the file holding it.
// Returns 0 or -EINVAL with `error`.
int parse_koly(std::span<const uint8_t> tail, uint64_t file_size, koly& k, std::string& error);

// The runs of every block table of an XML property list (and each table's
// checksum, when `checks` is given). Returns 0 or -EINVAL with `error`.
int parse_plist_tables(std::string_view xml, const table_limits& limits, std::vector<run>& runs,
                       std::string& error, std::vector<table_check>* checks = nullptr);

// The runs of every "blkx" resource of a classic resource fork. Returns 0
// or -EINVAL with `error`.
int parse_rsrc_tables(std::span<const uint8_t> rsrc, const table_limits& limits,
                      std::vector<run>& runs, std::string& error,
                      std::vector<table_check>* checks = nullptr);

// Opens the UDIF image `path` (whose descriptor `fd` the caller keeps) and
// any later segments beside it. Returns 0 or a negative errno value with
// `error`.
int open_udif(const std::string& path, int fd, uint64_t cache_bytes, hfs_byte_source_ptr& out,
              std::string& error);

// Decodes the whole UDIF image `path` and checks it against the image's own
// CRC-32 checksums (of each table's decoded bytes, of all tables together,
// of the data fork). `report` gets one line per checksum. Returns 0 when
// every checksum present matches, -EIO when one does not or bytes cannot be
// decoded, -ENODATA when the image holds no checksum of its bytes (the
// master checksum covers only the tables' checksums), or another negative
// errno value when the image cannot be opened.
int verify_udif(const std::string& path, int fd, std::string& report);

// The same for a single-segment image held in memory (the bytes must
// outlive the source).
int open_udif_memory(std::span<const uint8_t> image, uint64_t cache_bytes, hfs_byte_source_ptr& out,
                     std::string& error);

} // namespace dimg
