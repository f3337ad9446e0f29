#include "access/xattrs.h"

#include "access/decmpfs.h"
#include "access/library_memory.h"
#include "access/library_results.h"
#include "access/names.h"
#include "access/path_resolve.h"
#include "access/stat.h"
#include "libhfs/byte_order.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <cstring>
#include <ctime>

namespace {

constexpr std::string_view user_prefix = "user.";
constexpr std::string_view finder_info_name = "user.com.apple.FinderInfo";
constexpr std::string_view resource_fork_name = "user.com.apple.ResourceFork";
constexpr std::string_view decmpfs_name = "user.com.apple.decmpfs";
constexpr std::string_view date_created_name = "user.quorvel.record.date_created";
constexpr std::string_view date_backedup_name = "user.quorvel.record.date_backedup";
constexpr size_t date_text_size = 24;
constexpr uint64_t max_value_size = INT_MAX;

// The length of the resource fork when it can be shown as an attribute, else 0.
uint64_t resource_fork_size(const hfslib_cat_rec& rec) {
    if (rec.type != HFSLIB_REC_FILE) return 0;
    const uint64_t size = rec.file.rsrc_fork.logical_size;
    return size <= max_value_size ? size : 0;
}

// An HFS+ date as local time, e.g. 2021-03-04T05:06:07+0100 (24 bytes).
void date_text(uint32_t hfs_date, char out[date_text_size + 1]) {
    time_t seconds = static_cast<time_t>(hfs_unix_time(hfs_date));
    struct tm local {};
    localtime_r(&seconds, &local);
    std::memset(out, 0, date_text_size + 1);
    strftime(out, date_text_size + 1, "%FT%T%z", &local);
}

bool any_nonzero(const uint8_t* bytes, size_t size) {
    for (size_t i = 0; i < size; ++i)
        if (bytes[i]) return true;
    return false;
}

// Copies a fixed-size value into the caller's buffer (size 0: length only).
template <class Fill>
int fixed_value(size_t value_size, std::span<char> value, Fill fill) {
    if (value.empty()) return static_cast<int>(value_size);
    if (value.size() < value_size) return -ERANGE;
    fill(reinterpret_cast<uint8_t*>(value.data()));
    return static_cast<int>(value_size);
}

int read_resource_fork(hfslib_vol* vol, const hfslib_cat_rec& rec, uint64_t length, char* value) {
    hfslib_extent* raw = nullptr;
    uint16_t count =
        hfslib_collect_fork_extents(vol, rec.file.cnid, HFSLIB_RSRC_FORK, &raw, nullptr);
    hfs_malloc_ptr<hfslib_extent[]> extents(raw);
    uint64_t got = 0;
    if (hfslib_read_fork_range(vol, reinterpret_cast<uint8_t*>(value), &got, length, 0,
                               extents.get(), count, nullptr) != 0 ||
        got != length)
        return -EIO;
    return static_cast<int>(got);
}

int stored_attribute(hfslib_vol* vol, const hfslib_cat_rec& rec, std::string_view name,
                     std::string_view path, std::span<char> out) {
    char* value = out.data();
    const size_t size = out.size();
    std::string_view stored =
        name.starts_with(user_prefix) ? name.substr(user_prefix.size()) : name;
    hfslib_uname uname{};
    const int units = hfs_attr_name_to_uname(stored, uname);
    // Invalid UTF-8, or more than 255 units: no stored attribute has that name.
    if (units < 0) return -ENODATA;
    if (units == 0) return -EINVAL;
    hfslib_attr_key key{};
    if (hfslib_build_attr_key(hfs_record_cnid(rec), 0, uname.length, uname.units, &key) == 0)
        return -EFAULT;
    hfslib_attr_rec attr{};
    uint8_t* inline_raw = nullptr;
    if (hfslib_lookup_attr(vol, &key, &attr, size != 0 ? &inline_raw : nullptr, nullptr) != 0)
        return -ENODATA;
    hfs_malloc_ptr<uint8_t[]> inline_data(inline_raw);

    uint64_t length = 0;
    switch (attr.type) {
    case HFSLIB_ATTR_EXTENTS:
        hfslib_report("unexpected extent attr found in getxattr. attr: %.*s path: %.*s\n", nullptr,
                      0, static_cast<int>(stored.size()), stored.data(),
                      static_cast<int>(path.size()), path.data());
        return -EFAULT;
    case HFSLIB_ATTR_FORK:
        length = attr.fork.logical_size;
        break;
    case HFSLIB_ATTR_INLINE:
        length = attr.inline_data.size;
        break;
    default:
        length = 0;
        break;
    }
    if (length > max_value_size) return -ERANGE;
    if (size == 0) return static_cast<int>(length);
    if (size < length) return -ERANGE;

    if (attr.type == HFSLIB_ATTR_FORK) {
        hfslib_extent* raw = nullptr;
        uint16_t count = 0;
        if (hfslib_collect_attr_extents(vol, &key, &attr, &count, &raw, nullptr) != 0) return -EIO;
        hfs_malloc_ptr<hfslib_extent[]> extents(raw);
        uint64_t got = 0;
        const int result = hfslib_read_fork_range(vol, reinterpret_cast<uint8_t*>(value), &got,
                                                  length, 0, extents.get(), count, nullptr);
        if (int err = hfs_fork_read_result(result, got, length)) return err;
    } else if (attr.type == HFSLIB_ATTR_INLINE && length != 0) {
        if (!inline_data) return -EIO;
        std::memcpy(value, inline_data.get(), length);
    }
    return static_cast<int>(length);
}

int get_xattr(hfslib_vol* vol, const hfslib_cat_rec& rec, std::string_view attr,
              std::string_view path, std::span<char> value) {
    if (attr == finder_info_name)
        return fixed_value(32, value, [&](uint8_t* out) {
            hfs_finder_info(rec, std::span<uint8_t, 32>(out, 32));
        });
    if (attr == resource_fork_name) {
        if (uint64_t length = resource_fork_size(rec); length != 0) {
            if (value.empty()) return static_cast<int>(length);
            if (value.size() < length) return -ERANGE;
            return read_resource_fork(vol, rec, length, value.data());
        }
    }
    if (attr == date_created_name || attr == date_backedup_name) {
        const uint32_t date =
            attr == date_created_name ? rec.folder.create_date : rec.folder.backup_date;
        return fixed_value(date_text_size, value, [&](uint8_t* out) {
            char text[date_text_size + 1];
            date_text(date, text);
            std::memcpy(out, text, date_text_size);
        });
    }
    return stored_attribute(vol, rec, attr, path, value);
}

} // namespace

