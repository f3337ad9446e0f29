#include "access/disk_image/disk_image.h"

#include "access/disk_image/file_io.h"
#include "access/disk_image/sparse.h"
#include "access/disk_image/udif.h"

#include <algorithm>
#include <bzlib.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <linux/fs.h>
#include <lzma.h>
#include <mutex>
#include <span>
#include <string_view>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <vector>
#include <zlib.h>

namespace {

// "x.dmg is truncated", "x.dmg: block table 2 ...", "x/bands/3 is a FIFO".
std::string about(const char* path, const std::string& error) {
    if (error.starts_with('/')) return path + error;
    for (std::string_view verb : {"is ", "has ", "claims "})
        if (std::string_view(error).starts_with(verb)) return std::string(path) + " " + error;
    return std::string(path) + ": " + error;
}

} // namespace

namespace {

// A plain file or disk device, read as it is.
class file_source final : public hfs_byte_source {
public:
    file_source(dimg::unique_fd fd, uint64_t size) : fd_(std::move(fd)), size_(size) {}
    uint64_t size() const override { return size_; }
    int read(std::span<uint8_t> buf, uint64_t offset, size_t& got) override {
        got = 0;
        if (offset >= size_) return 0;
        const size_t n = static_cast<size_t>(std::min<uint64_t>(buf.size(), size_ - offset));
        return read_all_at(fd_.get(), buf.data(), n, offset, got);
    }

private:
    dimg::unique_fd fd_;
    uint64_t size_;
};

} // namespace

const char* hfs_image_kind_name(hfs_image_kind kind) {
    switch (kind) {
    case hfs_image_kind::udif:
        return "UDIF disk image (.dmg)";
    case hfs_image_kind::udif_truncated:
        return "truncated UDIF disk image (.dmg)";
    case hfs_image_kind::sparse_image:
        return "sparse image (.sparseimage)";
    case hfs_image_kind::sparse_bundle:
        return "sparse bundle (.sparsebundle)";
    case hfs_image_kind::encrypted:
        return "encrypted disk image";
    case hfs_image_kind::none:
        break;
    }
    return "plain disk or volume image";
}

int hfs_open_whole_disk(const char* path, uint64_t cache_bytes, hfs_byte_source_ptr& out,
                        std::string& error) {
    if (int err = hfs_open_disk_image(path, cache_bytes, out, error)) return err;
    if (out) return 0;
    dimg::unique_fd fd;
    struct stat st {};
    std::string why;
    if (int err = dimg::open_volume_path(path, fd, st, why)) {
        error = about(path, why);
        return err;
    }
    uint64_t size = static_cast<uint64_t>(st.st_size);
    if (S_ISBLK(st.st_mode) && ::ioctl(fd.get(), BLKGETSIZE64, &size) != 0) size = 0;
    if (S_ISDIR(st.st_mode)) {
        error = std::string(path) + " is a folder, not a disk";
        return -EISDIR;
    }
    out = std::make_unique<file_source>(std::move(fd), size);
    return 0;
}

hfs_image_kind hfs_probe_image(const char* path, std::string* detail) {
    struct stat st {};
    dimg::unique_fd fd;
    if (std::string why; dimg::open_volume_path(path, fd, st, why) != 0)
        return hfs_image_kind::none;
    if (S_ISDIR(st.st_mode))
        return dimg::is_sparse_bundle(path) ? hfs_image_kind::sparse_bundle : hfs_image_kind::none;
    if (!S_ISREG(st.st_mode)) return hfs_image_kind::none;
    uint8_t head[12] = {}, tail[dimg::koly_size] = {};
    size_t head_got = 0, tail_got = 0;
    read_all_at(fd.get(), head, sizeof head, 0, head_got);
    const uint64_t size = static_cast<uint64_t>(st.st_size);
    if (size >= sizeof tail) read_all_at(fd.get(), tail, sizeof tail, size - sizeof tail, tail_got);
    const bool has_tail = tail_got == sizeof tail;
    if (has_tail && dimg::is_koly(tail)) return hfs_image_kind::udif;
    if (head_got >= 4 && std::memcmp(head, "sprs", 4) == 0) return hfs_image_kind::sparse_image;
    if (head_got >= 12 && std::memcmp(head, "encrcdsa", 8) == 0) {
        if (detail)
            *detail = "encrcdsa, version " + std::to_string((uint32_t{head[8]} << 24) |
                                                            (uint32_t{head[9]} << 16) |
                                                            (uint32_t{head[10]} << 8) | head[11]);
        return hfs_image_kind::encrypted;
    }
    if ((has_tail && std::memcmp(tail + sizeof tail - 8, "cdsaencr", 8) == 0) ||
        (head_got >= 8 && std::memcmp(head, "cdsaencr", 8) == 0)) {
        if (detail) *detail = "cdsaencr, version 1";
        return hfs_image_kind::encrypted;
    }
    // A UDIF image cut short after its property list: the list is there,
    // the trailer is not. Only the end is looked at.
    std::string end(static_cast<size_t>(std::min<uint64_t>(size, 65536)), '\0');
    size_t end_got = 0;
    read_all_at(fd.get(), reinterpret_cast<uint8_t*>(end.data()), end.size(), size - end.size(),
                end_got);
    if (end.find("<key>blkx</key>") != std::string::npos) return hfs_image_kind::udif_truncated;
    return hfs_image_kind::none;
}

