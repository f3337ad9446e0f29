// Fork extents: collecting the extent list of a fork (from the volume
// header, the catalog and the extents-overflow tree), reading byte ranges of
// a fork, and the extents-overflow keys and records.
#include "libhfs/btree.h"
#include "libhfs/btree_internal.h"
#include "libhfs/libhfs.h"
#include "libhfs/report.h"

#include <algorithm>
#include <cstring>

namespace {

using hfslib::byte_reader;
using hfslib::hook_ptr;

constexpr uint32_t extents_file_cnid = 3;
constexpr uint16_t max_extents = 65535;

// The fork of a special file, taken from the volume header; null for any
// other CNID.
const hfslib_fork* special_fork(const hfslib_vol& vol, uint32_t cnid) {
    switch (cnid) {
    case 3:
        return &vol.vh.extents_file;
    case 4:
        return &vol.vh.catalog_file;
    case 6:
        return &vol.vh.allocation_file;
    case 7:
        return &vol.vh.startup_file;
    case 8:
        return &vol.vh.attributes_file;
    default:
        return nullptr;
    }
}

// The fork of an ordinary file, found through its thread record. False when
// either lookup fails or the CNID is not a file.
bool catalog_fork(hfslib_vol* vol, uint32_t cnid, uint8_t fork_type, hfslib_fork& fork,
                  hfslib_cbctx* ctx) {
    hfslib_cat_key key{};
    hfslib_cat_rec rec{};
    hfslib_make_cat_key(cnid, 0, nullptr, &key);
    if (hfslib_find_cat_record(vol, &key, &rec, ctx) != 0) return false;
    if (rec.type != HFSLIB_REC_FOLDER_THREAD && rec.type != HFSLIB_REC_FILE_THREAD) return false;
    if (rec.thread.parent_cnid == 0) return false;
    hfslib_thread_rec thread = rec.thread;
    hfslib_make_cat_key(thread.parent_cnid, thread.name.length, thread.name.units, &key);
    if (hfslib_find_cat_record(vol, &key, &rec, ctx) != 0) return false;
    if (rec.type != HFSLIB_REC_FILE) return false;
    if (fork_type == HFSLIB_DATA_FORK)
        fork = rec.file.data_fork;
    else if (fork_type == HFSLIB_RSRC_FORK)
        fork = rec.file.rsrc_fork;
    else
        fork = hfslib_fork{};
    return true;
}

// Reads the part of [offset, end) of the fork that extent `e` (number
// `index`, holding fork bytes [e_begin, e_end)) holds, appending it at
// buf + *bytes_read. 0, or the read hook's failure, or -1 when the device
// position overflows.
int read_piece(hfslib_vol* vol, const hfslib_extent& e, uint16_t index, uint64_t e_begin,
               uint64_t e_end, uint64_t offset, uint64_t end, uint64_t block_size, uint8_t* buf,
               uint64_t* bytes_read, hfslib_cbctx* ctx) {
    const uint64_t lo = std::max(offset, e_begin);
    const uint64_t hi = std::min(end, e_end);
    if (lo >= hi) return 0;
    uint64_t device = 0;
    if (__builtin_add_overflow(uint64_t{e.start_block} * block_size, lo - e_begin, &device)) {
        HFSLIB_ERROR("extent length exceeds 16 exabytes at #%u, offset %lu length %lu",
                     unsigned{index}, static_cast<unsigned long>(e_begin),
                     static_cast<unsigned long>(e_end - e_begin));
        return -1;
    }
    const int rc = hfslib_hook_read(vol, buf + *bytes_read, hi - lo, device, ctx);
    if (rc == 0) *bytes_read += hi - lo;
    return rc;
}

} // namespace

uint16_t hfslib_build_ext_key(uint32_t cnid, uint8_t fork_type, uint32_t start_block,
                              hfslib_ext_key* out) {
    if (cnid == 0 || !out) return 0;
    *out = {};
    out->key_len = 10;
    out->fork_type = fork_type;
    out->pad = 0;
    out->file_cnid = cnid;
    out->start_block = start_block;
    return 10;
}

