#include "access/disk_image/udif.h"

#include "access/disk_image/codecs.h"
#include "access/disk_image/file_io.h"
#include "access/disk_image/plist_dict.h"
#include "access/disk_image/run_cache.h"
#include "libhfs/byte_order.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <new>
#include <optional>
#include <pugixml.hpp>
#include <sys/stat.h>
#include <zlib.h>

namespace dimg {

using hfslib::load_be32;
using hfslib::load_be64;

namespace {

// Far beyond any segmented image; keeps a hostile count cheap.
constexpr uint32_t max_segments = 4096;

// offset + length within limit, without overflow.
bool fits(uint64_t offset, uint64_t length, uint64_t limit) {
    return offset <= limit && length <= limit - offset;
}

// One file of the image and the part of the data stream it holds.
struct segment {
    unique_fd fd;                    // the file (or none: memory)
    std::span<const uint8_t> memory; // the file's bytes when held in memory
    uint64_t data_offset = 0;        // where its data fork starts in the file
    uint64_t length = 0;             // bytes of data fork
    uint64_t running = 0;            // where that data fork starts in the stream
};

int read_file(int fd, std::span<const uint8_t> memory, uint8_t* dst, size_t size, uint64_t offset) {
    if (fd < 0) {
        if (!fits(offset, size, memory.size())) return -EIO;
        std::memcpy(dst, memory.data() + offset, size);
        return 0;
    }
    return pread_exact(fd, dst, size, offset);
}

class udif_image final : public hfs_byte_source {
public:
    udif_image(std::vector<segment> segments, std::vector<run> runs, uint64_t size,
               uint64_t cache_bytes)
        : segments_(std::move(segments)), runs_(std::move(runs)), size_(size), cache_(cache_bytes) {
    }

    // What verify() checks against.
    void set_checksums(std::vector<table_check> checks, const koly& trailer) {
        checks_ = std::move(checks);
        trailer_ = trailer;
    }

    // Decodes every run and checks the image's checksums; see verify_udif.
    int verify(std::string& report) {
        std::lock_guard lock(lock_);
        std::vector<uint32_t> crcs(checks_.size(), 0);
        std::vector<bool> readable(checks_.size(), true);
        bool bad = false;
        bool checked = false; // a checksum over decoded or stored bytes
        try {
            std::vector<uint8_t> chunk(size_t{1} << 20);
            for (const run& r : runs_) {
                if (r.type == run_ignore || r.table >= crcs.size()) continue;
                if (int err = checksum_run(r, chunk, crcs[r.table])) {
                    report += "BAD  " + checks_[r.table].name + ": the run at sector " +
                              std::to_string(r.disk_offset / 512) + " (" + run_type_name(r.type) +
                              ") cannot be read: " + std::strerror(-err) + "\n";
                    readable[r.table] = false;
                    bad = true;
                }
            }
            for (size_t t = 0; t < checks_.size(); ++t) {
                const table_check& c = checks_[t];
                if (!c.crc32)
                    report += "-    " + c.name + ": no checksum\n";
                else if (readable[t])
                    bad |= !compare(report, c.name, crcs[t], c.value);
                checked |= c.crc32;
            }
            if (trailer_.master_checksum_type == 2) {
                uint32_t crc = 0;
                for (const table_check& c : checks_) {
                    const uint8_t be[4] = {
                        static_cast<uint8_t>(c.value >> 24), static_cast<uint8_t>(c.value >> 16),
                        static_cast<uint8_t>(c.value >> 8), static_cast<uint8_t>(c.value)};
                    crc = static_cast<uint32_t>(::crc32(crc, be, 4));
                }
                bad |=
                    !compare(report, "all tables (master checksum)", crc, trailer_.master_checksum);
            }
            if (trailer_.data_checksum_type == 2 && segments_.size() == 1) {
                uint32_t crc = 0;
                const uint64_t length = segments_[0].length;
                for (uint64_t at = 0; at < length;) {
                    const size_t take =
                        static_cast<size_t>(std::min<uint64_t>(chunk.size(), length - at));
                    if (int err = read_stream(chunk.data(), take, at)) return err;
                    crc =
                        static_cast<uint32_t>(::crc32(crc, chunk.data(), static_cast<uInt>(take)));
                    at += take;
                }
                bad |= !compare(report, "data fork", crc, trailer_.data_checksum);
                checked = true;
            }
        } catch (const std::bad_alloc&) {
            return -ENOMEM;
        }
        return bad ? -EIO : checked ? 0 : -ENODATA;
    }

