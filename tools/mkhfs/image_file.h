// The output image: written piecewise with pwrite so that large, mostly empty
// volumes stay sparse and are never held in memory.
#pragma once

#include <cstdint>
#include <filesystem>
#include <span>

namespace mkhfs {

class ImageFile {
public:
    explicit ImageFile(const std::filesystem::path& path);
    ~ImageFile();
    ImageFile(const ImageFile&) = delete;
    ImageFile& operator=(const ImageFile&) = delete;

    void write(uint64_t offset, std::span<const uint8_t> bytes);
    void set_size(uint64_t size);
    void finish(); // flushes and closes; errors throw

private:
    int fd_ = -1;
    std::filesystem::path path_;
};

} // namespace mkhfs