using hfslib::store_be16;
using hfslib::store_be32;

void hfs_finder_info(const hfslib_cat_rec& rec, std::span<uint8_t, 32> bytes) {
    std::memset(bytes.data(), 0, bytes.size());
    if (rec.type == HFSLIB_REC_FILE) {
        const hfslib_file_info& info = rec.file.user_info;
        store_be32(bytes, 0, info.file_type);
        store_be32(bytes, 4, info.file_creator);
        store_be16(bytes, 8, info.finder_flags);
        store_be16(bytes, 10, static_cast<uint16_t>(info.location_v));
        store_be16(bytes, 12, static_cast<uint16_t>(info.location_h));
        store_be16(bytes, 24, rec.file.finder_info.ext_finder_flags);
    } else if (rec.type == HFSLIB_REC_FOLDER) {
        const hfslib_folder_info& info = rec.folder.user_info;
        store_be16(bytes, 0, static_cast<uint16_t>(info.rect_top));
        store_be16(bytes, 2, static_cast<uint16_t>(info.rect_left));
        store_be16(bytes, 4, static_cast<uint16_t>(info.rect_bottom));
        store_be16(bytes, 6, static_cast<uint16_t>(info.rect_right));
        store_be16(bytes, 8, info.finder_flags);
        store_be16(bytes, 10, static_cast<uint16_t>(info.location_v));
        store_be16(bytes, 12, static_cast<uint16_t>(info.location_h));
        store_be16(bytes, 24, rec.folder.finder_info.ext_finder_flags);
    }
}

int hfs_get_xattr(hfslib_vol* vol, std::string_view path, std::string_view attr,
                  std::span<char> value) {
    hfslib_cat_rec rec{};
    hfslib_cat_key key{};
    if (int err = hfs_resolve_path(vol, path, &rec, &key, nullptr)) return err;
    return get_xattr(vol, rec, attr, path, value);
}