    uint64_t size() const override { return size_; }

    int read(std::span<uint8_t> buf, uint64_t offset, size_t& got) override {
        got = 0;
        if (offset >= size_) return 0;
        const size_t n = static_cast<size_t>(std::min<uint64_t>(buf.size(), size_ - offset));
        std::lock_guard lock(lock_);
        size_t i = find_run(runs_, offset);
        while (got < n) {
            const uint64_t at = offset + got;
            uint8_t* dst = buf.data() + got;
            if (i == runs_.size() || runs_[i].disk_offset > at) {
                // Not described by any table: zeros.
                const uint64_t end =
                    i == runs_.size() ? offset + n : std::min(runs_[i].disk_offset, offset + n);
                std::memset(dst, 0, static_cast<size_t>(end - at));
                got += static_cast<size_t>(end - at);
                continue;
            }
            const run& r = runs_[i];
            const uint64_t inner = at - r.disk_offset;
            const size_t take = static_cast<size_t>(std::min<uint64_t>(r.length - inner, n - got));
            if (int err = read_run(i, r, inner, dst, take)) return err;
            got += take;
            ++i;
        }
        return 0;
    }

private:
    int read_run(size_t index, const run& r, uint64_t inner, uint8_t* dst, size_t take) {
        switch (r.type) {
        case run_zero:
        case run_ignore:
            std::memset(dst, 0, take);
            return 0;
        case run_raw:
            return read_stream(dst, take, r.stored_offset + inner);
        default:
            break;
        }
        run_cache::bytes decoded = cache_.find(index);
        if (!decoded) {
            if (int err = decode(r, decoded)) return err;
            cache_.insert(index, decoded);
        }
        std::memcpy(dst, decoded->data() + inner, take);
        return 0;
    }

    int decode(const run& r, run_cache::bytes& out) {
        try {
            std::vector<uint8_t> stored(static_cast<size_t>(r.stored_length));
            if (int err = read_stream(stored.data(), stored.size(), r.stored_offset)) return err;
            auto decoded = std::make_shared<std::vector<uint8_t>>(static_cast<size_t>(r.length));
            if (int err = decode_run(r.type, stored, *decoded)) return err;
            out = std::move(decoded);
            return 0;
        } catch (const std::bad_alloc&) {
            return -ENOMEM;
        }
    }

    static bool compare(std::string& report, const std::string& what, uint32_t crc,
                        uint32_t expected) {
        char line[96];
        std::snprintf(line, sizeof line, ": CRC-32 %08X%s%08X\n", crc,
                      crc == expected ? " as recorded " : " where the image records ", expected);
        report += (crc == expected ? "ok   " : "BAD  ") + what + line;
        return crc == expected;
    }

    // `crc` followed by `length` zero bytes, in time logarithmic in the
    // length (a table may claim any number of zero sectors).
    static uint32_t crc_of_zeros(uint32_t crc, uint64_t length) {
        static constexpr uint8_t zeros[512] = {};
        uLong block = ::crc32(0, zeros, sizeof zeros); // CRC of `size` zero bytes
        uint64_t size = sizeof zeros;
        for (uint64_t blocks = length / size; blocks != 0; blocks >>= 1) {
            if (blocks & 1)
                crc = static_cast<uint32_t>(
                    ::crc32_combine64(crc, block, static_cast<z_off64_t>(size)));
            block = ::crc32_combine64(block, block, static_cast<z_off64_t>(size));
            size *= 2;
        }
        return static_cast<uint32_t>(::crc32(crc, zeros, static_cast<uInt>(length % sizeof zeros)));
    }

