// Compressed files: recognising a decmpfs file from its "com.apple.decmpfs"
// attribute, and reading its uncompressed bytes at any offset. Each type
// number has a row in one table (decmpfs.cpp): where its data lives (behind
// the header in the attribute, or in the resource fork as chunks decoded one
// at a time, with the last chunk decoded kept in a per-file cache), its
// decoder (zlib, LZFSE or raw LZVN), the chunk tables its fork may hold and
// its chunk size. While a chunked file is read sequentially, the chunks
// after the read are decoded ahead on a small pool of background threads
// into a bounded per-file window (decode-ahead).
//
// Errors: every function returns 0 or a count on success, a negative errno
// value on failure (zlib's and the LZFSE decoder's results are converted).
#pragma once

#include "access/cache_budget.h"
#include "libhfs/libhfs.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <span>
#include <unordered_map>
#include <vector>

// What the probe learns from the attribute header.
struct hfs_decmp_info {
    uint8_t type;  // compression type
    uint64_t size; // uncompressed size
};

// One compressed chunk of a chunked file.
struct hfs_decmp_chunk {
    uint32_t offset; // byte offset within the resource fork
    uint32_t length; // compressed length
};

// Working memory of the decoders, kept across units: the LZFSE decoder's
// tables (about 50 KB), allocated at first use.
class hfs_decmp_scratch {
public:
    // The tables; null when they cannot be allocated.
    void* lzfse() noexcept;

private:
    std::unique_ptr<uint64_t[]> lzfse_;
};

// Decodes one unit (other than a stored one) into dst, with working memory
// from `scratch` when given (else the decoder's own). With `exact`,
// dst.size() is the exact length the unit must give, and more output fails
// rather than filling dst. 0 with `produced` set; -ENOMEM when the working
// memory cannot be had; -EIO for a unit that does not decode.
using hfs_decmp_decoder = int (*)(std::span<uint8_t> dst, std::span<const uint8_t> src,
                                  hfs_decmp_scratch* scratch, bool exact, size_t& produced);

// Where the data of a compressed file lives.
enum class hfs_decmp_home : uint8_t {
    nowhere,       // the header alone: the file reads as zeros
    attribute,     // one unit behind the header in the attribute
    resource_fork, // chunks in the resource fork, found through a chunk table
};

// The chunk tables a resource fork may begin with; the offsets table is
// tried first.
struct hfs_decmp_layouts {
    bool offsets = false;  // N + 1 little-endian offsets from the fork start
    bool resource = false; // a resource header; its data holds a count and
                           // (offset, length) pairs
};

// One compression type.
struct hfs_decmp_kind {
    uint8_t type;
    hfs_decmp_home home;
    hfs_decmp_decoder decode; // null when there is nothing to decode
    uint8_t stored_marker;    // first byte of a unit kept uncompressed
    hfs_decmp_layouts layouts;
    uint32_t chunk_size; // resource fork: uncompressed bytes of every chunk but the last
};

// The row of a compression type; null for a type this reader cannot read.
const hfs_decmp_kind* hfs_decmp_kind_of(uint8_t type);

// Uncompressed bytes a chunk of `type` stands for; 0 for a type whose data
// is read whole (from the attribute, or nowhere). A type without a row is
// taken as the numbering goes for every known type: even types chunked in
// the resource fork, odd ones whole.
uint32_t hfs_decmp_chunk_size(uint8_t type);

// The decode-ahead window of a chunked file (decmpfs.cpp).
struct hfs_decmp_ahead;
struct hfs_decmp_ahead_deleter {
    void operator()(hfs_decmp_ahead* ahead) const noexcept;
};

// The state of one compressed file, shared by every open of it (see
// hfs_decmp_open_shared). Created by hfs_decmp_open, released by
// hfs_decmp_close (or the guard hfs_decmp_ptr). What it costs is bounded by
// what the volume stores, not by what the file claims: the chunk table is
// read from the fork a page at a time as reads need it (one page kept), and
// its decoded bytes are kept only within hfs_file_cache_budget.
struct hfs_decmp {
    uint8_t type = 0;
    const hfs_decmp_kind* kind = nullptr; // the row of `type`
    uint64_t size = 0;
    uint32_t cnid = 0;
    // Inline types: the unit as stored behind the header.
    std::vector<uint8_t> payload;
    // Inline types: the whole file (buf_len bytes), when the budget had room
    // for it at open; else null, and each read decodes what it needs.
    // Chunked types: the cache of one decoded chunk, allocated at the first
    // miss when the budget has room (capacity buf_len). Both keep one spare
    // byte past buf_len, so that a unit decoding to more than it stands for
    // is noticed.
    std::unique_ptr<uint8_t[]> buf;
    uint64_t buf_len = 0;
    hfs_budget_charge buf_charge;
    uint32_t chunk_count = 0;
    bool cache_valid = false;
    bool cache_refused = false; // the budget had no room for buf
    uint32_t cached_chunk = 0;
    uint64_t cached_len = 0;
    // Guards buf, buf_len and the cache fields of chunked types.
    std::shared_mutex lock;
    std::vector<hfslib_extent> rsrc_extents;
    uint16_t rsrc_extent_count = 0;
    // The chunk table in the resource fork: bytes the fork holds (within
    // the volume), which layout, where its entries begin and (resource
    // layout) what their offsets count from.
    uint64_t fork_len = 0;
    bool offsets_layout = false;
    uint64_t table_at = 0;
    uint64_t offsets_from = 0;
    // One page of checked table entries (page_first: its first chunk,
    // UINT32_MAX when none), kept when the budget had room. page_lock guards
    // the three; it is held only while they are looked at or changed.
    std::mutex page_lock;
    uint32_t page_first = UINT32_MAX;
    std::unique_ptr<hfs_decmp_chunk[]> page;
    hfs_budget_charge page_charge;
    // Chunks decoded so far (a cache miss each, or a chunk decoded ahead).
    std::atomic<uint64_t> decodes{0};
    // Chunked files of more than one chunk: the chunks decoded ahead of a
    // sequential reader, with the jobs that decode them. Last, so that it
    // goes first: its destruction cancels or waits for those jobs, which use
    // the fields above.
    std::unique_ptr<hfs_decmp_ahead, hfs_decmp_ahead_deleter> ahead;