// CNIDs and start blocks order as unsigned numbers (a wrapped difference
// would misplace values 2^31 or more apart).
int hfslib_cmp_ext_keys(const hfslib_ext_key* a, const hfslib_ext_key* b) {
    if (a->file_cnid != b->file_cnid) return hfslib::order(a->file_cnid, b->file_cnid);
    if (a->fork_type != b->fork_type) return int{a->fork_type} - int{b->fork_type};
    return hfslib::order(a->start_block, b->start_block);
}

size_t hfslib_parse_ext_record(const uint8_t* raw, size_t raw_len, void* out, int node_kind,
                               hfslib_ext_key* key_out, const hfslib_vol* vol) {
    if (!raw || !key_out || !vol) return 0;
    if (node_kind != HFSLIB_NODE_INDEX && node_kind != HFSLIB_NODE_LEAF) return 0;
    byte_reader r({raw, raw_len});
    hfslib_ext_key key{};
    if (vol->ext_keylen_size == 1) {
        if (!r.has(1)) return 0;
        key.key_len = r.u8();
    } else if (vol->ext_keylen_size == 2) {
        if (!r.has(2)) return 0;
        key.key_len = r.u16();
    }
    if (!r.has(10)) return 0;
    key.fork_type = r.u8();
    key.pad = r.u8();
    key.file_cnid = r.u32();
    key.start_block = r.u32();
    if (out) {
        if (node_kind == HFSLIB_NODE_LEAF) {
            if (!r.has(64)) return 0;
            r.skip(hfslib_parse_extent_record(r.here(), static_cast<hfslib_extent*>(out)));
        } else {
            if (!r.has(4)) return 0;
            *static_cast<uint32_t*>(out) = r.u32();
        }
    }
    *key_out = key;
    return r.consumed();
}

int hfslib_seek_overflow_extents(hfslib_vol* vol, const hfslib_ext_key* key, hfslib_extent out[8],
                                 hfslib_cbctx* ctx) {
    if (!vol || !key || !out) return 1;
    using overflow = hfslib::btree<hfslib::extents_tree>;
    overflow tree(vol, ctx);
    if (!tree.open()) return 1;
    // Only the record of this very fork and position continues it: the
    // nearest lower record belongs to another fork or another place.
    if (tree.find(*key) != overflow::result::found) return 1;
    const hfslib::node_records& node = tree.node();
    const uint16_t at = tree.index();
    hfslib_ext_key found_key{};
    hfslib_extent found[8];
    if (hfslib_parse_ext_record(node.data(at), node.size(at), found, HFSLIB_NODE_LEAF, &found_key,
                                vol) == 0) {
        HFSLIB_ERROR("could not read extents record #%i", int{at});
        return 1;
    }
    std::copy_n(found, 8, out);
    return 0;
}

uint16_t hfslib_collect_fork_extents(hfslib_vol* vol, uint32_t cnid, uint8_t fork_type,
                                     hfslib_extent** out, hfslib_cbctx* ctx) {
    if (!vol || cnid == 0) return 0;
    hook_ptr<hfslib_extent[]> list(nullptr, hfslib::hook_deleter{ctx});
    if (out) {
        *out = nullptr;
        list = hfslib::hook_alloc<hfslib_extent[]>(1, ctx);
        if (!list) return 0;
    }

    hfslib_fork fork{};
    if (const hfslib_fork* special = special_fork(*vol, cnid))
        fork = *special;
    else if (!catalog_fork(vol, cnid, fork_type, fork, ctx))
        return 0;

    hfslib_extent group[8];
    std::copy_n(fork.extents, 8, group);
    uint32_t sum = 0;
    size_t collected = 0;
    bool from_overflow = false;
    for (;;) {
        unsigned used = 0;
        while (used < 8 && group[used].block_count != 0) ++used;
        for (unsigned i = 0; i < used; ++i) {
            if (__builtin_add_overflow(sum, group[i].block_count, &sum)) {
                HFSLIB_ERROR("block count overflow for CNID %u, record #%u count %u", cnid, i,
                             group[i].block_count);
                return 0;
            }
        }
        if (collected + used > max_extents) {
            HFSLIB_ERROR("more than %u extents for CNID %u", unsigned{max_extents}, cnid);
            return 0;
        }
        if (out && used > 0) {
            if (!hfslib::hook_resize(list, collected + used, ctx)) return 0;
            std::copy_n(group, used, list.get() + collected);
        }
        collected += used;
        if (sum >= fork.total_blocks) break;
        // The extents file cannot be continued through itself: what its
        // eight extents reach is all of it that can be read.
        if (cnid == extents_file_cnid) break;
        // A continuation that adds nothing would be found again at the same
        // key; the fork is inconsistent.
        if (from_overflow && used == 0) {
            HFSLIB_ERROR("overflow extents of CNID %u add no blocks at block %u", cnid, sum);
            return 0;
        }
        hfslib_ext_key key{};
        hfslib_build_ext_key(cnid, fork_type, sum, &key);
        if (hfslib_seek_overflow_extents(vol, &key, group, ctx) != 0) return 0;
        from_overflow = true;
    }
    if (out) *out = list.release();
    return static_cast<uint16_t>(collected);
}

