// Fixed-width integers in a byte span, big-endian (HFS+ structures, Apple
// partition maps) or little-endian (GUID partition tables, decmpfs headers
// and chunk tables).
//
// load_* read without a bounds check: the caller has checked that the span
// holds `at + width` bytes. try_load_* check first and give nothing when the
// value does not lie wholly within the span. store_be* write big-endian
// values, unchecked as the loads are. All are usable in constant expressions.
#pragma once

#include <bit>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>

namespace hfslib {

namespace byte_order_detail {

template <std::unsigned_integral T>
constexpr T swapped(T value) {
    if constexpr (sizeof(T) == 2)
        return __builtin_bswap16(value);
    else if constexpr (sizeof(T) == 4)
        return __builtin_bswap32(value);
    else
        return __builtin_bswap64(value);
}

template <std::unsigned_integral T, std::endian order>
constexpr T load(std::span<const uint8_t> bytes, size_t at) {
    if (std::is_constant_evaluated()) {
        T value = 0;
        for (size_t i = 0; i < sizeof(T); ++i) {
            const size_t k = order == std::endian::big ? i : sizeof(T) - 1 - i;
            value = static_cast<T>((value << 8) | bytes[at + k]);
        }
        return value;
    }
    T value;
    std::memcpy(&value, bytes.data() + at, sizeof value);
    if constexpr (order != std::endian::native) value = swapped(value);
    return value;
}

template <std::unsigned_integral T, std::endian order>
constexpr std::optional<T> try_load(std::span<const uint8_t> bytes, size_t at) {
    if (at > bytes.size() || bytes.size() - at < sizeof(T)) return std::nullopt;
    return load<T, order>(bytes, at);
}

template <std::unsigned_integral T>
constexpr void store_big(std::span<uint8_t> bytes, size_t at, T value) {
    for (size_t i = 0; i < sizeof(T); ++i)
        bytes[at + i] = static_cast<uint8_t>(value >> (8 * (sizeof(T) - 1 - i)));
}

} // namespace byte_order_detail

constexpr uint16_t load_be16(std::span<const uint8_t> bytes, size_t at = 0) {
    return byte_order_detail::load<uint16_t, std::endian::big>(bytes, at);
}
constexpr uint32_t load_be32(std::span<const uint8_t> bytes, size_t at = 0) {
    return byte_order_detail::load<uint32_t, std::endian::big>(bytes, at);
}
constexpr uint64_t load_be64(std::span<const uint8_t> bytes, size_t at = 0) {
    return byte_order_detail::load<uint64_t, std::endian::big>(bytes, at);
}
constexpr uint16_t load_le16(std::span<const uint8_t> bytes, size_t at = 0) {
    return byte_order_detail::load<uint16_t, std::endian::little>(bytes, at);
}
constexpr uint32_t load_le32(std::span<const uint8_t> bytes, size_t at = 0) {
    return byte_order_detail::load<uint32_t, std::endian::little>(bytes, at);
}
constexpr uint64_t load_le64(std::span<const uint8_t> bytes, size_t at = 0) {
    return byte_order_detail::load<uint64_t, std::endian::little>(bytes, at);
}

constexpr std::optional<uint16_t> try_load_be16(std::span<const uint8_t> bytes, size_t at = 0) {
    return byte_order_detail::try_load<uint16_t, std::endian::big>(bytes, at);
}
constexpr std::optional<uint32_t> try_load_be32(std::span<const uint8_t> bytes, size_t at = 0) {
    return byte_order_detail::try_load<uint32_t, std::endian::big>(bytes, at);
}
constexpr std::optional<uint64_t> try_load_be64(std::span<const uint8_t> bytes, size_t at = 0) {
    return byte_order_detail::try_load<uint64_t, std::endian::big>(bytes, at);
}
constexpr std::optional<uint16_t> try_load_le16(std::span<const uint8_t> bytes, size_t at = 0) {
    return byte_order_detail::try_load<uint16_t, std::endian::little>(bytes, at);
}
constexpr std::optional<uint32_t> try_load_le32(std::span<const uint8_t> bytes, size_t at = 0) {
    return byte_order_detail::try_load<uint32_t, std::endian::little>(bytes, at);
}
constexpr std::optional<uint64_t> try_load_le64(std::span<const uint8_t> bytes, size_t at = 0) {
    return byte_order_detail::try_load<uint64_t, std::endian::little>(bytes, at);
}

constexpr void store_be16(std::span<uint8_t> bytes, size_t at, uint16_t value) {
    byte_order_detail::store_big(bytes, at, value);
}
constexpr void store_be32(std::span<uint8_t> bytes, size_t at, uint32_t value) {
    byte_order_detail::store_big(bytes, at, value);
}
constexpr void store_be64(std::span<uint8_t> bytes, size_t at, uint64_t value) {
    byte_order_detail::store_big(bytes, at, value);
}

} // namespace hfslib
