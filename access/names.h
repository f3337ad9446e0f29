// Conversions between the names users see (UTF-8) and the names stored on
// the volume (UTF-16, at most 255 code units).
//
// Path components are matched in the decomposed form HFS+ stores, and the
// POSIX ':' stands for an on-disk '/'. Attribute names are converted as they
// are, without decomposition or exchange.
//
// Errors: every function returns 0 or a count on success, a negative errno
// value on failure.
#pragma once

#include "libhfs/libhfs.h"

#include <cstddef>
#include <span>
#include <string_view>

// Room for a UTF-8 name made from one hfslib_uname: 765 bytes plus a NUL.
inline constexpr size_t HFS_NAME_TEXT_MAX = 765;
inline constexpr size_t HFS_NAME_TEXT_BUF = HFS_NAME_TEXT_MAX + 1;

// One path component (UTF-8) to the catalog's decomposed UTF-16 form.
//
// The component ends at its first NUL, if it holds one. Every code point
// except the excluded ones (U+2000..U+2FFF, U+F900..U+FAFF and U+10000 up) is
// replaced by its canonical decomposition; combining marks are put in
// canonical order within each run; ':' becomes '/'.
// Returns 0, or:
//   -ENOENT        empty component, or not valid UTF-8 (no stored name can
//                  match it)
//   -ENOMEM        the conversion failed midway
//   -ENAMETOOLONG  the decomposed name needs more than 255 code units (no
//                  on-disk name can be that long; name.length is set to 0)
//   -EINVAL        the UTF-16 conversion counted invalid sequences
int hfs_path_to_uname(std::string_view component, hfslib_uname& name) noexcept;

// An on-disk name to a directory entry name: UTF-8 with '/' shown as ':',
// NUL-terminated in `text`. Returns the byte length (without the NUL), or
// -EILSEQ when code units could not be converted (unpaired surrogates; the
// rest of the text is still written and terminated).
// A length field above 255 is read as 255.
int hfs_uname_to_path_name(const hfslib_uname& name,
                           std::span<char, HFS_NAME_TEXT_BUF> text) noexcept;

// As hfs_uname_to_path_name, without the '/' to ':' exchange. For attribute
// names.
int hfs_uname_to_attr_name(const hfslib_uname& name,
                           std::span<char, HFS_NAME_TEXT_BUF> text) noexcept;

// An attribute name (UTF-8, ending at its first NUL if it holds one) to
// UTF-16, as it is. Returns the number of code units (0 for an empty name),
// or:
//   -EILSEQ        invalid UTF-8 sequences;
//   -ENAMETOOLONG  more than 255 code units (name.length is set to 0).
int hfs_attr_name_to_uname(std::string_view text, hfslib_uname& name) noexcept;
