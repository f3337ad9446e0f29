#include "access/disk_image/sparse.h"

#include "access/disk_image/file_io.h"
#include "access/disk_image/plist_dict.h"
#include "libhfs/byte_order.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <mutex>
#include <new>
#include <pugixml.hpp>
#include <sys/stat.h>
#include <unistd.h>
#include <unordered_map>

namespace dimg {

namespace {

// The largest Info.plist read.
constexpr size_t max_plist_bytes = 1 << 20;
// Band files kept open at once.
constexpr size_t max_open_bands = 64;

// Reads [offset, offset + buf.size()) of a disk of `disk_bytes` made of
// bands of `band_bytes`, stopping at its end: read_band(band, offset in the
// band, destination, count) for each band's part in turn.
template <typename ReadBand>
int read_bands(std::span<uint8_t> buf, uint64_t offset, uint64_t disk_bytes, uint64_t band_bytes,
               size_t& got, ReadBand read_band) {
    got = 0;
    if (offset >= disk_bytes) return 0;
    const size_t n = static_cast<size_t>(std::min<uint64_t>(buf.size(), disk_bytes - offset));
    while (got < n) {
        const uint64_t at = offset + got;
        const uint64_t band = at / band_bytes, inner = at % band_bytes;
        const size_t take = static_cast<size_t>(std::min<uint64_t>(band_bytes - inner, n - got));
        if (int err = read_band(band, inner, buf.data() + got, take)) return err;
        got += take;
    }
    return 0;
}

class sparse_image final : public hfs_byte_source {
public:
    sparse_image(unique_fd fd, std::span<const uint8_t> memory, sparse_layout layout)
        : fd_(std::move(fd)), memory_(memory), layout_(std::move(layout)) {}

    uint64_t size() const override { return layout_.disk_bytes; }

    int read(std::span<uint8_t> buf, uint64_t offset, size_t& got) override {
        return read_bands(buf, offset, layout_.disk_bytes, layout_.band_bytes, got,
                          [this](uint64_t band, uint64_t inner, uint8_t* dst, size_t take) {
                              const uint32_t slot = layout_.stored[band];
                              if (slot == 0) {
                                  std::memset(dst, 0, take);
                                  return 0;
                              }
                              const uint64_t from =
                                  sparse_header_size + (slot - 1) * layout_.band_bytes + inner;
                              if (fd_) return pread_exact(fd_.get(), dst, take, from);
                              std::memcpy(dst, memory_.data() + from, take); // checked at open
                              return 0;
                          });
    }

private:
    unique_fd fd_;
    std::span<const uint8_t> memory_;
    sparse_layout layout_;
};

class sparse_bundle final : public hfs_byte_source {
public:
    sparse_bundle(unique_fd bands, bundle_info info) : bands_(std::move(bands)), info_(info) {}

    uint64_t size() const override { return info_.disk_bytes; }

    int read(std::span<uint8_t> buf, uint64_t offset, size_t& got) override {
        std::lock_guard lock(lock_);
        return read_bands(buf, offset, info_.disk_bytes, info_.band_bytes, got,
                          [this](uint64_t band, uint64_t inner, uint8_t* dst, size_t take) {
                              int fd = -1;
                              if (int err = band_file(band, fd)) return err;
                              size_t have = 0;
                              if (fd >= 0) {
                                  if (int err = read_all_at(fd, dst, take, inner, have)) return err;
                              }
                              // A band file shorter than a band: the rest was
                              // never written.
                              std::memset(dst + have, 0, take - have);
                              return 0;
                          });
    }

private:
    // The open band file, or -1 when the band was never written.
    int band_file(uint64_t band, int& fd) {
        if (auto it = open_.find(band); it != open_.end()) {
            fd = it->second.get();
            return 0;
        }
        char name[20];
        const auto end = std::to_chars(name, name + sizeof name - 1, band, 16).ptr;
        *end = '\0';
        unique_fd file;
        struct stat st {};
        std::string why;
        if (int err = open_image_part(bands_.get(), name, file, st, why);
            err != 0 && err != -ENOENT)
            return err == -EINVAL ? -EIO : err; // not a regular file (any more)
        if (open_.size() >= max_open_bands) open_.clear();
        fd = file.get();
        open_.emplace(band, std::move(file));
        return 0;
    }

