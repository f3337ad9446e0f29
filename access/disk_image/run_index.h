// The block tables ("mish") of a UDIF image and the index of runs built
// from them: which stored bytes make up which range of the decoded disk.
// Every field is untrusted; the parser refuses what it cannot honour.
// Errors: 0 or a negative errno value, with a message in `error`.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace dimg {

enum run_type : uint32_t {
    run_zero = 0x00000000,
    run_raw = 0x00000001,
    run_ignore = 0x00000002,
    run_comment = 0x7FFFFFFE,
    run_adc = 0x80000004,
    run_zlib = 0x80000005,
    run_bzip2 = 0x80000006,
    run_lzfse = 0x80000007,
    run_lzma = 0x80000008,
    run_end = 0xFFFFFFFF,
};

// The largest decoded size of one compressed run: what decoding it may
// allocate. hdiutil writes runs of 1 MiB.
inline constexpr uint64_t max_decoded_run = uint64_t{64} << 20;

inline constexpr size_t mish_header_size = 204;
inline constexpr size_t mish_entry_size = 40;

struct run {
    uint64_t disk_offset = 0;   // bytes from the start of the decoded disk
    uint64_t length = 0;        // decoded bytes
    uint64_t stored_offset = 0; // in the data stream (all data forks together)
    uint64_t stored_length = 0;
    uint32_t type = 0;
    uint32_t table = 0; // position of its table, for messages
};

// What the tables of one image must stay within.
struct table_limits {
    uint64_t disk_sectors = 0; // decoded disk size in 512-byte sectors
    uint64_t stream_size = 0;  // bytes of the data stream
};

// A table's own checksum: the CRC-32 of its decoded bytes, ignore runs
// left out.
struct table_check {
    std::string name;
    bool crc32 = false; // the table carries one (checksum type 2)
    uint32_t value = 0;
};

// A short name of a run type ("zlib", "raw", ...) or null for an unknown one.
const char* run_type_name(uint32_t type);

// Appends the runs of one decoded mish table (those that produce bytes:
// not comments, terminators or empty runs) to `runs`, and its checksum to
// `checks` when given. Returns 0, or -EINVAL with `error` saying what is
// wrong, naming the table by `name`.
int parse_mish(std::span<const uint8_t> blob, const table_limits& limits, uint32_t table,
               std::string_view name, std::vector<run>& runs, std::string& error,
               std::vector<table_check>* checks = nullptr);

// Sorts the runs by disk offset and refuses any two that overlap on the
// disk or share stored bytes (-EINVAL with `error`).
int build_index(std::vector<run>& runs, std::string& error);

// The index of the first run ending after `offset` (runs.size() if none).
size_t find_run(std::span<const run> runs, uint64_t offset);

// Strict base64 (standard alphabet, '=' padding, ASCII white space
// skipped). Returns 0, or -EINVAL on any other character or bad padding.
int base64_decode(std::string_view text, std::vector<uint8_t>& out);

} // namespace dimg
