// Extended attributes: the attributes stored on the volume, shown under
// "user.", and four made from the catalog record (Finder information,
// resource fork, creation and backup dates). Each name is listed once (a
// stored attribute of a made name is served as the made one); a compressed
// file's decmpfs header and resource fork are readable but not listed.
//
// Errors: every function returns 0 or a byte count on success, a negative
// errno value on failure.
#pragma once

#include "libhfs/libhfs.h"

#include <cstdint>
#include <span>
#include <string_view>

// Which items list their attributes.
enum class hfs_xattr_scope {
    every_item,
    // Regular files and folders only, as shown (Linux reads user. attributes
    // of nothing else): other items list none.
    files_and_folders,
};

// The value of attribute `name` of what `path` names. With an empty `value`
// only its length; otherwise the bytes copied. -ENODATA when there is no
// such attribute, -ERANGE when `value` is too small or the value larger
// than INT_MAX, -EIO when it cannot be read, and the errors of
// hfs_resolve_path.
int hfs_get_xattr(hfslib_vol* vol, std::string_view path, std::string_view name,
                  std::span<char> value);

// The attribute names of what `path` names, each followed by a NUL. With an
// empty `list` only their total length; otherwise the bytes written.
// -ERANGE when `list` is too small, -E2BIG when the names exceed INT_MAX,
// -EIO when the attributes cannot be read.
int hfs_list_xattrs(hfslib_vol* vol, std::string_view path, std::span<char> list,
                    hfs_xattr_scope scope);

// The same two for a record already found (hard links resolved).
int hfs_get_xattr(hfslib_vol* vol, const hfslib_cat_rec& rec, std::string_view name,
                  std::span<char> value);
int hfs_list_xattrs(hfslib_vol* vol, const hfslib_cat_rec& rec, std::span<char> list,
                    hfs_xattr_scope scope);

// The 32 bytes of Finder information of a folder or file record, big-endian.
void hfs_finder_info(const hfslib_cat_rec& rec, std::span<uint8_t, 32> out);