    hfs_decmp_info info() const { return {type, size}; }
};

// 0: a supported compressed file; *out filled and, when asked, *attr_len
// and *attr_data (a malloc'ed copy of the whole attribute value that the
// caller frees) delivered. -ENODATA: not a compressed file (no compressed
// flag, a non-empty data fork, not a file, or no attribute). -EIO: the
// attributes of a file marked compressed cannot be read. -EINVAL: the
// attribute is not a valid inline header. -EOPNOTSUPP: an unsupported type
// (reported).
int hfs_decmp_probe(hfslib_vol* vol, const hfslib_cat_rec* rec, hfs_decmp_info* out,
                    uint32_t* attr_len, uint8_t** attr_data);

// Releases the state; null is ignored.
void hfs_decmp_close(hfs_decmp* state);

struct hfs_decmp_deleter {
    void operator()(hfs_decmp* state) const { hfs_decmp_close(state); }
};
using hfs_decmp_ptr = std::unique_ptr<hfs_decmp, hfs_decmp_deleter>;

// Builds the state of file `cnid` from its attribute value into `out`. 0, or
// a negative errno value (`out` then empty).
int hfs_decmp_open(hfslib_vol* vol, uint32_t cnid, uint32_t attr_len, const uint8_t* attr_data,
                   hfs_decmp_ptr& out);

// As hfs_decmp_open, with the resource fork's extent list given instead of
// collected from the catalog (used for volumes held in memory).
int hfs_decmp_open_extents(hfslib_vol* vol, uint32_t cnid, uint32_t attr_len,
                           const uint8_t* attr_data, std::span<const hfslib_extent> rsrc,
                           hfs_decmp_ptr& out);

// The compressed files in use on one device, by CNID, held weakly: a state
// lives as long as its opens, and is found here while it does.
class hfs_live_files {
public:
    std::shared_ptr<hfs_decmp> find(uint32_t cnid) const;
    // Makes `state` findable; the state to use: one of the same file
    // registered (by another thread) meanwhile and still alive, else `state`.
    std::shared_ptr<hfs_decmp> add(std::shared_ptr<hfs_decmp> state);

    // Held while a state is made (its attribute decoded, its chunk table
    // found), so that opens of one file racing on several threads make it
    // once. Taken with no other lock held.
    std::mutex making;

private:
    mutable std::mutex lock_; // a leaf: held only while live_ is looked at
    std::unordered_map<uint32_t, std::weak_ptr<hfs_decmp>> live_;
    size_t sweep_at_ = 64; // forget expired entries when live_ reaches this
};

// As hfs_decmp_open, but every open of the same file on one device shares
// one state (the device's hfs_live_files): opening a file again costs no
// more memory.
int hfs_decmp_open_shared(hfslib_vol* vol, uint32_t cnid, uint32_t attr_len,
                          const uint8_t* attr_data, std::shared_ptr<hfs_decmp>& out);

// Copies up to len uncompressed bytes at offset into buf. Returns the count
// copied (0 at or past the end) or a negative errno value: -EINVAL for a
// negative offset, -EIO for a chunk that cannot be read or does not decode
// to exactly the bytes it stands for, -ENOMEM.
int hfs_decmp_read(hfslib_vol* vol, hfs_decmp* state, uint8_t* buf, size_t len, int64_t offset);

// Decodes one unit of compression type `type` into dst (capacity dst_cap),
// with the decoders' working memory from `scratch` when given. 0 on success
// with *out_len the bytes produced; -EINVAL for a type without a decoder,
// -ENOMEM, or -EIO (an empty unit, a stored unit longer than dst_cap, a
// stream that does not decode).
int hfs_decmp_unpack(uint8_t type, uint8_t* dst, size_t dst_cap, const uint8_t* src, size_t src_len,
                     size_t* out_len, hfs_decmp_scratch* scratch = nullptr);
