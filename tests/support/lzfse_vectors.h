// Helpers shared by the LZFSE/LZVN tests: reference vectors and stream
// builders.
#pragma once

#include "lzfse/lzfse.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace qtest {

using Bytes = std::vector<uint8_t>;

inline std::filesystem::path compress_dir() {
    return QUORVEL_COMPRESS_DIR;
}

inline Bytes read_file(const std::filesystem::path& p) {
    std::ifstream f(p, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(f), {});
}

struct Vector {
    std::string name; // e.g. "text-4096"
    Bytes packed;     // .lzfse or .lzvn
    Bytes raw;
};

// Every KIND-SIZE.EXT vector of folder `sub` with its .raw twin, sorted by name.
inline std::vector<Vector> load_vectors(const std::string& sub, const std::string& ext) {
    std::vector<Vector> out;
    const auto dir = compress_dir() / sub;
    std::error_code ec;
    if (!std::filesystem::is_directory(dir, ec)) return out;
    for (const auto& e : std::filesystem::directory_iterator(dir)) {
        if (e.path().extension() != ext) continue;
        auto raw_path = e.path();
        raw_path.replace_extension(".raw");
        out.push_back({e.path().stem().string(), read_file(e.path()), read_file(raw_path)});
    }
    std::sort(out.begin(), out.end(),
              [](const Vector& a, const Vector& b) { return a.name < b.name; });
    return out;
}

// Skips the current test when the shared vectors are absent (fresh clone).
#define REQUIRE_VECTORS(vec, sub)                                                                  \
    if ((vec).empty())                                                                             \
    GTEST_SKIP() << "no reference vectors in " << (compress_dir() / (sub)).string()

inline void put_u32(Bytes& b, uint32_t v) {
    for (int i = 0; i < 4; ++i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

inline void put_magic(Bytes& b, const char* m) {
    for (int i = 0; i < 4; ++i) b.push_back(static_cast<uint8_t>(m[i]));
}

inline void append(Bytes& b, const Bytes& more) {
    b.insert(b.end(), more.begin(), more.end());
}

// A stored block holding `data`.
inline Bytes stored_block(const Bytes& data) {
    Bytes b;
    put_magic(b, "bvx-");
    put_u32(b, static_cast<uint32_t>(data.size()));
    append(b, data);
    return b;
}

// An LZVN block with the given declared output size around `payload`.
inline Bytes lzvn_block(uint32_t n_raw, const Bytes& payload) {
    Bytes b;
    put_magic(b, "bvxn");
    put_u32(b, n_raw);
    put_u32(b, static_cast<uint32_t>(payload.size()));
    append(b, payload);
    return b;
}

inline Bytes end_block() {
    return Bytes{'b', 'v', 'x', '$'};
}

inline const Bytes kLzvnEnd = {0x06, 0, 0, 0, 0, 0, 0, 0};

struct Decoded {
    lzfse_status status;
    Bytes out; // the produced bytes only
};

// Decodes into a heap buffer of exactly dst_size bytes (so that the address
// sanitizer sees any write past it).
inline Decoded decode_lzfse(const Bytes& src, size_t dst_size, void* scratch = nullptr) {
    std::vector<uint8_t> dst(dst_size);
    size_t produced = 0;
    const lzfse_status st =
        lzfse_decode(dst.data(), dst.size(), src.data(), src.size(), scratch, &produced);
    EXPECT_LE(produced, dst_size);
    dst.resize(std::min(produced, dst_size));
    return {st, dst};
}

inline Decoded decode_lzvn(const Bytes& src, size_t dst_size) {
    std::vector<uint8_t> dst(dst_size);
    size_t produced = 0;
    const lzfse_status st = lzvn_decode(dst.data(), dst.size(), src.data(), src.size(), &produced);
    EXPECT_LE(produced, dst_size);
    dst.resize(std::min(produced, dst_size));
    return {st, dst};
}

} // namespace qtest
