// Name conversions between user-visible UTF-8 and on-disk UTF-16.
#include "access/names.h"

#include "libhfs/unicode.h"

#include <utf8proc.h>

#include <algorithm>
#include <array>
#include <cerrno>

namespace {

constexpr size_t kMaxUnits = UNICODE_NAME_UNITS_MAX;

// Code points HFS+ keeps as they are: never decomposed, never reordered.
bool is_excluded(utf8proc_int32_t cp) {
    return cp >= 0x10000 || (cp >= 0x2000 && cp <= 0x2FFF) || (cp >= 0xF900 && cp <= 0xFAFF);
}

int combining_class(utf8proc_int32_t cp) {
    return utf8proc_get_property(cp)->combining_class;
}

std::string_view up_to_nul(std::string_view text) {
    return text.substr(0, text.find('\0'));
}

// Canonical decomposition of one code point into dst (room for `room` code
// points; null with room 0 counts only). Excluded code points stay as they
// are. Returns the number of code points, or a value below 1 on failure.
utf8proc_ssize_t decompose(utf8proc_int32_t cp, utf8proc_int32_t* dst, utf8proc_ssize_t room) {
    if (is_excluded(cp)) {
        if (dst && room >= 1) dst[0] = cp;
        return 1;
    }
    int boundclass = 0;
    return utf8proc_decompose_char(cp, dst, room, UTF8PROC_DECOMPOSE, &boundclass);
}

// Sorts every run of non-excluded code points of nonzero combining class by
// class, stably, by exchanging neighbours and stepping back after each
// exchange. Class-0 and excluded code points never move.
void canonical_order(std::span<utf8proc_int32_t> cps) {
    size_t i = 1;
    while (i < cps.size()) {
        const utf8proc_int32_t a = cps[i - 1];
        const utf8proc_int32_t b = cps[i];
        const int cb = is_excluded(b) ? 0 : combining_class(b);
        if (!is_excluded(a) && cb != 0 && combining_class(a) > cb) {
            std::swap(cps[i - 1], cps[i]);
            if (i > 1) --i;
        } else {
            ++i;
        }
    }
}

int uname_to_text(const hfslib_uname& name, std::span<char, HFS_NAME_TEXT_BUF> text,
                  bool slash_to_colon) {
    // A length beyond the array would read past it: take what the array holds.
    const size_t units = std::min<size_t>(name.length, kMaxUnits);
    int errors = 0;
    size_t len =
        unicode_units_to_utf8(text.data(), HFS_NAME_TEXT_MAX, name.units, units, 0, &errors);
    len = std::min(len, HFS_NAME_TEXT_MAX); // 255 units never need more
    text[len] = '\0';
    if (errors > 0) return -EILSEQ;
    if (slash_to_colon)
        std::replace(text.begin(), text.begin() + static_cast<ptrdiff_t>(len), '/', ':');
    return static_cast<int>(len);
}

} // namespace

int hfs_path_to_uname(std::string_view component, hfslib_uname& name) noexcept {
    name.length = 0;
    component = up_to_nul(component);
    // No stored name is empty or holds invalid UTF-8: such a component names
    // nothing.
    if (component.empty()) return -ENOENT;

    const auto* bytes = reinterpret_cast<const utf8proc_uint8_t*>(component.data());
    const auto size = static_cast<utf8proc_ssize_t>(component.size());

    // First pass: validate the whole component and count the decomposed form.
    size_t total = 0;
    for (utf8proc_ssize_t pos = 0; pos < size;) {
        utf8proc_int32_t cp = -1;
        const utf8proc_ssize_t used = utf8proc_iterate(bytes + pos, size - pos, &cp);
        if (used < 1 || cp < 0) return -ENOENT;
        pos += used;
        const utf8proc_ssize_t n = decompose(cp, nullptr, 0);
        if (n < 1) return -ENOENT;
        total += static_cast<size_t>(n);
    }
    if (total == 0) return -ENOENT;
    // Every code point takes at least one UTF-16 unit, so more code points than
    // a name can hold can never match an on-disk name.
    if (total > kMaxUnits) return -ENAMETOOLONG;

    // The code points, later overwritten by their UTF-8 form and its NUL
    // (at most 4 bytes per code point, plus one).
    std::array<utf8proc_int32_t, kMaxUnits + 1> buffer{};

    // Second pass: fill.
    size_t filled = 0;
    for (utf8proc_ssize_t pos = 0; pos < size;) {
        utf8proc_int32_t cp = -1;
        pos += utf8proc_iterate(bytes + pos, size - pos, &cp);
        const auto room = static_cast<utf8proc_ssize_t>(total - filled);
        const utf8proc_ssize_t n = decompose(cp, buffer.data() + filled, room);
        if (n < 1 || n > room) return -ENOMEM;
        filled += static_cast<size_t>(n);
    }

    canonical_order(std::span(buffer.data(), filled));

    const utf8proc_ssize_t len = utf8proc_reencode(
        buffer.data(), static_cast<utf8proc_ssize_t>(filled), utf8proc_option_t{});
    if (len < 0) return -ENOMEM;
    auto* text = reinterpret_cast<char*>(buffer.data());
    std::replace(text, text + len, ':', '/');

    int errors = 0;
    const size_t units =
        unicode_utf8_to_units(name.units, kMaxUnits, text, static_cast<size_t>(len), 0, &errors);
    if (units > kMaxUnits) return -ENAMETOOLONG; // name.length stays 0
    name.length = static_cast<uint16_t>(units);
    return errors > 0 ? -EINVAL : 0;
}

int hfs_uname_to_path_name(const hfslib_uname& name,
                           std::span<char, HFS_NAME_TEXT_BUF> text) noexcept {
    return uname_to_text(name, text, true);
}

int hfs_uname_to_attr_name(const hfslib_uname& name,
                           std::span<char, HFS_NAME_TEXT_BUF> text) noexcept {
    return uname_to_text(name, text, false);
}

int hfs_attr_name_to_uname(std::string_view text, hfslib_uname& name) noexcept {
    text = up_to_nul(text);
    int errors = 0;
    const size_t units =
        unicode_utf8_to_units(name.units, kMaxUnits, text.data(), text.size(), 0, &errors);
    if (units > kMaxUnits) {
        name.length = 0;
        return errors > 0 ? -EILSEQ : -ENAMETOOLONG;
    }
    name.length = static_cast<uint16_t>(units);
    return errors > 0 ? -EILSEQ : static_cast<int>(units);
}
