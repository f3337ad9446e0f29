// Shared helpers of the foundation tests: captured library messages,
// temporary image files and big-endian byte writers.
#pragma once

#include "libhfs/libhfs.h"

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace qtest {

// Installs the program's device hooks with an error hook that records every
// formatted message; restores nothing (each test installs what it needs).
void install_capturing_hooks();
// The messages recorded since the last call, and clears them.
std::vector<std::string> take_messages();

// A file in the test's temporary folder, removed at destruction.
class temp_file {
public:
    explicit temp_file(std::span<const uint8_t> contents);
    ~temp_file();
    temp_file(const temp_file&) = delete;
    temp_file& operator=(const temp_file&) = delete;
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

void put_u16(std::vector<uint8_t>& bytes, size_t at, uint16_t value);
void put_u32(std::vector<uint8_t>& bytes, size_t at, uint32_t value);
void put_u64(std::vector<uint8_t>& bytes, size_t at, uint64_t value);

// Bytes whose value is a function of their offset.
std::vector<uint8_t> pattern(size_t size);

} // namespace qtest
