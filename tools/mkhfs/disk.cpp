#include "disk.h"

#include "names.h"

#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <stdexcept>
#include <unistd.h>

namespace mkhfs {

namespace {

constexpr uint64_t entries_sectors = 32; // 128 entries of 128 bytes
constexpr uint64_t first_partition = 40; // where hdiutil puts the first partition
constexpr uint64_t align = 8;            // partitions start on 4 KiB boundaries
constexpr const char* hfs_type = "48465300-0000-11AA-AA11-00306543ECAC";

uint64_t align_up(uint64_t v, uint64_t a) {
    return (v + a - 1) / a * a;
}

uint64_t splitmix64(uint64_t x) {
    x += 0x9E3779B97F4A7C15ULL;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ULL;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBULL;
    return x ^ (x >> 31);
}

// A GUID in its on-disk form: the first three groups little-endian.
void put_guid(uint8_t* p, const std::string& text) {
    uint8_t b[16];
    std::string hex;
    for (char ch : text)
        if (ch != '-') hex += ch;
    for (int i = 0; i < 16; ++i)
        b[i] = uint8_t(std::stoul(hex.substr(size_t(2 * i), 2), nullptr, 16));
    const int order[16] = {3, 2, 1, 0, 5, 4, 7, 6, 8, 9, 10, 11, 12, 13, 14, 15};
    for (int i = 0; i < 16; ++i) p[i] = b[order[i]];
}

// A fixed, made-up GUID (version 4 layout) so that the output is reproducible.
void put_made_up_guid(uint8_t* p, uint64_t seed) {
    put_le64(p, splitmix64(seed));
    put_le64(p + 8, splitmix64(seed + 1));
    p[7] = uint8_t((p[7] & 0x0F) | 0x40);
    p[8] = uint8_t((p[8] & 0x3F) | 0x80);
}

uint32_t crc32_of(std::span<const uint8_t> b) {
    return uint32_t(crc32(crc32(0, nullptr, 0), b.data(), uInt(b.size())));
}

struct GptPartition {
    std::string type, name;
    uint64_t first, count;
};

Bytes gpt_header(uint64_t self, uint64_t other, uint64_t entries_at, uint64_t disk_sectors,
                 uint32_t entries_crc) {
    Bytes h(512, 0);
    std::memcpy(h.data(), "EFI PART", 8);
    put_le32(h.data() + 8, 0x00010000);
    put_le32(h.data() + 12, 92);
    put_le64(h.data() + 24, self);
    put_le64(h.data() + 32, other);
    put_le64(h.data() + 40, 2 + entries_sectors);                // first usable
    put_le64(h.data() + 48, disk_sectors - 2 - entries_sectors); // last usable
    put_made_up_guid(h.data() + 56, 0x6469736B);                 // disk GUID
    put_le64(h.data() + 72, entries_at);
    put_le32(h.data() + 80, 128);
    put_le32(h.data() + 84, 128);
    put_le32(h.data() + 88, entries_crc);
    put_le32(h.data() + 16, crc32_of(std::span(h).first(92)));
    return h;
}

} // namespace

Disk::Disk(const Container& c, const std::filesystem::path& volume_image, bool hfsx)
    : volume_path_(volume_image) {
    fd_ = ::open(volume_image.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd_ < 0)
        throw std::runtime_error("cannot open \"" + volume_image.string() +
                                 "\": " + std::strerror(errno));
    off_t size = ::lseek(fd_, 0, SEEK_END);
    if (size < 0 || size % 512)
        throw std::runtime_error("the volume image is not a whole number of sectors");
    const uint64_t volume_sectors = uint64_t(size) / 512;
    if (c.gpt) {
        lay_out_gpt(c, volume_sectors, hfsx);
    } else {
        sectors_ = volume_sectors;
        Piece v;
        v.length = uint64_t(size);
        v.volume = true;
        pieces_.push_back(std::move(v));
        areas_.push_back(
            {std::string("whole disk (") + (hfsx ? "Apple_HFSX" : "Apple_HFS") + " : 0)", 0,
             sectors_, false, true});
    }
}

Disk::~Disk() {
    if (fd_ >= 0) ::close(fd_);
}

// MBR, primary GPT header and entries, free space up to sector 40, the
// partitions (4 KiB aligned, free space between them), free space, backup
// entries and backup header in the last sector.
void Disk::lay_out_gpt(const Container& c, uint64_t volume_sectors, bool hfsx) {
    partitioned_ = true;
    std::vector<GptPartition> parts;
    parts.push_back({hfs_type, c.partition_name, first_partition, volume_sectors});
    uint64_t end = first_partition + volume_sectors;
    if (c.extra) {
        uint64_t start = align_up(end, align);
        parts.push_back({c.extra->type_guid, c.extra->name, start, c.extra->size / 512});
        end = start + c.extra->size / 512;
    }
    const uint64_t backup_entries = align_up(end, align) + align;
    sectors_ = backup_entries + entries_sectors + 1;

    Bytes entries(entries_sectors * 512, 0);
    for (size_t i = 0; i < parts.size(); ++i) {
        uint8_t* e = entries.data() + 128 * i;
        put_guid(e, parts[i].type);
        put_made_up_guid(e + 16, 0x70617274 + 2 * i);
        put_le64(e + 32, parts[i].first);
        put_le64(e + 40, parts[i].first + parts[i].count - 1);
        std::u16string name = plain_utf16(parts[i].name);
        if (name.size() > 36) throw ManifestError("container: partition name longer than 36 units");
        for (size_t k = 0; k < name.size(); ++k)
            e[56 + 2 * k] = uint8_t(name[k]), e[57 + 2 * k] = uint8_t(name[k] >> 8);
    }
    const uint32_t entries_crc = crc32_of(entries);

    Bytes mbr(512, 0);
    uint8_t* p = mbr.data() + 446;
    p[1] = 0x00, p[2] = 0x02, p[3] = 0x00; // CHS of sector 1
    p[4] = 0xEE;
    p[5] = p[6] = p[7] = 0xFF;
    put_le32(p + 8, 1);
    put_le32(p + 12, uint32_t(std::min<uint64_t>(sectors_ - 1, 0xFFFFFFFF)));
    mbr[510] = 0x55, mbr[511] = 0xAA;

    auto add = [&](uint64_t sector, Bytes b) {
        Piece piece;
        piece.offset = sector * 512;
        piece.length = b.size();
        piece.bytes = std::move(b);
        pieces_.push_back(std::move(piece));
    };
    add(0, std::move(mbr));
    add(1, gpt_header(1, sectors_ - 1, 2, sectors_, entries_crc));
    add(2, entries);
    add(backup_entries, entries);
    add(sectors_ - 1, gpt_header(sectors_ - 1, 1, backup_entries, sectors_, entries_crc));
    Piece v;
    v.offset = first_partition * 512;
    v.length = volume_sectors * 512;
    v.volume = true;
    pieces_.push_back(std::move(v));
    if (c.extra && !c.extra->data.empty() && !c.extra->data.all_zero()) {
        extra_data_ = c.extra->data;
        Piece x;
        x.offset = parts[1].first * 512;
        x.length = extra_data_.length();
        x.content = &extra_data_;
        pieces_.push_back(std::move(x));
    }

    // The blkx tables, named the way hdiutil names them.
    auto area = [&](std::string what, std::string kind, uint64_t first, uint64_t count,
                    bool free = false, bool fs = false) {
        if (count == 0) return;
        areas_.push_back({what + " (" + kind + " : " + std::to_string(areas_.size()) + ")", first,
                          count, free, fs});
    };
    area("Protective Master Boot Record", "MBR", 0, 1);
    area("GPT Header", "Primary GPT Header", 1, 1);
    area("GPT Partition Data", "Primary GPT Table", 2, entries_sectors);
    uint64_t at = 2 + entries_sectors;
    for (size_t i = 0; i < parts.size(); ++i) {
        area("", "Apple_Free", at, parts[i].first - at, true);
        if (i == 0)
            area(parts[i].name, hfsx ? "Apple_HFSX" : "Apple_HFS", parts[i].first, parts[i].count,
                 false, true);
        else
            area(parts[i].name, parts[i].type, parts[i].first, parts[i].count);
        at = parts[i].first + parts[i].count;
    }
    area("", "Apple_Free", at, backup_entries - at, true);
    area("GPT Partition Data", "Backup GPT Table", backup_entries, entries_sectors);
    area("GPT Header", "Backup GPT Header", sectors_ - 1, 1);
}

void Disk::read_volume(uint64_t from, std::span<uint8_t> out) const {
    const uint64_t end = from + out.size();
    uint64_t pos = from;
    while (pos < end) {
        off_t data = ::lseek(fd_, off_t(pos), SEEK_DATA);
        if (data < 0 || uint64_t(data) >= end) return; // the rest is a hole
        off_t hole = ::lseek(fd_, data, SEEK_HOLE);
        uint64_t stop = hole < 0 ? end : std::min<uint64_t>(uint64_t(hole), end);
        for (uint64_t at = uint64_t(data); at < stop;) {
            ssize_t n = ::pread(fd_, out.data() + (at - from), size_t(stop - at), off_t(at));
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0)
                throw std::runtime_error("cannot read \"" + volume_path_.string() +
                                         "\": " + (n < 0 ? std::strerror(errno) : "short file"));
            at += uint64_t(n);
        }
        pos = stop;
    }
}

