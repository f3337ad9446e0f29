// The byte-order loads and stores, both in constant expressions and at run
// time (where they take another path): every width in both orders, the
// checked loads at and past the end of a span, and stores read back.
#include "libhfs/byte_order.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <optional>

namespace {

constexpr std::array<uint8_t, 9> bytes = {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09};

struct load_case {
    size_t at;
    unsigned width;
    bool big;
    std::optional<uint64_t> want; // nothing: past the end
};

constexpr std::array<load_case, 14> loads = {{
    {0, 2, true, 0x0102},
    {7, 2, true, 0x0809},
    {1, 2, false, 0x0302},
    {5, 4, true, 0x06070809},
    {5, 4, false, 0x09080706},
    {1, 8, true, 0x0203040506070809},
    {0, 8, false, 0x0807060504030201},
    {8, 2, true, std::nullopt},
    {6, 4, false, std::nullopt},
    {2, 8, true, std::nullopt},
    {9, 2, false, std::nullopt},
    {10, 4, true, std::nullopt},
    {SIZE_MAX, 2, true, std::nullopt},
    {SIZE_MAX - 3, 8, false, std::nullopt},
}};

constexpr std::optional<uint64_t> try_load(const load_case& c) {
    using namespace hfslib;
    switch (c.width) {
    case 2:
        return c.big ? try_load_be16(bytes, c.at) : try_load_le16(bytes, c.at);
    case 4:
        return c.big ? try_load_be32(bytes, c.at) : try_load_le32(bytes, c.at);
    default:
        return c.big ? try_load_be64(bytes, c.at) : try_load_le64(bytes, c.at);
    }
}

constexpr uint64_t load(const load_case& c) {
    using namespace hfslib;
    switch (c.width) {
    case 2:
        return c.big ? load_be16(bytes, c.at) : load_le16(bytes, c.at);
    case 4:
        return c.big ? load_be32(bytes, c.at) : load_le32(bytes, c.at);
    default:
        return c.big ? load_be64(bytes, c.at) : load_le64(bytes, c.at);
    }
}

// The index of the first case that fails, or loads.size().
constexpr size_t first_wrong_load() {
    for (size_t i = 0; i < loads.size(); ++i) {
        const load_case& c = loads[i];
        if (try_load(c) != c.want || (c.want && load(c) != *c.want)) return i;
    }
    return loads.size();
}

// Stores of every width read back by the loads, and the bytes around them
// left alone.
constexpr bool stores_read_back() {
    std::array<uint8_t, 16> out{};
    hfslib::store_be16(out, 1, 0xA1B2);
    hfslib::store_be32(out, 3, 0xC1D2E3F4);
    hfslib::store_be64(out, 7, 0x0102030405060708);
    return out[0] == 0 && out[1] == 0xA1 && out[2] == 0xB2 && out[3] == 0xC1 &&
           hfslib::load_be32(out, 3) == 0xC1D2E3F4 &&
           hfslib::load_be64(out, 7) == 0x0102030405060708 && out[15] == 0;
}

static_assert(first_wrong_load() == loads.size());
static_assert(stores_read_back());

TEST(ByteOrder, LoadsAndStoresAtRunTime) {
    EXPECT_EQ(first_wrong_load(), loads.size());
    EXPECT_TRUE(stores_read_back());
}

} // namespace
