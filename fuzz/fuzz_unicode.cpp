// Fuzz target for the name converters: unicode_utf8_to_units,
// unicode_units_to_utf8 (counted buffers, output cut to the room given),
// hfs_path_to_uname and hfs_uname_to_path_name.
//
// Input: one byte giving the destination room (0 .. 255 units or bytes),
// then text that is used both as UTF-8 and as big-endian UTF-16 units.
// Destinations are heap blocks of exactly the room given. Checks: a counting
// call and a writing call agree; clean input converts back to itself; a
// name converted from a path and back converts to the same name again.
#include "fuzz_common.h"
#include "libhfs/byte_order.h"

#include "access/names.h"
#include "libhfs/unicode.h"

#include <algorithm>
#include <cstring>
#include <span>
#include <string>
#include <vector>

namespace {

void utf8_side(const char* text, size_t len, size_t room) {
    int errors = 0, errors2 = 0;
    const size_t need = unicode_utf8_to_units(nullptr, 0, text, len, 0, &errors);
    std::vector<uint16_t> small(room);
    const size_t need2 = unicode_utf8_to_units(small.data(), room, text, len, 0, &errors2);
    qfuzz::check(need == need2 && errors == errors2);

    std::vector<uint16_t> units(need);
    qfuzz::check(unicode_utf8_to_units(units.data(), need, text, len, 0, nullptr) == need);
    // What fits is a prefix of the whole conversion.
    const size_t fit = std::min(room, need);
    for (size_t i = 0; i + 1 < fit; ++i) qfuzz::check(small[i] == units[i]);
    if (errors == 0) {
        int back_errors = 0;
        const size_t bytes = unicode_units_to_utf8(nullptr, 0, units.data(), need, 0, &back_errors);
        qfuzz::check(back_errors == 0 && bytes == len);
        std::vector<char> back(bytes);
        unicode_units_to_utf8(back.data(), bytes, units.data(), need, 0, nullptr);
        qfuzz::check(bytes == 0 || std::memcmp(back.data(), text, len) == 0);
    }
}

void units_side(const uint16_t* units, size_t count, size_t room) {
    int errors = 0, errors2 = 0;
    const size_t need = unicode_units_to_utf8(nullptr, 0, units, count, 0, &errors);
    std::vector<char> small(room);
    const size_t need2 = unicode_units_to_utf8(small.data(), room, units, count, 0, &errors2);
    qfuzz::check(need == need2 && errors == errors2);
    if (errors == 0) {
        std::vector<char> text(need);
        unicode_units_to_utf8(text.data(), need, units, count, 0, nullptr);
        std::vector<uint16_t> back(count);
        int back_errors = 0;
        qfuzz::check(
            unicode_utf8_to_units(back.data(), count, text.data(), need, 0, &back_errors) == count);
        qfuzz::check(back_errors == 0 && std::equal(back.begin(), back.end(), units));
    }
}

void names_side(std::string_view component, const uint16_t* units, size_t count) {
    hfslib_uname name{};
    char text[HFS_NAME_TEXT_BUF];
    std::span<char, HFS_NAME_TEXT_BUF> out(text);
    if (hfs_path_to_uname(component, name) == 0) {
        qfuzz::check(name.length <= 255);
        const int len = hfs_uname_to_path_name(name, out);
        qfuzz::check(len >= 0 && size_t(len) <= HFS_NAME_TEXT_MAX && text[len] == '\0');
        hfslib_uname again{};
        qfuzz::check(hfs_path_to_uname({text, size_t(len)}, again) == 0);
        qfuzz::check(again.length == name.length &&
                     std::equal(name.units, name.units + name.length, again.units));
    }
    // Any stored name, including a length field above 255.
    hfslib_uname stored{};
    stored.length = count > 0 ? units[0] : 0;
    std::copy_n(units + (count > 0), std::min<size_t>(count > 0 ? count - 1 : 0, 255),
                stored.units);
    const int len = hfs_uname_to_path_name(stored, out);
    qfuzz::check(len <= int(HFS_NAME_TEXT_MAX));
    qfuzz::check(text[len < 0 ? std::strlen(text) : size_t(len)] == '\0');
    hfs_uname_to_attr_name(stored, out);
    hfs_attr_name_to_uname(component, name);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const size_t room = data[0];
    const std::span<const uint8_t> input(data + 1, size - 1);
    const std::string text(reinterpret_cast<const char*>(input.data()), input.size());
    std::vector<uint16_t> units(input.size() / 2);
    for (size_t i = 0; i < units.size(); ++i) units[i] = hfslib::load_be16(input, 2 * i);

    utf8_side(text.data(), text.size(), room);
    units_side(units.data(), units.size(), room);
    names_side(text, units.data(), units.size());
    return 0;
}