    // Adds the decoded bytes of a run to a running CRC-32.
    int checksum_run(const run& r, std::vector<uint8_t>& chunk, uint32_t& crc) {
        if (r.type == run_zero) {
            crc = crc_of_zeros(crc, r.length);
            return 0;
        }
        if (r.type == run_raw) {
            for (uint64_t at = 0; at < r.length;) {
                const size_t take =
                    static_cast<size_t>(std::min<uint64_t>(chunk.size(), r.length - at));
                if (int err = read_stream(chunk.data(), take, r.stored_offset + at)) return err;
                crc = static_cast<uint32_t>(::crc32(crc, chunk.data(), static_cast<uInt>(take)));
                at += take;
            }
            return 0;
        }
        run_cache::bytes decoded;
        if (int err = decode(r, decoded)) return err;
        crc = static_cast<uint32_t>(
            ::crc32(crc, decoded->data(), static_cast<uInt>(decoded->size())));
        return 0;
    }

    // Bytes [pos, pos + size) of the data stream, across segments.
    int read_stream(uint8_t* dst, size_t size, uint64_t pos) {
        auto it = std::upper_bound(segments_.begin(), segments_.end(), pos,
                                   [](uint64_t p, const segment& s) { return p < s.running; });
        if (it == segments_.begin()) return -EIO;
        --it;
        while (size != 0) {
            // Past this segment (or an empty one): the next.
            while (it != segments_.end() && pos >= it->running && pos - it->running >= it->length)
                ++it;
            if (it == segments_.end() || pos < it->running) return -EIO;
            const uint64_t inner = pos - it->running;
            const size_t take = static_cast<size_t>(std::min<uint64_t>(size, it->length - inner));
            if (int err = read_file(it->fd.get(), it->memory, dst, take, it->data_offset + inner))
                return err;
            dst += take;
            pos += take;
            size -= take;
            ++it;
        }
        return 0;
    }

