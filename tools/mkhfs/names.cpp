#include "names.h"

#include "libhfs/casefold_table.h"

#include <utf8proc.h>

#include <stdexcept>
#include <vector>

namespace mkhfs {

namespace {

std::vector<utf8proc_int32_t> code_points(std::string_view utf8) {
    std::vector<utf8proc_int32_t> cps;
    auto p = reinterpret_cast<const utf8proc_uint8_t*>(utf8.data());
    utf8proc_ssize_t left = utf8proc_ssize_t(utf8.size());
    while (left > 0) {
        utf8proc_int32_t cp;
        utf8proc_ssize_t n = utf8proc_iterate(p, left, &cp);
        if (n <= 0) throw std::runtime_error("invalid UTF-8 in name \"" + std::string(utf8) + "\"");
        cps.push_back(cp);
        p += n;
        left -= n;
    }
    return cps;
}

bool kept_as_is(utf8proc_int32_t cp) {
    return (cp >= 0x2000 && cp <= 0x2FFF) || (cp >= 0xF900 && cp <= 0xFAFF) || cp >= 0x10000;
}

void append_utf16(std::u16string& out, utf8proc_int32_t cp) {
    if (cp >= 0x10000) {
        cp -= 0x10000;
        out.push_back(char16_t(0xD800 | (cp >> 10)));
        out.push_back(char16_t(0xDC00 | (cp & 0x3FF)));
    } else {
        out.push_back(char16_t(cp));
    }
}

// Canonical decomposition (with canonical reordering) of a run of code points.
void decompose_run(std::vector<utf8proc_int32_t>& run, std::u16string& out) {
    if (run.empty()) return;
    std::vector<utf8proc_int32_t> buf(run.size() * 4 + 16);
    for (;;) {
        // utf8proc_decompose wants UTF-8 input; rebuild the run as UTF-8 first.
        std::string u8;
        for (auto cp : run) {
            utf8proc_uint8_t tmp[4];
            auto n = utf8proc_encode_char(cp, tmp);
            u8.append(reinterpret_cast<char*>(tmp), size_t(n));
        }
        utf8proc_ssize_t n = utf8proc_decompose(
            reinterpret_cast<const utf8proc_uint8_t*>(u8.data()), utf8proc_ssize_t(u8.size()),
            buf.data(), utf8proc_ssize_t(buf.size()), UTF8PROC_DECOMPOSE);
        if (n < 0)
            throw std::runtime_error(std::string("cannot decompose name: ") + utf8proc_errmsg(n));
        if (size_t(n) <= buf.size()) {
            for (utf8proc_ssize_t i = 0; i < n; ++i) append_utf16(out, buf[size_t(i)]);
            run.clear();
            return;
        }
        buf.resize(size_t(n));
    }
}

} // namespace

std::u16string stored_name(std::string_view utf8) {
    std::u16string out;
    std::vector<utf8proc_int32_t> run;
    for (auto cp : code_points(utf8)) {
        if (kept_as_is(cp)) {
            decompose_run(run, out);
            append_utf16(out, cp);
        } else {
            run.push_back(cp);
        }
    }
    decompose_run(run, out);
    return out;
}

std::u16string plain_utf16(std::string_view utf8) {
    std::u16string out;
    for (auto cp : code_points(utf8)) append_utf16(out, cp);
    return out;
}

int compare_folded(std::u16string_view a, std::u16string_view b) {
    size_t i = 0, j = 0;
    auto next = [](std::u16string_view s, size_t& pos) -> uint16_t {
        while (pos < s.size()) {
            uint16_t f = hfslib_fold_unit(uint16_t(s[pos++]));
            if (f != 0) return f;
        }
        return 0;
    };
    for (;;) {
        uint16_t c1 = next(a, i), c2 = next(b, j);
        if (c1 != c2) return c1 < c2 ? -1 : 1;
        if (c1 == 0) return 0;
    }
}

int compare_binary(std::u16string_view a, std::u16string_view b) {
    size_t n = std::min(a.size(), b.size());
    for (size_t i = 0; i < n; ++i)
        if (a[i] != b[i]) return uint16_t(a[i]) < uint16_t(b[i]) ? -1 : 1;
    if (a.size() != b.size()) return a.size() < b.size() ? -1 : 1;
    return 0;
}

} // namespace mkhfs
