#include "access/disk_image/run_index.h"

#include "libhfs/byte_order.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace dimg {

using hfslib::load_be32;
using hfslib::load_be64;

const char* run_type_name(uint32_t type) {
    switch (type) {
    case run_zero:
        return "zero-fill";
    case run_raw:
        return "raw";
    case run_ignore:
        return "ignore";
    case run_comment:
        return "comment";
    case run_adc:
        return "ADC";
    case run_zlib:
        return "zlib";
    case run_bzip2:
        return "bzip2";
    case run_lzfse:
        return "LZFSE";
    case run_lzma:
        return "LZMA";
    case run_end:
        return "terminator";
    default:
        return nullptr;
    }
}

namespace {

bool compressed(uint32_t type) {
    return type >= run_adc && type <= run_lzma;
}

std::string hex32(uint32_t value) {
    char text[11];
    std::snprintf(text, sizeof text, "0x%08X", value);
    return text;
}

} // namespace

int parse_mish(std::span<const uint8_t> blob, const table_limits& limits, uint32_t table,
               std::string_view name, std::vector<run>& runs, std::string& error,
               std::vector<table_check>* checks) {
    const std::string which = "block table " + std::to_string(table) +
                              (name.empty() ? "" : " (" + std::string(name) + ")");
    if (blob.size() < mish_header_size || std::memcmp(blob.data(), "mish", 4) != 0) {
        error = which + " is not a block table";
        return -EINVAL;
    }
    if (load_be32(blob, 4) != 1) {
        error = which + " has unknown version " + std::to_string(load_be32(blob, 4));
        return -EINVAL;
    }
    const uint64_t first = load_be64(blob, 8), count = load_be64(blob, 16),
                   base = load_be64(blob, 24);
    const uint64_t entries = load_be32(blob, 200);
    if (first > limits.disk_sectors || count > limits.disk_sectors - first) {
        error = which + " covers sectors beyond the end of the disk";
        return -EINVAL;
    }
    if (entries > (blob.size() - mish_header_size) / mish_entry_size) {
        error = which + " claims " + std::to_string(entries) + " runs but holds " +
                std::to_string((blob.size() - mish_header_size) / mish_entry_size);
        return -EINVAL;
    }
    bool ended = false;
    for (uint64_t i = 0; i < entries && !ended; ++i) {
        const size_t e = mish_header_size + i * mish_entry_size;
        const uint32_t type = load_be32(blob, e);
        const uint64_t r_first = load_be64(blob, e + 8), r_count = load_be64(blob, e + 16);
        const uint64_t r_offset = load_be64(blob, e + 24), r_length = load_be64(blob, e + 32);
        const std::string where = which + ", run " + std::to_string(i);
        if (type == run_end) {
            ended = true;
            continue;
        }
        if (type == run_comment) continue;
        if (!run_type_name(type)) {
            error = where + " has unknown type " + hex32(type);
            return -EINVAL;
        }
        if (r_first > count || r_count > count - r_first) {
            error = where + " reaches beyond its table";
            return -EINVAL;
        }
        if (r_count == 0) continue;
        run r;
        r.type = type;
        r.table = table;
        r.disk_offset = (first + r_first) * 512; // within the disk: no overflow
        r.length = r_count * 512;
        if (type == run_raw || compressed(type)) {
            if (__builtin_add_overflow(base, r_offset, &r.stored_offset) ||
                r.stored_offset > limits.stream_size ||
                r_length > limits.stream_size - r.stored_offset) {
                error = where + " stores its data beyond the end of the data fork "
                                "(the image is truncated or damaged)";
                return -EINVAL;
            }
            r.stored_length = r_length;
        }
        if (type == run_raw && r_length != r.length) {
            error = where + " is raw but stores " + std::to_string(r_length) + " bytes for " +
                    std::to_string(r.length);
            return -EINVAL;
        }
        // No codec expands data by more than a small fraction: a larger
        // stored run would only make reading it allocate more.
        if (compressed(type) && r_length > r.length + r.length / 8 + 65536) {
            error = where + " stores " + std::to_string(r_length) + " bytes for " +
                    std::to_string(r.length) + " decoded";
            return -EINVAL;
        }
        if (compressed(type) && r.length > max_decoded_run) {
            error = where + " decodes to " + std::to_string(r.length) +
                    " bytes, more than this reader accepts (" + std::to_string(max_decoded_run) +
                    ")";
            return -EINVAL;
        }
        runs.push_back(r);
    }
    if (!ended) {
        error = which + " has no terminator";
        return -EINVAL;
    }
    if (checks) {
        table_check c;
        c.name = which;
        c.crc32 = load_be32(blob, 64) == 2 && load_be32(blob, 68) == 32;
        c.value = load_be32(blob, 72);
        checks->push_back(std::move(c));
    }
    return 0;
}