bool Disk::hole(uint64_t offset, uint64_t length) const {
    const uint64_t end = offset + length;
    for (const Piece& p : pieces_) {
        uint64_t lo = std::max(offset, p.offset), hi = std::min(end, p.offset + p.length);
        if (lo >= hi) continue;
        if (!p.volume) return false;
        off_t data = ::lseek(fd_, off_t(lo - p.offset), SEEK_DATA);
        if (data >= 0 && uint64_t(data) < hi - p.offset) return false;
    }
    return true;
}

bool Disk::read(uint64_t offset, std::span<uint8_t> out) const {
    std::fill(out.begin(), out.end(), 0);
    bool touched = false;
    const uint64_t end = offset + out.size();
    for (const Piece& p : pieces_) {
        uint64_t lo = std::max(offset, p.offset), hi = std::min(end, p.offset + p.length);
        if (lo >= hi) continue;
        auto dst = out.subspan(lo - offset, hi - lo);
        if (p.volume)
            read_volume(lo - p.offset, dst);
        else if (p.content)
            p.content->read(lo - p.offset, dst);
        else
            std::memcpy(dst.data(), p.bytes.data() + (lo - p.offset), dst.size());
        touched = true;
    }
    return !touched || std::all_of(out.begin(), out.end(), [](uint8_t b) { return b == 0; });
}

} // namespace mkhfs
