// The journal's info block, header and block-list headers, read with checked
// loads in either byte order.
#include "libhfs/journal.h"

#include "libhfs/byte_order.h"

#include <array>
#include <bit>

namespace hfslib {

namespace {

uint16_t load16(std::span<const uint8_t> bytes, size_t at, bool swapped) {
    return swapped ? load_le16(bytes, at) : load_be16(bytes, at);
}
uint32_t load32(std::span<const uint8_t> bytes, size_t at, bool swapped) {
    return swapped ? load_le32(bytes, at) : load_be32(bytes, at);
}
uint64_t load64(std::span<const uint8_t> bytes, size_t at, bool swapped) {
    return swapped ? load_le64(bytes, at) : load_be64(bytes, at);
}

// The checksum of `bytes` with the four bytes at `field` taken as zero.
template <size_t N>
uint32_t checksum_without(std::span<const uint8_t> bytes, size_t field) {
    std::array<uint8_t, N> copy{};
    for (size_t i = 0; i < N; ++i) copy[i] = bytes[i];
    for (size_t i = field; i < field + 4; ++i) copy[i] = 0;
    return journal_checksum(copy);
}

} // namespace

uint32_t journal_checksum(std::span<const uint8_t> bytes) {
    uint32_t c = 0;
    for (uint8_t b : bytes) c = (c << 8) ^ (c + b);
    return ~c;
}

bool parse_journal_info(std::span<const uint8_t> bytes, journal_info& out) {
    if (bytes.size() < jinfo_size) return false;
    out.flags = load_be32(bytes, 0);
    out.offset = load_be64(bytes, 36);
    out.size = load_be64(bytes, 44);
    return true;
}

const char* parse_journal_header(std::span<const uint8_t> bytes, uint64_t info_size, uint64_t room,
                                 journal_header& out) {
    if (bytes.size() < journal_header_size) return "the journal header cannot be read";
    const uint32_t magic = load_be32(bytes, 0);
    const uint32_t endian = load_be32(bytes, 4);
    if ((magic == journal_magic || magic == journal_old_magic) && endian == journal_endian) {
        out.swapped = false;
    } else if ((__builtin_bswap32(magic) == journal_magic ||
                __builtin_bswap32(magic) == journal_old_magic) &&
               __builtin_bswap32(endian) == journal_endian) {
        out.swapped = true;
    } else {
        return "the journal header has no journal signature";
    }
    const bool sw = out.swapped;
    out.magic = load32(bytes, 0, sw);
    out.start = load64(bytes, 8, sw);
    out.end = load64(bytes, 16, sw);
    out.size = load64(bytes, 24, sw);
    out.blhdr_size = load32(bytes, 32, sw);
    out.checksum = load32(bytes, 36, sw);
    out.jhdr_size = load32(bytes, 40, sw);
    out.sequence_num = load32(bytes, 44, sw);

    if (checksum_without<44>(bytes, 36) != out.checksum)
        return "the journal header's checksum does not match";
    const uint32_t unit = out.jhdr_size;
    if (unit < journal_min_unit || unit > journal_max_unit || !std::has_single_bit(unit))
        return "the journal header's block size is not a power of two from 512 to 65536";
    if (out.blhdr_size < unit || out.blhdr_size > journal_max_blhdr || out.blhdr_size % unit != 0)
        return "the journal's block-list size is not a multiple of its block size up to 1 MiB";
    if (out.size != info_size) return "the journal header's size differs from the info block's";
    if (out.size % unit != 0 || out.size <= uint64_t{unit} + out.blhdr_size)
        return "the journal's size is not a multiple of its block size large enough for a list";
    if (out.size > room) return "the journal reaches past the end of the volume";
    for (uint64_t* at : {&out.start, &out.end}) {
        if (*at < unit || *at > out.size || *at % unit != 0)
            return "the journal's start or end lies outside its transaction area";
        if (*at == out.size) *at = unit;
    }
    return nullptr;
}

journal_list parse_journal_list(std::span<const uint8_t> bytes, bool swapped) {
    journal_list list;
    if (bytes.size() < blhdr_checksummed) return list;
    list.max_blocks = load16(bytes, 0, swapped);
    list.num_blocks = load16(bytes, 2, swapped);
    list.bytes_used = load32(bytes, 4, swapped);
    list.checksum = load32(bytes, 8, swapped);
    list.flags = load32(bytes, 12, swapped);
    list.sequence_num = load32(bytes, 28, swapped);
    list.checksum_ok = checksum_without<blhdr_checksummed>(bytes, 8) == list.checksum;
    return list;
}

const char* check_journal_list(const journal_list& list, const journal_header& h) {
    if (list.max_blocks == 0 || list.max_blocks > h.size / h.jhdr_size)
        return "its capacity (max_blocks) is out of range";
    if (list.num_blocks == 0 || list.num_blocks > list.max_blocks)
        return "its block count (num_blocks) is out of range";
    if (blhdr_fixed + size_t{list.num_blocks} * block_info_size > h.blhdr_size)
        return "its blocks do not fit in its header";
    if (list.bytes_used < h.blhdr_size || list.bytes_used >= h.size - h.jhdr_size)
        return "its length (bytes_used) is out of range";
    return nullptr;
}

journal_block journal_list_block(std::span<const uint8_t> bytes, bool swapped, size_t i) {
    const size_t at = blhdr_fixed + i * block_info_size;
    journal_block block;
    if (at + block_info_size > bytes.size()) return block;
    block.bnum = static_cast<int64_t>(load64(bytes, at, swapped));
    block.bsize = load32(bytes, at + 8, swapped);
    block.cksum = load32(bytes, at + 12, swapped);
    return block;
}

} // namespace hfslib