    unique_fd bands_;
    bundle_info info_;
    std::mutex lock_;
    std::unordered_map<uint64_t, unique_fd> open_;
};

bool parse_number(std::string_view text, uint64_t& value) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\n' || text.front() == '\t'))
        text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\n' || text.back() == '\t'))
        text.remove_suffix(1);
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    return ec == std::errc() && end == text.data() + text.size() && !text.empty();
}

// The text of the property list `name` in the bundle folder `dir`. Returns
// 0; -ENOENT when it is missing; -EINVAL when it is no regular file; or
// another negative errno value; with `why` completing "Info.plist ...".
int read_plist_file(int dir, const char* name, std::string& text, std::string& why) {
    unique_fd fd;
    struct stat st {};
    if (int err = open_image_part(dir, name, fd, st, why)) return err;
    if (st.st_size > static_cast<off_t>(max_plist_bytes)) {
        why = "is larger than 1 MiB";
        return -EFBIG;
    }
    text.resize(static_cast<size_t>(st.st_size));
    size_t got = 0;
    if (int err =
            read_all_at(fd.get(), reinterpret_cast<uint8_t*>(text.data()), text.size(), 0, got)) {
        why = std::string("cannot be read: ") + std::strerror(-err);
        return err;
    }
    text.resize(got);
    return 0;
}

// The bundle's description from Info.plist, or Info.bckup when that fails;
// else why Info.plist cannot be used ("is a sparse bundle whose ..."). A
// property list that is a FIFO, a device or a link is refused outright
// ("/Info.plist is a FIFO, not a regular file").
int read_bundle_info(int dir, bundle_info& info, std::string& error) {
    std::string first_error;
    for (const char* name : {"Info.plist", "Info.bckup"}) {
        std::string text, why;
        if (int err = read_plist_file(dir, name, text, why)) {
            if (err == -EINVAL) {
                error = std::string("/") + name + " " + why;
                return err;
            }
            why = std::string("whose ") + name + " " + why;
        } else if (parse_bundle_plist(text, info, why) == 0) {
            return 0;
        }
        if (first_error.empty()) first_error = why;
    }
    error = "is a sparse bundle " + first_error;
    return -EINVAL;
}

// Looks at the files of the folder `bands`: each named as a band must be a
// regular file (none is opened here). `last` receives the highest band
// number, -1 when there is none. Returns 0, or -EINVAL with `error` naming
// the first that is something else ("/bands/3 is a FIFO, not a regular
// file").
int scan_bands(int bands, int64_t& last, std::string& error) {
    last = -1;
    const int fd = ::fcntl(bands, F_DUPFD_CLOEXEC, 0);
    DIR* dir = fd >= 0 ? ::fdopendir(fd) : nullptr;
    if (!dir) {
        if (fd >= 0) ::close(fd);
        return 0;
    }
    int status = 0;
    while (const dirent* entry = ::readdir(dir)) {
        const std::string_view name = entry->d_name;
        uint64_t band = 0;
        const auto [end, ec] = std::from_chars(name.data(), name.data() + name.size(), band, 16);
        if (ec != std::errc() || end != name.data() + name.size() || band >= INT64_MAX) continue;
        struct stat st {};
        st.st_mode = DTTOIF(entry->d_type);
        if (entry->d_type == DT_UNKNOWN &&
            ::fstatat(bands, entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0)
            continue; // gone meanwhile
        if (!S_ISREG(st.st_mode)) {
            error = "/bands/" + std::string(name) + " is " + file_kind(st.st_mode) +
                    ", not a regular file";
            status = -EINVAL;
            break;
        }
        last = std::max(last, static_cast<int64_t>(band));
    }
    ::closedir(dir);
    return status;
}

} // namespace

int parse_sparse_header(std::span<const uint8_t> header, uint64_t file_size, sparse_layout& layout,
                        std::string& error) {
    if (header.size() < sparse_header_size || std::memcmp(header.data(), "sprs", 4) != 0) {
        error = "is not a sparse image";
        return -EINVAL;
    }
    const uint32_t version = hfslib::load_be32(header, 4), per_band = hfslib::load_be32(header, 8);
    const uint64_t sectors = hfslib::load_be32(header, 16);
    if (version != 3) {
        error = "is a sparse image of unknown version " + std::to_string(version);
        return -EINVAL;
    }
    if (per_band == 0 || sectors == 0) {
        error = "is a sparse image with an empty band or disk size";
        return -EINVAL;
    }
    layout.band_bytes = uint64_t{per_band} * 512;
    layout.disk_bytes = sectors * 512;
    const uint64_t bands = (sectors + per_band - 1) / per_band;
    if (bands > sparse_max_bands) {
        error = "is a sparse image of " + std::to_string(bands) +
                " bands, more than its header can list (" + std::to_string(sparse_max_bands) +
                "); such images are not supported";
        return -EINVAL;
    }
    layout.stored.assign(static_cast<size_t>(bands), 0);
    for (uint32_t i = 0; i < sparse_max_bands; ++i) {
        const uint32_t b = hfslib::load_be32(header, 64 + 4 * i);
        if (b == 0) continue;
        if (b - 1 >= bands) {
            error = "is a damaged sparse image: band table entry " + std::to_string(i) +
                    " names band " + std::to_string(b) + " of " + std::to_string(bands);
            return -EINVAL;
        }
        if (layout.stored[b - 1] != 0) {
            error = "is a damaged sparse image: band " + std::to_string(b) + " is stored twice";
            return -EINVAL;
        }
        const uint64_t end = sparse_header_size + (uint64_t{i} + 1) * layout.band_bytes;
        if (end > file_size) {
            error = "is truncated: band " + std::to_string(b) + " ends at byte " +
                    std::to_string(end) + " of a " + std::to_string(file_size) + "-byte file";
            return -EINVAL;
        }
        layout.stored[b - 1] = i + 1;
    }
    return 0;
}

int open_sparse_image(int fd, hfs_byte_source_ptr& out, std::string& error) {
    struct stat st {};
    if (::fstat(fd, &st) != 0) return -errno;
    uint8_t header[sparse_header_size];
    if (int err = pread_exact(fd, header, sizeof header, 0)) {
        error = "is truncated: shorter than a sparse image header";
        return err;
    }
    sparse_layout layout;
    if (int err = parse_sparse_header(header, static_cast<uint64_t>(st.st_size), layout, error))
        return err;
    unique_fd own(::fcntl(fd, F_DUPFD_CLOEXEC, 0));
    if (!own) return -errno;
    out = std::make_unique<sparse_image>(std::move(own), std::span<const uint8_t>{},
                                         std::move(layout));
    return 0;
}

int open_sparse_image_memory(std::span<const uint8_t> image, hfs_byte_source_ptr& out,
                             std::string& error) {
    sparse_layout layout;
    if (int err = parse_sparse_header(image, image.size(), layout, error)) return err;
    out = std::make_unique<sparse_image>(unique_fd{}, image, std::move(layout));
    return 0;
}

int parse_bundle_plist(std::string_view xml, bundle_info& info, std::string& error) {
    pugi::xml_document doc;
    if (!doc.load_buffer(xml.data(), xml.size(), pugi::parse_default, pugi::encoding_utf8)) {
        error = "whose Info.plist cannot be read as a property list";
        return -EINVAL;
    }
    const pugi::xml_node top = doc.child("plist").child("dict");
    if (std::string_view(dict_value(top, "diskimage-bundle-type").child_value()) !=
        "com.apple.diskimage.sparsebundle") {
        error = "whose Info.plist does not describe a sparse bundle";
        return -EINVAL;
    }
    if (pugi::xml_node v = dict_value(top, "bundle-backingstore-version")) {
        uint64_t version = 0;
        if (!parse_number(v.child_value(), version) || version != 1) {
            error =
                "whose Info.plist names an unknown bundle version " + std::string(v.child_value());
            return -EINVAL;
        }
    }
    if (!parse_number(dict_value(top, "band-size").child_value(), info.band_bytes) ||
        !parse_number(dict_value(top, "size").child_value(), info.disk_bytes) ||
        info.band_bytes == 0 || info.disk_bytes == 0) {
        error = "whose Info.plist lacks a valid band-size or size";
        return -EINVAL;
    }
    // Bands are whole sectors (hdiutil sets their size in sectors): smaller
    // or odd ones would only make every read take one file per few bytes.
    if (info.band_bytes % 512 != 0) {
        error = "whose Info.plist gives a band-size of " + std::to_string(info.band_bytes) +
                " bytes, not a whole number of 512-byte sectors";
        return -EINVAL;
    }
    return 0;
}

bool is_sparse_bundle(const std::string& path) {
    unique_fd dir(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!dir) return false;
    struct stat st {};
    for (const char* name : {"Info.plist", "Info.bckup"})
        if (::fstatat(dir.get(), name, &st, AT_SYMLINK_NOFOLLOW) == 0) return true;
    return ::fstatat(dir.get(), "bands", &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode);
}

int open_sparse_bundle(const std::string& path, hfs_byte_source_ptr& out, std::string& error) {
    unique_fd dir(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!dir) return -errno;
    bundle_info info;
    if (int err = read_bundle_info(dir.get(), info, error)) return err;
    unique_fd bands(::openat(dir.get(), "bands", O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOFOLLOW));
    if (!bands) {
        error = "is a sparse bundle without its bands folder";
        return -ENOENT;
    }
    int64_t last = -1;
    if (int err = scan_bands(bands.get(), last, error)) return err;
    // Bands past the size: the size recorded is too small for what the
    // bundle holds, and the volume in it would be cut short.
    if (last >= 0 && static_cast<uint64_t>(last) >= (info.disk_bytes - 1) / info.band_bytes + 1) {
        char name[20];
        *std::to_chars(name, name + sizeof name - 1, last, 16).ptr = '\0';
        error = "is a sparse bundle whose size (" + std::to_string(info.disk_bytes) +
                " bytes in Info.plist) is too small for what it holds: band " + name +
                " starts at byte " + std::to_string(static_cast<uint64_t>(last) * info.band_bytes);
        return -EINVAL;
    }
    out = std::make_unique<sparse_bundle>(std::move(bands), info);
    return 0;
}

} // namespace dimg