int hfslib_read_fork_range(hfslib_vol* vol, uint8_t* buf, uint64_t* bytes_read, uint64_t length,
                           uint64_t offset, const hfslib_extent* extents, uint16_t count,
                           hfslib_cbctx* ctx) {
    if (!vol || !buf || !bytes_read || !extents || count == 0) return -1;
    *bytes_read = 0;
    // A range running past 2^64 - 1 ends there; no extent reaches further.
    uint64_t end = 0;
    if (__builtin_add_overflow(offset, length, &end)) end = UINT64_MAX;
    const uint64_t block_size = vol->vh.block_size;
    uint64_t p = 0;
    for (uint16_t i = 0; i < count; ++i) {
        const hfslib_extent& e = extents[i];
        if (e.block_count == 0) continue;
        const uint64_t bytes = uint64_t{e.block_count} * block_size;
        uint64_t e_end = 0;
        if (__builtin_add_overflow(p, bytes, &e_end)) {
            HFSLIB_ERROR("extent length exceeds 16 exabytes at #%u, offset %lu length %lu",
                         unsigned{i}, static_cast<unsigned long>(p),
                         static_cast<unsigned long>(bytes));
            return -1;
        }
        const int rc =
            read_piece(vol, e, i, p, e_end, offset, end, block_size, buf, bytes_read, ctx);
        if (rc != 0) return rc;
        p = e_end;
    }
    return 0;
}

int hfslib_index_fork_extents(const hfslib_vol* vol, const hfslib_extent* extents, uint16_t count,
                              uint64_t* ends) {
    if (!vol || !extents || !ends) return 1;
    const uint64_t block_size = vol->vh.block_size;
    uint64_t p = 0;
    for (uint16_t i = 0; i < count; ++i) {
        if (__builtin_add_overflow(p, uint64_t{extents[i].block_count} * block_size, &p)) return 1;
        ends[i] = p;
    }
    return 0;
}

int hfslib_read_fork_range_indexed(hfslib_vol* vol, uint8_t* buf, uint64_t* bytes_read,
                                   uint64_t length, uint64_t offset, const hfslib_extent* extents,
                                   const uint64_t* ends, uint16_t count, hfslib_cbctx* ctx) {
    if (!vol || !buf || !bytes_read || !extents || !ends || count == 0) return -1;
    *bytes_read = 0;
    uint64_t end = 0;
    if (__builtin_add_overflow(offset, length, &end)) end = UINT64_MAX;
    const uint64_t block_size = vol->vh.block_size;
    // The first extent ending past `offset`; those before it hold none of the range.
    const auto first = static_cast<uint16_t>(std::upper_bound(ends, ends + count, offset) - ends);
    for (uint16_t i = first; i < count; ++i) {
        const hfslib_extent& e = extents[i];
        const uint64_t p = i == 0 ? 0 : ends[i - 1];
        if (p >= end) break;
        if (e.block_count == 0) continue;
        const int rc =
            read_piece(vol, e, i, p, ends[i], offset, end, block_size, buf, bytes_read, ctx);
        if (rc != 0) return rc;
    }
    return 0;
}
