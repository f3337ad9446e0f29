// The HFS+ journal's on-disk structures: the journal info block, the journal
// header and the block-list headers, with the checks a reader makes before
// trusting them. The journal is in its writer's byte order (big-endian from
// PowerPC Macs, little-endian from Intel and Apple-silicon Macs); the info
// block is always big-endian. Nothing here reads a device: callers hand in
// the bytes and get the fields, or the reason they cannot be used.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace hfslib {

constexpr uint32_t jinfo_in_fs = 0x1;
constexpr uint32_t jinfo_on_other_device = 0x2;
constexpr uint32_t jinfo_need_init = 0x4;
constexpr size_t jinfo_size = 52; // flags, device signature, offset, size

constexpr uint32_t journal_magic = 0x4A4E4C78;     // 'JNLx'
constexpr uint32_t journal_old_magic = 0x4A484452; // 'JHDR'
constexpr uint32_t journal_endian = 0x12345678;
constexpr size_t journal_header_size = 48;

constexpr uint32_t blhdr_check_checksums = 0x1;
constexpr uint32_t blhdr_first_header = 0x2;
constexpr size_t blhdr_fixed = 16; // the fields before binfo[]
constexpr size_t block_info_size = 16;
constexpr size_t blhdr_checksummed = 32; // the fixed fields and binfo[0]
// Bounds a reader sets itself on sizes macOS takes from the device.
constexpr uint32_t journal_min_unit = 512;
constexpr uint32_t journal_max_unit = 65536;
constexpr uint32_t journal_max_blhdr = 1u << 20;

// The checksum of journal headers, block-list headers and block data.
uint32_t journal_checksum(std::span<const uint8_t> bytes);

struct journal_info {
    uint32_t flags = 0;
    uint64_t offset = 0; // of the journal header, from the volume's start
    uint64_t size = 0;
};
// The info block's fields: `bytes` holds at least jinfo_size bytes.
bool parse_journal_info(std::span<const uint8_t> bytes, journal_info& out);

struct journal_header {
    uint32_t magic = 0;
    bool swapped = false; // written in little-endian order
    uint64_t start = 0;
    uint64_t end = 0;
    uint64_t size = 0;
    uint32_t blhdr_size = 0;
    uint32_t checksum = 0;
    uint32_t jhdr_size = 0;
    uint32_t sequence_num = 0;
};

// Reads the header from its first journal_header_size bytes and checks it
// against the info block's size and the room the volume leaves
// (`room`: the bytes from the journal's start to the volume's end): magic,
// byte order, checksum, unit and block-list sizes, start and end. `start`
// and `end` equal to `size` are wrapped to `jhdr_size`. Null when usable,
// else why not (the fields read so far are filled in).
const char* parse_journal_header(std::span<const uint8_t> bytes, uint64_t info_size, uint64_t room,
                                 journal_header& out);

struct journal_block {
    int64_t bnum = 0; // in units of jhdr_size; -1 = killed
    uint32_t bsize = 0;
    uint32_t cksum = 0;
    bool killed() const { return bnum == -1; }
};

struct journal_list {
    uint16_t max_blocks = 0;
    uint16_t num_blocks = 0; // counting binfo[0]
    uint32_t bytes_used = 0;
    uint32_t checksum = 0;
    uint32_t flags = 0;
    uint32_t sequence_num = 0; // binfo[0]'s last word
    bool checksum_ok = false;
};

// The fixed fields of a block-list header and its checksum (the first 32
// bytes of `bytes`, which must hold them).
journal_list parse_journal_list(std::span<const uint8_t> bytes, bool swapped);
// Checks the counts of a list whose header checksum matched: null when they
// fit the journal `h` and the `blhdr_size` bytes of the header, else why not.
const char* check_journal_list(const journal_list& list, const journal_header& h);
// binfo[i] (1 <= i < num_blocks) of a checked list; `bytes` holds the whole
// header (blhdr_size bytes).
journal_block journal_list_block(std::span<const uint8_t> bytes, bool swapped, size_t i);

} // namespace hfslib
