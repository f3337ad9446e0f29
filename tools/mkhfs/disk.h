// The disk a container holds: the volume alone, or a GPT-partitioned disk with
// the volume in an HFS+ partition (and optionally a second partition). Bytes
// are produced on demand from the volume image, so nothing of disk size is
// held in memory and the volume's holes are never read.
#pragma once

#include "bytes.h"
#include "content.h"
#include "manifest.h"

#include <filesystem>
#include <span>
#include <string>
#include <vector>

namespace mkhfs {

// A range of the disk as a UDIF image describes it: one blkx table each.
struct DiskArea {
    std::string name;              // e.g. "GPT Header (Primary GPT Header : 1)"
    uint64_t first = 0, count = 0; // sectors
    bool free = false;             // unallocated space (written as one ignore run)
    bool file_system = false;      // the HFS+ volume
};

class Disk {
public:
    Disk(const Container& c, const std::filesystem::path& volume_image, bool hfsx);
    ~Disk();
    Disk(const Disk&) = delete;
    Disk& operator=(const Disk&) = delete;

    uint64_t sectors() const { return sectors_; }
    uint64_t bytes() const { return sectors_ * 512; }
    bool partitioned() const { return partitioned_; }
    const std::vector<DiskArea>& areas() const { return areas_; }

    // Fills out with the disk bytes at [offset, offset + out.size()); returns
    // true when all of them are zero.
    bool read(uint64_t offset, std::span<uint8_t> out) const;
    // True when [offset, offset + length) is known to be zero without reading
    // it (a hole of the volume image, or nothing there); false: maybe not.
    bool hole(uint64_t offset, uint64_t length) const;

private:
    struct Piece {
        uint64_t offset = 0, length = 0; // on the disk
        Bytes bytes;                     // literal bytes, or
        const Content* content = nullptr;
        bool volume = false; // the volume image file
    };
    void read_volume(uint64_t from, std::span<uint8_t> out) const;
    void lay_out_gpt(const Container& c, uint64_t volume_sectors, bool hfsx);

    int fd_ = -1;
    std::filesystem::path volume_path_;
    uint64_t sectors_ = 0;
    bool partitioned_ = false;
    std::vector<DiskArea> areas_;
    std::vector<Piece> pieces_;
    Content extra_data_;
};

} // namespace mkhfs
