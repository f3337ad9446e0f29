// Where the bytes of a fork or an attribute value come from: literal text, a
// file, or a generated pattern that can be produced at any offset without
// holding the whole content in memory.
#pragma once

#include "bytes.h"

#include <cstdint>
#include <filesystem>
#include <span>
#include <string>

namespace mkhfs {

struct Content {
    enum class Kind { none, text, file, pattern };
    Kind kind = Kind::none;
    std::string text;           // literal bytes (kind text)
    std::filesystem::path file; // source file (kind file)
    std::string pattern;        // zeros, counter, text, random (kind pattern)
    uint64_t size = 0;          // bytes (pattern, file)
    uint64_t seed = 0;          // pattern seed

    bool empty() const { return length() == 0; }
    uint64_t length() const;
    // Fills out with the bytes at [offset, offset + out.size()).
    void read(uint64_t offset, std::span<uint8_t> out) const;
    Bytes all() const;
    // True when every byte is zero, so writing can be skipped on a sparse image.
    bool all_zero() const { return kind == Kind::pattern && pattern == "zeros"; }
};

// The known pattern names, for manifest checking.
bool is_known_pattern(std::string_view name);

} // namespace mkhfs
