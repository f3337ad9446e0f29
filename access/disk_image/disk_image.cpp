#include "access/disk_image/disk_image.h"

#include "access/disk_image/file_io.h"
#include "access/disk_image/sparse.h"
#include "access/disk_image/udif.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <linux/fs.h>
#include <mutex>
#include <string_view>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <vector>
#include <zlib.h>

namespace {

// "x.dmg is truncated", "x.dmg: block table 2 ...".
std::string about(const char* path, const std::string& error) {
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
        return dimg::pread_full(fd_.get(), buf.data(), n, offset, got);
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
    dimg::unique_fd fd(::open(path, O_RDONLY | O_CLOEXEC));
    struct stat st {};
    if (!fd || ::fstat(fd.get(), &st) != 0) {
        const int err = errno;
        error = std::string(path) + ": " + std::strerror(err);
        return err;
    }
    uint64_t size = static_cast<uint64_t>(st.st_size);
    if (S_ISBLK(st.st_mode) && ::ioctl(fd.get(), BLKGETSIZE64, &size) != 0) size = 0;
    if (S_ISDIR(st.st_mode)) {
        error = std::string(path) + " is a folder, not a disk";
        return EISDIR;
    }
    out = std::make_unique<file_source>(std::move(fd), size);
    return 0;
}

hfs_image_kind hfs_probe_image(const char* path, std::string* detail) {
    struct stat st {};
    if (::stat(path, &st) != 0) return hfs_image_kind::none;
    if (S_ISDIR(st.st_mode))
        return dimg::is_sparse_bundle(path) ? hfs_image_kind::sparse_bundle : hfs_image_kind::none;
    if (!S_ISREG(st.st_mode)) return hfs_image_kind::none;
    dimg::unique_fd fd(::open(path, O_RDONLY | O_CLOEXEC));
    if (!fd) return hfs_image_kind::none;
    uint8_t head[12] = {}, tail[dimg::koly_size] = {};
    size_t head_got = 0, tail_got = 0;
    dimg::pread_full(fd.get(), head, sizeof head, 0, head_got);
    const uint64_t size = static_cast<uint64_t>(st.st_size);
    if (size >= sizeof tail)
        dimg::pread_full(fd.get(), tail, sizeof tail, size - sizeof tail, tail_got);
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
    dimg::pread_full(fd.get(), reinterpret_cast<uint8_t*>(end.data()), end.size(),
                     size - end.size(), end_got);
    if (end.find("<key>blkx</key>") != std::string::npos) return hfs_image_kind::udif_truncated;
    return hfs_image_kind::none;
}

bool hfs_looks_like_cut_udif(const char* path, std::string& evidence) {
    struct stat st {};
    dimg::unique_fd fd(::open(path, O_RDONLY | O_CLOEXEC));
    if (!fd || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
    const uint64_t size = static_cast<uint64_t>(st.st_size);
    // Block tables or a trailer near the end: the end of a .dmg, cut or
    // damaged after them.
    std::string end(static_cast<size_t>(std::min<uint64_t>(size, 65536)), '\0');
    size_t got = 0;
    dimg::pread_full(fd.get(), reinterpret_cast<uint8_t*>(end.data()), end.size(),
                     size - end.size(), got);
    end.resize(got);
    for (const char* piece : {"koly", "mish", "bWlza", "<plist"}) {
        if (end.find(piece) != std::string::npos) {
            evidence = std::string("its last bytes hold \"") + piece +
                       "\", a piece of a disk image's block tables or trailer";
            return true;
        }
    }
    // Runs compressed one by one, stored one after another: a compressed
    // file holds one stream, a .dmg's data one per run.
    std::string head(static_cast<size_t>(std::min<uint64_t>(size, uint64_t{4} << 20)), '\0');
    dimg::pread_full(fd.get(), reinterpret_cast<uint8_t*>(head.data()), head.size(), 0, got);
    head.resize(got);
    const std::string_view start = head;
    auto several = [&](std::string_view magic, const char* what) {
        if (!start.starts_with(magic) || start.find(magic, 1) == std::string_view::npos)
            return false;
        evidence = std::string("it holds several ") + what +
                   " streams one after another, as the data of a compressed .dmg does";
        return true;
    };
    if (several(std::string_view("\3757zXZ\0", 6), "xz")) return true;
    if (start.size() >= 10 && start.starts_with("BZh") && start[3] >= '1' && start[3] <= '9' &&
        start.substr(4, 6) == "1AY&SY") {
        for (char level = '1'; level <= '9'; ++level)
            if (several(std::string("BZh") + level + "1AY&SY", "bzip2")) return true;
        return false;
    }
    // zlib: the first stream ends cleanly and another starts right after it.
    auto zlib_header = [](std::string_view at) {
        return at.size() >= 2 && at[0] == 0x78 &&
               ((static_cast<uint8_t>(at[0]) << 8) | static_cast<uint8_t>(at[1])) % 31 == 0;
    };
    if (!zlib_header(start)) return false;
    z_stream z{};
    if (::inflateInit(&z) != Z_OK) return false;
    std::vector<uint8_t> out(1 << 16);
    z.next_in = reinterpret_cast<Bytef*>(head.data());
    z.avail_in = static_cast<uInt>(head.size());
    int status = Z_OK;
    while (status == Z_OK) {
        z.next_out = out.data();
        z.avail_out = static_cast<uInt>(out.size());
        status = ::inflate(&z, Z_NO_FLUSH);
        if (status == Z_BUF_ERROR && z.avail_out != 0) break;
        if (status == Z_BUF_ERROR) status = Z_OK;
    }
    const size_t used = head.size() - z.avail_in;
    ::inflateEnd(&z);
    if (status != Z_STREAM_END || !zlib_header(start.substr(used))) return false;
    evidence = "it holds zlib streams one after another, as the data of a compressed .dmg does";
    return true;
}

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
        dimg::unique_fd fd(::open(path, O_RDONLY | O_CLOEXEC));
        if (!fd) {
            err = errno;
            why = std::strerror(err);
        } else if (kind == hfs_image_kind::udif) {
            err = dimg::open_udif(path, fd.get(), cache_bytes, out, why);
        } else {
            err = dimg::open_sparse_image(fd.get(), out, why);
        }
    }
    if (err != 0) {
        out.reset();
        error = about(path, why.empty() ? std::strerror(err) : why);
    }
    return err;
}

int hfs_verify_disk_image(const char* path, std::string& report) {
    if (hfs_probe_image(path) != hfs_image_kind::udif) {
        report = std::string(path) + " is not a UDIF disk image (.dmg): it has no checksums";
        return ENOTSUP;
    }
    dimg::unique_fd fd(::open(path, O_RDONLY | O_CLOEXEC));
    if (!fd) {
        report = std::string(path) + ": " + std::strerror(errno);
        return errno;
    }
    std::string lines;
    const int err = dimg::verify_udif(path, fd.get(), lines);
    report = err != 0 && err != EIO ? about(path, lines) : lines;
    return err;
}
