// Fuzz target for the journal walk and the replay overlay: the journal info
// block, the journal header, block lists in either byte order (counts,
// sizes, block numbers, sequence numbers, killed entries, wrap-around,
// lists past the header's end, data checksums).
//
// Input: one selector byte, then the journal's bytes. The harness puts them
// in a volume held in memory (a journaled volume header, the info block at
// allocation block 1 pointing at the journal, which starts at byte 8192 and
// is the input rounded down to 512 bytes); the volume claims 64 MiB, the
// bytes past the journal read as zeros. Selector bits: 0x1 set the
// header's size to the journal's and fix its checksum, 0x2 fix the
// checksums of the block lists found from `start` on (so that the walk goes
// deep), 0x4 the info block says the journal is on another device.
// Checks: no read outside the volume; the walk reads a bounded number of
// bytes; every replayed block lies inside the volume and every journal
// range inside the journal; the overlay patches any read with success.
#include "fuzz_common.h"

#include "access/journal_replay.h"
#include "libhfs/byte_order.h"
#include "libhfs/journal.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

namespace {

constexpr uint64_t block_size = 4096, journal_at = 8192, volume_blocks = 16384;
constexpr uint64_t volume_size = block_size * volume_blocks;

void put_be(uint8_t* p, uint64_t v, int bytes) {
    for (int i = 0; i < bytes; ++i) p[i] = static_cast<uint8_t>(v >> (8 * (bytes - 1 - i)));
}
void put(uint8_t* p, uint64_t v, int bytes, bool little) {
    if (!little) return put_be(p, v, bytes);
    for (int i = 0; i < bytes; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
uint64_t get(const uint8_t* p, int bytes, bool little) {
    uint64_t v = 0;
    for (int i = 0; i < bytes; ++i) v |= uint64_t{p[i]} << (8 * (little ? i : bytes - 1 - i));
    return v;
}

// The checksum field at `field` of the `length` bytes at `p` made right.
void fix_checksum(uint8_t* p, size_t length, size_t field, bool little) {
    std::memset(p + field, 0, 4);
    put(p + field, hfslib::journal_checksum({p, length}), 4, little);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1 + 512 || size > (1u << 22)) return 0;
    const uint8_t selector = data[0];
    const uint64_t jsize = (size - 1) / 512 * 512;
    std::vector<uint8_t> device(journal_at + jsize, 0);
    uint8_t* vh = device.data() + 1024;
    put_be(vh, 0x482B0004, 4); // 'H+', version 4
    put_be(vh + 4, 0x2000, 4); // journaled
    put_be(vh + 12, 1, 4);     // journal info block
    put_be(vh + 40, block_size, 4);
    put_be(vh + 44, volume_blocks, 4);
    uint8_t* info = device.data() + block_size;
    put_be(info, (selector & 0x4) ? 0x2 : 0x1, 4);
    put_be(info + 36, journal_at, 8);
    put_be(info + 44, jsize, 8);
    uint8_t* journal = device.data() + journal_at;
    std::memcpy(journal, data + 1, jsize);

    const bool little = journal[4] == 0x78; // endian 0x12345678 written little-endian
    if (selector & 0x1) {
        put(journal + 24, jsize, 8, little);
        fix_checksum(journal, 44, 36, little);
    }
    if ((selector & 0x2) && jsize >= 48) {
        const uint64_t unit = get(journal + 40, 4, little), blhdr = get(journal + 32, 4, little);
        uint64_t at = get(journal + 8, 8, little);
        for (int i = 0;
             i < 64 && unit >= 512 && blhdr >= 32 && at >= unit && at < jsize && jsize - at >= 32;
             ++i) {
            fix_checksum(journal + at, 32, 8, little);
            const uint64_t used = get(journal + at + 4, 4, little);
            if (used < blhdr || at + used + 32 > jsize) break;
            at += used;
        }
    }

    // The volume's bytes: the device buffer, zeros past it.
    uint64_t bytes_read = 0;
    const hfs_range_reader read = [&](uint8_t* buf, size_t length, uint64_t offset) {
        qfuzz::check(offset <= volume_size && length <= volume_size - offset);
        bytes_read += length;
        std::fill(buf, buf + length, 0);
        if (offset < device.size())
            std::memcpy(buf, device.data() + offset,
                        std::min<uint64_t>(length, device.size() - offset));
        return 0;
    };
    const hfs_journal_scan scan = hfs_scan_journal(read);
    // Headers and checksummed data: at most the journal twice, the list that
    // ends the walk, and the
    // volume header, info block and journal header.
    qfuzz::check(bytes_read <= 3 * jsize + 4096);
    qfuzz::check(scan.state != hfs_journal_state::none);
    if (scan.state != hfs_journal_state::dirty) {
        qfuzz::check(scan.transactions.empty());
        return 0;
    }
    const hfslib::journal_header& h = scan.header;
    size_t blocks = 0;
    for (const hfs_journal_transaction& t : scan.transactions) {
        qfuzz::check(!t.lists.empty());
        for (const hfs_journal_list& l : t.lists) {
            qfuzz::check(l.offset >= h.jhdr_size && l.offset < h.size);
            for (const hfs_journal_block& b : l.blocks) {
                ++blocks;
                qfuzz::check(b.data_offset >= h.jhdr_size && b.data_offset < h.size);
                if (!b.killed()) qfuzz::check(b.device_offset + b.size <= volume_size);
            }
        }
    }
    qfuzz::check(blocks <= h.size / h.jhdr_size);

    const auto overlay = hfs_journal_overlay::build(scan, 0);
    qfuzz::check(overlay != nullptr);
    const hfs_block_owner owner(scan, read);
    std::vector<uint8_t> buf(3 * block_size);
    for (const hfs_journal_transaction& t : scan.transactions)
        for (const hfs_journal_list& l : t.lists)
            for (const hfs_journal_block& b : l.blocks) {
                if (b.killed()) continue;
                qfuzz::check(!owner(b.device_offset, b.size).empty());
                const uint64_t at = b.device_offset > block_size ? b.device_offset - block_size : 0;
                const uint64_t length = std::min<uint64_t>(buf.size(), volume_size - at);
                qfuzz::check(overlay->touches(b.device_offset, b.size));
                qfuzz::check(overlay->patch(buf.data(), length, at, read) == 0);
            }
    return 0;
}