namespace {

// How much of a file's start is read, and decoded, to find its first
// compressed stream's end (a .dmg's runs decode to far less).
constexpr uint64_t first_stream_limit = uint64_t{4} << 20;
constexpr size_t decoded_limit = size_t{32} << 20;

// Where the bzip2, xz or zlib stream `data` starts with ends, with `codec`
// set to its name; 0 when it does not end within `data` and the limits
// (codec null: no such stream starts it).
size_t first_stream_end(std::span<const uint8_t> data, const char*& codec) {
    codec = nullptr;
    std::vector<uint8_t> out(1 << 16);
    size_t decoded = 0;
    if (data.size() >= 10 && std::memcmp(data.data(), "BZh", 3) == 0) {
        codec = "bzip2";
        bz_stream z{};
        if (BZ2_bzDecompressInit(&z, 0, 0) != BZ_OK) return 0;
        z.next_in = const_cast<char*>(reinterpret_cast<const char*>(data.data()));
        z.avail_in = static_cast<unsigned>(data.size());
        int status = BZ_OK;
        while (status == BZ_OK && decoded < decoded_limit) {
            z.next_out = reinterpret_cast<char*>(out.data());
            z.avail_out = static_cast<unsigned>(out.size());
            status = BZ2_bzDecompress(&z);
            decoded += out.size() - z.avail_out;
            if (status == BZ_OK && z.avail_in == 0 && z.avail_out != 0) break;
        }
        const size_t used = data.size() - z.avail_in;
        BZ2_bzDecompressEnd(&z);
        return status == BZ_STREAM_END ? used : 0;
    }
    if (data.size() >= 6 && std::memcmp(data.data(), "\3757zXZ\0", 6) == 0) {
        codec = "xz";
        lzma_stream z = LZMA_STREAM_INIT;
        if (lzma_stream_decoder(&z, uint64_t{128} << 20, 0) != LZMA_OK) return 0;
        z.next_in = data.data();
        z.avail_in = data.size();
        lzma_ret status = LZMA_OK;
        while (status == LZMA_OK && decoded < decoded_limit) {
            z.next_out = out.data();
            z.avail_out = out.size();
            status = lzma_code(&z, LZMA_FINISH);
            decoded += out.size() - z.avail_out;
        }
        const size_t used = data.size() - z.avail_in;
        lzma_end(&z);
        return status == LZMA_STREAM_END ? used : 0;
    }
    if (data.size() >= 2 && data[0] == 0x78 && ((data[0] << 8) | data[1]) % 31 == 0) {
        codec = "zlib";
        z_stream z{};
        if (::inflateInit(&z) != Z_OK) return 0;
        z.next_in = const_cast<Bytef*>(data.data());
        z.avail_in = static_cast<uInt>(data.size());
        int status = Z_OK;
        while (status == Z_OK && decoded < decoded_limit) {
            z.next_out = out.data();
            z.avail_out = static_cast<uInt>(out.size());
            status = ::inflate(&z, Z_NO_FLUSH);
            decoded += out.size() - z.avail_out;
        }
        const size_t used = data.size() - z.avail_in;
        ::inflateEnd(&z);
        return status == Z_STREAM_END ? used : 0;
    }
    return 0;
}

// Whether the last 11 bytes of a file end an xz stream (its footer's "YZ")
// or a bzip2 one (the end-of-stream mark, a CRC and up to 7 bits of padding).
bool ends_like_stream(const uint8_t (&tail)[11], bool xz) {
    if (xz) return tail[9] == 'Y' && tail[10] == 'Z';
    unsigned __int128 bits = 0;
    for (uint8_t byte : tail) bits = (bits << 8) | byte;
    for (int pad = 0; pad < 8; ++pad)
        if (static_cast<uint64_t>(bits >> (32 + pad)) % (uint64_t{1} << 48) == 0x177245385090)
            return true;
    return false;
}

} // namespace