int build_index(std::vector<run>& runs, std::string& error) {
    std::sort(runs.begin(), runs.end(),
              [](const run& a, const run& b) { return a.disk_offset < b.disk_offset; });
    for (size_t i = 1; i < runs.size(); ++i) {
        if (runs[i].disk_offset < runs[i - 1].disk_offset + runs[i - 1].length) {
            error = "runs of block tables " + std::to_string(runs[i - 1].table) + " and " +
                    std::to_string(runs[i].table) + " overlap at sector " +
                    std::to_string(runs[i].disk_offset / 512);
            return -EINVAL;
        }
    }
    // Each stored byte serves one run: runs sharing stored bytes would make
    // a few bytes of the image decode again and again (runs of zero or
    // ignore type, and empty ones, store nothing).
    std::vector<size_t> stored;
    for (size_t i = 0; i < runs.size(); ++i)
        if (runs[i].stored_length != 0) stored.push_back(i);
    std::sort(stored.begin(), stored.end(), [&runs](size_t a, size_t b) {
        return runs[a].stored_offset < runs[b].stored_offset;
    });
    for (size_t k = 1; k < stored.size(); ++k) {
        const run &before = runs[stored[k - 1]], &r = runs[stored[k]];
        if (r.stored_offset < before.stored_offset + before.stored_length) {
            error = "runs of block tables " + std::to_string(before.table) + " and " +
                    std::to_string(r.table) + " (at sectors " +
                    std::to_string(before.disk_offset / 512) + " and " +
                    std::to_string(r.disk_offset / 512) + ") share stored bytes at byte " +
                    std::to_string(r.stored_offset) + " of the data";
            return -EINVAL;
        }
    }
    return 0;
}

size_t find_run(std::span<const run> runs, uint64_t offset) {
    auto it = std::upper_bound(runs.begin(), runs.end(), offset, [](uint64_t x, const run& r) {
        return x < r.disk_offset + r.length;
    });
    return static_cast<size_t>(it - runs.begin());
}

namespace {

constexpr std::array<int8_t, 256> base64_values = [] {
    std::array<int8_t, 256> t{};
    for (auto& v : t) v = -1;
    const char* alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    for (int i = 0; i < 64; ++i) t[static_cast<uint8_t>(alphabet[i])] = static_cast<int8_t>(i);
    return t;
}();

} // namespace

int base64_decode(std::string_view text, std::vector<uint8_t>& out) {
    out.clear();
    out.reserve(text.size() / 4 * 3);
    uint32_t group = 0;
    int have = 0, padding = 0;
    for (char ch : text) {
        const auto c = static_cast<uint8_t>(ch);
        if (c == ' ' || c == '\t' || c == '\r' || c == '\n') continue;
        if (c == '=') {
            if (have < 2 || ++padding + have > 4) return -EINVAL;
            continue;
        }
        if (padding != 0 || base64_values[c] < 0) return -EINVAL;
        group = (group << 6) | static_cast<uint32_t>(base64_values[c]);
        if (++have == 4) {
            out.push_back(static_cast<uint8_t>(group >> 16));
            out.push_back(static_cast<uint8_t>(group >> 8));
            out.push_back(static_cast<uint8_t>(group));
            group = 0;
            have = 0;
        }
    }
    if (padding != 0) {
        if (have + padding != 4) return -EINVAL;
        if (have == 2) {
            out.push_back(static_cast<uint8_t>(group >> 4));
        } else {
            out.push_back(static_cast<uint8_t>(group >> 10));
            out.push_back(static_cast<uint8_t>(group >> 2));
        }
        return 0;
    }
    return have == 0 ? 0 : -EINVAL;
}

} // namespace dimg