int hfs_get_xattr(hfslib_vol* vol, const hfslib_cat_rec& rec, std::string_view attr,
                  std::span<char> value) {
    return get_xattr(vol, rec, attr, {}, value);
}

namespace {

// Whether the file is shown as compressed (as getattr decides): its
// compressed data lives in com.apple.decmpfs and the resource fork.
bool shown_compressed(hfslib_vol* vol, const hfslib_cat_rec& rec) {
    hfs_decmp_info info{};
    const int probe = hfs_decmp_probe(vol, &rec, &info, nullptr, nullptr);
    return probe == 0 || probe == -EOPNOTSUPP;
}

} // namespace

int hfs_list_xattrs(hfslib_vol* vol, std::string_view path, std::span<char> out,
                    hfs_xattr_scope scope) {
    hfslib_cat_rec rec{};
    hfslib_cat_key key{};
    if (int err = hfs_resolve_path(vol, path, &rec, &key, nullptr)) return err;
    return hfs_list_xattrs(vol, rec, out, scope);
}

int hfs_list_xattrs(hfslib_vol* vol, const hfslib_cat_rec& rec, std::span<char> out,
                    hfs_xattr_scope scope) {
    char* list = out.data();
    const size_t size = out.size();
    if (scope == hfs_xattr_scope::files_and_folders) {
        const mode_t mode = hfs_shown_mode(vol, &rec);
        if (!S_ISREG(mode) && !S_ISDIR(mode)) return 0;
    }

    size_t total = 0;
    auto add = [&](std::string_view name) {
        const size_t length = name.size() + 1;
        if (size != 0 && total + length <= size)
            *std::copy(name.begin(), name.end(), list + total) = '\0';
        total += length;
    };

    // A compressed file's data is shown as its contents: its decmpfs header
    // and resource fork are not listed (macOS hides them too), but can still
    // be read by name.
    const bool compressed = shown_compressed(vol, rec);
    uint8_t finder[32];
    hfs_finder_info(rec, finder);
    // The names made from the record; a stored attribute of the same name is
    // listed once (getxattr serves the made one).
    std::array<std::string_view, 4> made{};
    size_t made_count = 0;
    made[made_count++] = date_created_name;
    if (rec.folder.backup_date != 0) made[made_count++] = date_backedup_name;
    if (!compressed && resource_fork_size(rec) != 0) made[made_count++] = resource_fork_name;
    if (any_nonzero(finder, sizeof finder)) made[made_count++] = finder_info_name;
    for (size_t i = 0; i < made_count; ++i) add(made[i]);
    auto left_out = [&](std::string_view name) {
        if (compressed && (name == decmpfs_name || name == resource_fork_name)) return true;
        return std::find(made.begin(), made.begin() + made_count, name) !=
               made.begin() + made_count;
    };

    hfslib_attr_key* raw_keys = nullptr;
    uint32_t count = 0;
    int found = hfslib_list_attr_keys(vol, hfs_record_cnid(rec), &raw_keys, &count, nullptr);
    hfs_malloc_ptr<hfslib_attr_key[]> keys(raw_keys);
    if (found != 0) return -EIO;
    // "user." and the stored name.
    char text[user_prefix.size() + HFS_NAME_TEXT_BUF];
    std::copy(user_prefix.begin(), user_prefix.end(), text);
    std::span<char, HFS_NAME_TEXT_BUF> stored(text + user_prefix.size(), HFS_NAME_TEXT_BUF);
    for (uint32_t i = 0; i < count; ++i) {
        int length = hfs_uname_to_attr_name(keys[i].name, stored);
        // An empty name, one that does not convert, or one holding a NUL
        // cannot be listed.
        if (length <= 0 || std::memchr(stored.data(), '\0', static_cast<size_t>(length))) continue;
        const std::string_view name(text, user_prefix.size() + static_cast<size_t>(length));
        if (!left_out(name)) add(name);
    }
    if (size != 0 && total > size) return -ERANGE;
    if (total > max_value_size) return -E2BIG;
    return static_cast<int>(total);
}
