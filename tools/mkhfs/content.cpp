#include "content.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <stdexcept>

namespace mkhfs {

namespace {

// One line of the "text" pattern: 34 bytes, numbered from 0.
constexpr size_t text_line_len = 34;

void text_line(uint64_t k, char (&line)[text_line_len + 1]) {
    std::snprintf(line, sizeof line, "%08llu quorvel sample text line\n",
                  static_cast<unsigned long long>(k % 100000000ULL));
}

uint64_t splitmix64(uint64_t x) {
    x += 0x9E3779B97F4A7C15ULL;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ULL;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBULL;
    return x ^ (x >> 31);
}

} // namespace

bool is_known_pattern(std::string_view name) {
    return name == "zeros" || name == "counter" || name == "text" || name == "random";
}

uint64_t Content::length() const {
    switch (kind) {
    case Kind::none:
        return 0;
    case Kind::text:
        return text.size();
    case Kind::file:
    case Kind::pattern:
        return size;
    }
    return 0;
}

void Content::read(uint64_t offset, std::span<uint8_t> out) const {
    switch (kind) {
    case Kind::none:
        std::fill(out.begin(), out.end(), 0);
        return;
    case Kind::text:
        for (size_t i = 0; i < out.size(); ++i) out[i] = uint8_t(text[offset + i]);
        return;
    case Kind::file: {
        std::ifstream in(file, std::ios::binary);
        in.seekg(std::streamoff(offset));
        in.read(reinterpret_cast<char*>(out.data()), std::streamsize(out.size()));
        if (size_t(in.gcount()) != out.size())
            throw std::runtime_error("cannot read " + file.string());
        return;
    }
    case Kind::pattern:
        break;
    }
    if (pattern == "zeros") {
        std::fill(out.begin(), out.end(), 0);
    } else if (pattern == "counter") {
        for (size_t i = 0; i < out.size(); ++i) out[i] = uint8_t((offset + i + seed) % 251);
    } else if (pattern == "text") {
        char line[text_line_len + 1];
        uint64_t k = UINT64_MAX;
        for (size_t i = 0; i < out.size(); ++i) {
            uint64_t pos = offset + i + seed;
            if (pos / text_line_len != k) {
                k = pos / text_line_len;
                text_line(k, line);
            }
            out[i] = uint8_t(line[pos % text_line_len]);
        }
    } else { // random
        for (size_t i = 0; i < out.size(); ++i) {
            uint64_t pos = offset + i;
            out[i] = uint8_t(splitmix64(seed * 0x100000001B3ULL + pos / 8) >> (8 * (pos % 8)));
        }
    }
}

Bytes Content::all() const {
    Bytes b(length());
    read(0, b);
    return b;
}

} // namespace mkhfs