    std::vector<segment> segments_;
    std::vector<run> runs_;
    std::vector<table_check> checks_;
    koly trailer_;
    uint64_t size_;
    std::mutex lock_;
    run_cache cache_;
};

std::string segment_name(const std::string& first, uint32_t k) {
    std::string stem = first;
    if (stem.size() > 4 && stem.compare(stem.size() - 4, 4, ".dmg") == 0)
        stem.resize(stem.size() - 4);
    char number[16];
    std::snprintf(number, sizeof number, k < 1000 ? ".%03u" : ".%u", k);
    return stem + number + ".dmgpart";
}

std::string base_name(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The trailer of an open file of `size` bytes.
int read_trailer(int fd, std::span<const uint8_t> memory, uint64_t size, koly& k,
                 std::string& error) {
    uint8_t tail[koly_size];
    if (size < koly_size) {
        error = "is too small for a disk image trailer";
        return -EINVAL;
    }
    if (int err = read_file(fd, memory, tail, sizeof tail, size - koly_size)) {
        error = std::string("cannot be read: ") + std::strerror(-err);
        return err;
    }
    if (!is_koly(tail)) {
        error = "has no disk image trailer (the file is truncated or not part of this image)";
        return -EINVAL;
    }
    return parse_koly(tail, size, k, error);
}

// Opens segments 2 and later of a segmented image.
int open_segments(const std::string& path, const koly& first, std::vector<segment>& segments,
                  std::string& error) {
    const uint32_t count = first.segment_count;
    if (count > max_segments) {
        error = "claims " + std::to_string(count) + " segments";
        return -EINVAL;
    }
    for (uint32_t k = 2; k <= count; ++k) {
        const std::string name = segment_name(path, k);
        const std::string what = "segment " + std::to_string(k) + " of " + std::to_string(count) +
                                 " (" + base_name(name) + ")";
        unique_fd fd;
        struct stat st {};
        std::string why;
        if (int err = open_image_part(AT_FDCWD, name.c_str(), fd, st, why)) {
            error = what + " " + why;
            return err;
        }
        koly trailer;
        if (int err = read_trailer(fd.get(), {}, static_cast<uint64_t>(st.st_size), trailer, why)) {
            error = what + " " + why;
            return err;
        }
        const segment& previous = segments.back();
        if (std::memcmp(trailer.segment_id, first.segment_id, 16) != 0 ||
            trailer.segment_number != k ||
            trailer.running_offset != previous.running + previous.length) {
            error = what + " does not belong to this image (segment ID, number or position differ)";
            return -EINVAL;
        }
        segment s;
        s.fd = std::move(fd);
        s.data_offset = trailer.data_offset;
        s.length = trailer.data_length;
        s.running = trailer.running_offset;
        segments.push_back(std::move(s));
    }
    return 0;
}

int open_image(const std::string& path, int fd, std::span<const uint8_t> memory, uint64_t size,
               uint64_t cache_bytes, std::unique_ptr<udif_image>& out, std::string& error) {
    koly k;
    if (int err = read_trailer(fd, memory, size, k, error)) return err;
    if (k.segment_number > 1 && k.segment_count > 1) {
        error = "is segment " + std::to_string(k.segment_number) + " of " +
                std::to_string(k.segment_count) + " of an image; open the first (.dmg) one";
        return -EINVAL;
    }
    if (k.xml_length == 0 && k.rsrc_length == 0) {
        error = "has no block tables";
        return -EINVAL;
    }
    if (k.running_offset != 0) {
        error = "is not the first segment of an image (its data starts at " +
                std::to_string(k.running_offset) + " of the image's data)";
        return -EINVAL;
    }

    std::vector<segment> segments(1);
    if (fd >= 0) {
        segments[0].fd = unique_fd(::fcntl(fd, F_DUPFD_CLOEXEC, 0));
        if (!segments[0].fd) {
            error = std::strerror(errno);
            return -errno;
        }
    } else {
        segments[0].memory = memory;
    }
    segments[0].data_offset = k.data_offset;
    segments[0].length = k.data_length;
    segments[0].running = k.running_offset;
    if (k.segment_count > 1) {
        if (fd < 0) {
            error = "is a segmented image";
            return -EINVAL;
        }
        if (int err = open_segments(path, k, segments, error)) return err;
    }
    const segment& last = segments.back();
    table_limits limits;
    limits.disk_sectors = k.sector_count;
    limits.stream_size = last.running + last.length;
    if (limits.stream_size < last.running) {
        error = "has segments larger than any file";
        return -EINVAL;
    }

    std::vector<run> runs;
    std::vector<table_check> checks;
    try {
        const bool xml = k.xml_length != 0;
        const uint64_t length = xml ? k.xml_length : k.rsrc_length;
        std::vector<uint8_t> tables(static_cast<size_t>(length));
        if (int err = read_file(fd, memory, tables.data(), tables.size(),
                                xml ? k.xml_offset : k.rsrc_offset)) {
            error = std::string("block tables cannot be read: ") + std::strerror(-err);
            return err;
        }
        int err =
            xml ? parse_plist_tables({reinterpret_cast<const char*>(tables.data()), tables.size()},
                                     limits, runs, error, &checks)
                : parse_rsrc_tables(tables, limits, runs, error, &checks);
        if (err == 0) err = build_index(runs, error);
        if (err != 0) return err;
        out = std::make_unique<udif_image>(std::move(segments), std::move(runs),
                                           k.sector_count * 512, cache_bytes);
        out->set_checksums(std::move(checks), k);
    } catch (const std::bad_alloc&) {
        error = "is too large to index in memory";
        return -ENOMEM;
    }
    return 0;
}

} // namespace

bool is_koly(std::span<const uint8_t> tail) {
    return tail.size() >= 4 && std::memcmp(tail.data(), "koly", 4) == 0;
}

int parse_koly(std::span<const uint8_t> tail, uint64_t file_size, koly& k, std::string& error) {
    if (tail.size() < koly_size || !is_koly(tail) || file_size < koly_size) {
        error = "has no disk image trailer";
        return -EINVAL;
    }
    if (load_be32(tail, 8) != koly_size) {
        error = "has a trailer of unknown size " + std::to_string(load_be32(tail, 8));
        return -EINVAL;
    }
    k.version = load_be32(tail, 4);
    k.running_offset = load_be64(tail, 16);
    k.data_offset = load_be64(tail, 24);
    k.data_length = load_be64(tail, 32);
    k.rsrc_offset = load_be64(tail, 40);
    k.rsrc_length = load_be64(tail, 48);
    k.segment_number = load_be32(tail, 56);
    k.segment_count = load_be32(tail, 60);
    std::memcpy(k.segment_id, tail.data() + 64, 16);
    k.xml_offset = load_be64(tail, 216);
    k.xml_length = load_be64(tail, 224);
    k.sector_count = load_be64(tail, 492);
    k.data_checksum_type = load_be32(tail, 84) == 32 ? load_be32(tail, 80) : 0;
    k.data_checksum = load_be32(tail, 88);
    k.master_checksum_type = load_be32(tail, 356) == 32 ? load_be32(tail, 352) : 0;
    k.master_checksum = load_be32(tail, 360);
    // A segment number past the count: the trailer is damaged. Both left at
    // 0 is an image that never filled them in.
    if (k.segment_number > k.segment_count) {
        error = "has a damaged trailer: it calls itself segment " +
                std::to_string(k.segment_number) + " of " + std::to_string(k.segment_count);
        return -EINVAL;
    }
    const uint64_t body = file_size - koly_size;
    if (!fits(k.data_offset, k.data_length, body)) {
        error = "is truncated: its data fork ends at byte " +
                std::to_string(k.data_offset + k.data_length) + " of " + std::to_string(file_size);
        return -EINVAL;
    }
    if (!fits(k.xml_offset, k.xml_length, body) || !fits(k.rsrc_offset, k.rsrc_length, body)) {
        error = "is truncated or damaged: its block tables lie beyond the end of the file";
        return -EINVAL;
    }
    if (k.xml_length > max_table_bytes || (k.xml_length == 0 && k.rsrc_length > max_table_bytes)) {
        error = "has block tables larger than this reader accepts";
        return -EINVAL;
    }
    if (k.sector_count > UINT64_MAX / 512) {
        error = "claims an impossible disk size";
        return -EINVAL;
    }
    return 0;
}

int parse_plist_tables(std::string_view xml, const table_limits& limits, std::vector<run>& runs,
                       std::string& error, std::vector<table_check>* checks) {
    pugi::xml_document doc;
    const pugi::xml_parse_result parsed =
        doc.load_buffer(xml.data(), xml.size(), pugi::parse_default, pugi::encoding_utf8);
    if (!parsed) {
        error = std::string("has a damaged property list (") + parsed.description() + " at byte " +
                std::to_string(parsed.offset) + ")";
        return -EINVAL;
    }
    const pugi::xml_node top = doc.child("plist").child("dict");
    const pugi::xml_node blkx = dict_value(dict_value(top, "resource-fork"), "blkx");
    if (!top || std::string_view(blkx.name()) != "array") {
        error = "has a property list without block tables (resource-fork/blkx)";
        return -EINVAL;
    }
    std::vector<uint8_t> blob;
    uint32_t table = 0;
    for (pugi::xml_node entry = blkx.child("dict"); entry; entry = entry.next_sibling("dict")) {
        const pugi::xml_node data = dict_value(entry, "Data");
        std::string_view name = dict_value(entry, "Name").child_value();
        if (name.empty()) name = dict_value(entry, "CFName").child_value();
        if (std::string_view(data.name()) != "data" ||
            base64_decode(data.child_value(), blob) != 0) {
            error = "block table " + std::to_string(table) + " (" + std::string(name) +
                    ") is not valid base64 data";
            return -EINVAL;
        }
        if (int err = parse_mish(blob, limits, table, name, runs, error, checks)) return err;
        ++table;
    }
    if (table == 0) {
        error = "has an empty list of block tables";
        return -EINVAL;
    }
    return 0;
}

int parse_rsrc_tables(std::span<const uint8_t> rsrc, const table_limits& limits,
                      std::vector<run>& runs, std::string& error,
                      std::vector<table_check>* checks) {
    using hfslib::try_load_be16;
    using hfslib::try_load_be32;
    const auto fail = [&error](std::string why) {
        error = std::move(why);
        return -EINVAL;
    };
    const std::string damaged = "has a damaged resource fork";
    const auto data_area = try_load_be32(rsrc, 0), map = try_load_be32(rsrc, 4);
    const auto type_list = map ? try_load_be16(rsrc, size_t{*map} + 24) : std::nullopt;
    if (!data_area || !type_list) return fail(damaged);
    const uint64_t types = uint64_t{*map} + *type_list;
    const auto type_count = try_load_be16(rsrc, types);
    if (!type_count) return fail(damaged);

    // Where each table lies in the fork, its length word included, in the
    // order listed. References are free to name any bytes, many times over:
    // every table must have bytes of its own, so that no more tables are
    // read than the fork holds (each takes a length and a header at least).
    struct stored_table {
        uint64_t start, end;
    };
    std::vector<stored_table> tables;
    const size_t most = rsrc.size() / (4 + mish_header_size);
    for (uint32_t t = 0; t <= *type_count; ++t) {
        const uint64_t at = types + 2 + uint64_t{t} * 8;
        if (!fits(at, 8, rsrc.size())) return fail(damaged);
        if (std::memcmp(rsrc.data() + at, "blkx", 4) != 0) continue;
        const uint32_t count = hfslib::load_be16(rsrc, at + 4) + 1u;
        const uint64_t refs = types + hfslib::load_be16(rsrc, at + 6);
        for (uint32_t i = 0; i < count; ++i) {
            const uint64_t ref = refs + uint64_t{i} * 12;
            if (!fits(ref, 12, rsrc.size())) return fail(damaged);
            const uint8_t* r = rsrc.data() + ref;
            const uint64_t item = *data_area + ((uint64_t{r[5]} << 16) | (r[6] << 8) | r[7]);
            const auto length = try_load_be32(rsrc, item);
            if (!length || !fits(item + 4, *length, rsrc.size())) return fail(damaged);
            if (tables.size() == most)
                return fail(damaged + ": it lists more block tables than its " +
                            std::to_string(rsrc.size()) + " bytes can hold");
            tables.push_back({item, item + 4 + *length});
        }
    }
    if (tables.empty()) return fail("has no block tables in its resource fork");
    std::vector<uint32_t> order(tables.size());
    for (uint32_t i = 0; i < order.size(); ++i) order[i] = i;
    std::sort(order.begin(), order.end(),
              [&](uint32_t a, uint32_t b) { return tables[a].start < tables[b].start; });
    for (size_t k = 1; k < order.size(); ++k) {
        if (tables[order[k]].start < tables[order[k - 1]].end)
            return fail(damaged + ": block tables " + std::to_string(order[k - 1]) + " and " +
                        std::to_string(order[k]) + " share their stored bytes (at byte " +
                        std::to_string(tables[order[k]].start) + " of the fork)");
    }
    for (uint32_t i = 0; i < tables.size(); ++i) {
        const std::span<const uint8_t> blob =
            rsrc.subspan(static_cast<size_t>(tables[i].start + 4),
                         static_cast<size_t>(tables[i].end - tables[i].start - 4));
        if (int err = parse_mish(blob, limits, i, {}, runs, error, checks)) return err;
    }
    return 0;
}

int open_udif(const std::string& path, int fd, uint64_t cache_bytes, hfs_byte_source_ptr& out,
              std::string& error) {
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        error = std::strerror(errno);
        return -errno;
    }
    std::unique_ptr<udif_image> image;
    const int err =
        open_image(path, fd, {}, static_cast<uint64_t>(st.st_size), cache_bytes, image, error);
    out = std::move(image);
    return err;
}

int open_udif_memory(std::span<const uint8_t> image, uint64_t cache_bytes, hfs_byte_source_ptr& out,
                     std::string& error) {
    std::unique_ptr<udif_image> opened;
    const int err = open_image({}, -1, image, image.size(), cache_bytes, opened, error);
    out = std::move(opened);
    return err;
}

int verify_udif(const std::string& path, int fd, std::string& report) {
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        report = std::strerror(errno);
        return -errno;
    }
    std::unique_ptr<udif_image> image;
    if (int err = open_image(path, fd, {}, static_cast<uint64_t>(st.st_size), 0, image, report))
        return err;
    return image->verify(report);
}

} // namespace dimg
