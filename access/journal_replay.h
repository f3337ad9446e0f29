// A volume's journal: what its pending transactions are (the walk macOS makes
// before replaying them, with its checks and bounds), and the in-memory
// overlay that serves the replayed blocks to every read of the device
// without writing anything.
//
// Every count, size and offset comes from the journal and is untrusted:
// the walk reads only inside the journal and at most its size in bytes
// (headers, and block data when the lists carry checksums), keeps at most
// one record per `jhdr_size` bytes of the journal, and stops where macOS
// would (section "what stopped" of the result).
//
// Errors: hfs_scan_journal cannot fail (what it found, including why
// nothing can be replayed, is in its result); the overlay's read returns 0
// or a negative errno value.
#pragma once

#include "access/partition_map.h"
#include "libhfs/journal.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

struct hfs_journal_block {
    int64_t bnum = 0;           // -1: killed (its data is stepped over)
    uint64_t device_offset = 0; // bnum * jhdr_size, from the start of the partition
    uint32_t size = 0;
    uint32_t cksum = 0;
    uint64_t data_offset = 0; // where its data is, from the journal's start
    bool killed() const { return bnum == -1; }
};

struct hfs_journal_list {
    uint64_t offset = 0; // from the journal's start
    hfslib::journal_list header;
    std::vector<hfs_journal_block> blocks; // binfo[1..num_blocks)
};

struct hfs_journal_transaction {
    uint32_t sequence_num = 0;
    bool past_end = false; // found past the header's `end`
    std::vector<hfs_journal_list> lists;
};

enum class hfs_journal_state {
    none,     // not a journaled HFS+ volume (the mount says why, if it is not one)
    clean,    // start == end and nothing past it
    dirty,    // transactions to replay (some may have been dropped)
    unusable, // dirty, but nothing can be replayed: `problem` says why
};

struct hfs_journal_scan {
    hfs_journal_state state = hfs_journal_state::none;
    std::string problem;          // unusable: why
    uint64_t embedded_offset = 0; // of the HFS+ volume inside its wrapper
    uint32_t volume_block_size = 0;
    uint32_t info_block = 0; // allocation block of the journal info block
    hfslib::journal_info info;
    bool header_read = false;
    hfslib::journal_header header;
    std::vector<hfs_journal_transaction> transactions; // to replay, in order
    // Where the walk stopped (journal offset) and why, in words.
    uint64_t stop_offset = 0;
    std::string stop_reason;
    bool damaged = false; // stopped by damage, not at the journal's end
    // The lists of the transaction dropped by damage (the damaged list last,
    // its blocks left out when its header could not be trusted).
    std::vector<hfs_journal_list> dropped;
    std::string dropped_reason;

    size_t block_count() const; // non-killed blocks of the transactions to replay
    bool past_end() const;      // some transaction lies past `end`
};

// Walks the journal of the volume `read` holds (offsets from the start of
// its partition, or of the device when it has none). The volume may be
// embedded in an HFS wrapper; blocks are placed from the wrapper's start and
// must lie inside the volume.
hfs_journal_scan hfs_scan_journal(const hfs_range_reader& read);

// The replayed blocks of a scan, as ranges of the device mapped to ranges
// of the journal: later transactions override earlier ones byte for byte.
// Holds an index, not the bytes: they are read from the journal on demand.
class hfs_journal_overlay {
public:
    // `base`: the partition's offset on the device (added to every range).
    // Null when memory is short.
    static std::unique_ptr<hfs_journal_overlay> build(const hfs_journal_scan& scan, uint64_t base);

    // Whether [offset, offset + size) of the device meets a replayed range.
    bool touches(uint64_t offset, uint64_t size) const {
        return offset < max_end_ && offset + size > min_start_ && touches_slow(offset, size);
    }
    // Copies the replayed bytes over `dst`, which holds [offset, offset +
    // size) of the device as stored; `raw` reads the device (absolute
    // offsets) without the overlay. 0 or a negative errno value.
    int patch(uint8_t* dst, uint64_t size, uint64_t offset, const hfs_range_reader& raw) const;

    size_t ranges() const { return segments_.size(); }

    struct segment {
        uint64_t start = 0; // device offset
        uint64_t end = 0;
        uint64_t journal = 0; // journal offset of the byte at `start`
    };

private:
    bool touches_slow(uint64_t offset, uint64_t size) const;
    std::vector<segment> segments_; // sorted, disjoint
    uint64_t min_start_ = 0;
    uint64_t max_end_ = 0;
    uint64_t journal_start_ = 0; // device offset of the journal
    uint64_t journal_size_ = 0;
    uint64_t unit_ = 0; // jhdr_size: where the circular area begins
};

// What a device range holds, for the journal listing: "volume header",
// "allocation bitmap", "catalog node 12", ... or "unknown". `read` as for
// hfs_scan_journal, through the overlay or not.
class hfs_block_owner {
public:
    hfs_block_owner(const hfs_journal_scan& scan, const hfs_range_reader& read);
    std::string operator()(uint64_t device_offset, uint32_t size) const;

private:
    struct place {
        std::string name;
        bool tree = false; // a B-tree: the node and where in it
        uint64_t node = 0, in_node = 0, node_size = 0;
    };
    place where(uint64_t device_offset, uint64_t size) const;

    struct file {
        std::string name;
        uint32_t node_size = 0;                             // 0: not a B-tree
        std::vector<std::pair<uint64_t, uint64_t>> extents; // device byte ranges, in fork order
    };
    std::vector<file> files_;
    uint64_t volume_start_ = 0; // of the HFS+ volume, from the partition's start
    uint64_t volume_end_ = 0;
    uint64_t info_block_ = 0;
    uint32_t block_size_ = 0;
};