bool hfs_looks_like_cut_udif(const char* path, std::string& evidence) {
    struct stat st {};
    dimg::unique_fd fd;
    if (std::string why; dimg::open_volume_path(path, fd, st, why) != 0 || !S_ISREG(st.st_mode))
        return false;
    const uint64_t size = static_cast<uint64_t>(st.st_size);
    // Block tables or a trailer near the end: the end of a .dmg, cut or
    // damaged after them.
    std::string end(static_cast<size_t>(std::min<uint64_t>(size, 65536)), '\0');
    size_t got = 0;
    read_all_at(fd.get(), reinterpret_cast<uint8_t*>(end.data()), end.size(), size - end.size(),
                got);
    end.resize(got);
    for (const char* piece : {"koly", "mish", "bWlza", "<plist"}) {
        if (end.find(piece) != std::string::npos) {
            evidence = std::string("its last bytes hold \"") + piece +
                       "\", a piece of a disk image's block tables or trailer";
            return true;
        }
    }
    // Runs compressed one by one, stored one after another: a compressed
    // file is one stream (or several, each straight after the other); the
    // data of a .dmg holds one per run, with raw runs between them.
    std::string head(static_cast<size_t>(std::min<uint64_t>(size, first_stream_limit)), '\0');
    read_all_at(fd.get(), reinterpret_cast<uint8_t*>(head.data()), head.size(), 0, got);
    head.resize(got);
    const std::span<const uint8_t> start(reinterpret_cast<const uint8_t*>(head.data()), got);
    const char* codec = nullptr;
    const size_t end_at = first_stream_end(start, codec);
    if (!codec || end_at == 0) return false;
    const std::string_view after = std::string_view(head).substr(end_at);
    const bool bzip2 = std::string_view(codec) == "bzip2", xz = std::string_view(codec) == "xz";
    if ((bzip2 && after.starts_with("BZh")) || (xz && after.starts_with("\3757zXZ"))) {
        // Streams straight after each other, as a parallel compressor
        // writes them too: a whole such file ends as a stream does.
        uint8_t tail[11] = {};
        if (size < sizeof tail) return false;
        read_all_at(fd.get(), tail, sizeof tail, size - sizeof tail, got);
        if (got == sizeof tail && ends_like_stream(tail, xz)) return false;
        evidence = std::string("it holds several ") + codec +
                   " streams one after another but does not end as one does, as the runs of a "
                   "compressed .dmg cut short";
        return true;
    }
    if (size - end_at < 512) return false; // trailing bytes of a compressed file
    evidence = std::string("it starts with a ") + codec + " stream that ends at byte " +
               std::to_string(end_at) + " of " + std::to_string(size) +
               ", followed by other data, as the runs of a compressed .dmg are";
    return true;
}

namespace {

// Opens the file `path` the probe found to be a disk image, as long as it
// still is a regular file.
int open_image_file(const char* path, dimg::unique_fd& fd, std::string& why) {
    struct stat st {};
    if (int err = dimg::open_volume_path(path, fd, st, why)) return err;
    if (S_ISREG(st.st_mode)) return 0;
    fd.reset();
    why = std::string("is ") + dimg::file_kind(st.st_mode) + " now, no longer a disk image file";
    return -EINVAL;
}

} // namespace

int hfs_open_disk_image(const char* path, uint64_t cache_bytes, hfs_byte_source_ptr& out,
                        std::string& error) {
    out.reset();
    const hfs_image_kind kind = hfs_probe_image(path);
    // A file that merely ends like a truncated image may still be a volume.
    if (kind == hfs_image_kind::none || kind == hfs_image_kind::encrypted ||
        kind == hfs_image_kind::udif_truncated)
        return 0;
    std::string why;
    int err = 0;
    if (kind == hfs_image_kind::sparse_bundle) {
        err = dimg::open_sparse_bundle(path, out, why);
    } else {
        dimg::unique_fd fd;
        err = open_image_file(path, fd, why);
        if (err == 0)
            err = kind == hfs_image_kind::udif
                      ? dimg::open_udif(path, fd.get(), cache_bytes, out, why)
                      : dimg::open_sparse_image(fd.get(), out, why);
    }
    if (err != 0) {
        out.reset();
        error = about(path, why.empty() ? std::strerror(-err) : why);
    }
    return err;
}

int hfs_verify_disk_image(const char* path, std::string& report) {
    if (hfs_probe_image(path) != hfs_image_kind::udif) {
        report = std::string(path) + " is not a UDIF disk image (.dmg): it has no checksums";
        return -ENOTSUP;
    }
    dimg::unique_fd fd;
    if (int err = open_image_file(path, fd, report)) {
        report = about(path, report);
        return err;
    }
    std::string lines;
    const int err = dimg::verify_udif(path, fd.get(), lines);
    report = err != 0 && err != -EIO && err != -ENODATA ? about(path, lines) : lines;
    return err;
}
