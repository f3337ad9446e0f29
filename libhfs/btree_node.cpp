// B-tree nodes: the descriptor, the record-offset table, the record copies
// and the header record; plus the node reading shared by the tree descents.
#include "libhfs/btree_internal.h"
#include "libhfs/libhfs.h"
#include "libhfs/report.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

// A programming error of the caller: stops the program in every build, with
// the text an assertion prints (`text` is the condition as C spells it).
#define HFSLIB_REQUIRE(expr, text)                                                                 \
    ((expr) ? static_cast<void>(0) : require_failed(text, __FILE__, __LINE__, __func__))

namespace {

[[noreturn]] void require_failed(const char* expr, const char* file, int line, const char* func) {
    std::fprintf(stderr, "%s:%d: %s: Assertion `%s' failed.\n", file, line, func, expr);
    std::abort();
}

} // namespace

namespace {

constexpr size_t desc_size = 14;
constexpr size_t header_rec_size = 106;

} // namespace

bool hfslib_valid_node_size(uint32_t node_size) {
    return node_size >= 512 && node_size <= 32768 && (node_size & (node_size - 1)) == 0;
}

void hfslib_free_node_records(uint8_t** recs, uint16_t* sizes, uint16_t num_recs,
                              hfslib_cbctx* ctx) {
    if (recs) {
        for (uint16_t i = 0; i < num_recs; ++i) hfslib_hook_free(recs[i], ctx);
        hfslib_hook_free(recs, ctx);
    }
    hfslib_hook_free(sizes, ctx);
}

namespace {

// The checks of a node shared by the copying parser and the views of the
// tree searches: the descriptor (a header node's header record is decoded
// into `header`), then, when `want_records` is set, the offset table and
// every record's bounds (and, for the catalog, its key). `records` is called
// once the descriptor has passed: it returns the arrays for the n offsets and
// sizes (null: failure, reported). `each(i, len)` is called before record i
// is checked and `take(i, at)` after (false from either: failure, reported).
// Returns the bytes taken (the descriptor alone without `want_records`) or 0.
template <class Records, class Each, class Take>
size_t check_node(const uint8_t* raw, hfslib_node_desc* desc_out, uint8_t tree, hfslib_vol* vol,
                  hfslib_btree_header& header, bool want_records, Records records, Each each,
                  Take take) {
    const uint8_t* p = raw;
    hfslib_node_desc desc{};
    desc.flink = hfslib_take_u32(&p);
    desc.blink = hfslib_take_u32(&p);
    desc.kind = static_cast<int8_t>(*p++);
    desc.height = *p++;
    desc.num_recs = hfslib_take_u16(&p);
    desc.reserved = hfslib_take_u16(&p);
    *desc_out = desc;
    const uint16_t n = desc.num_recs;

    if (n == 0) {
        HFSLIB_ERROR("node contains no records");
        return 0;
    }

    // The bytes at `raw` are as long as the node size recorded on entry; a
    // header node may record another size, for the caller to keep.
    const hfslib::tree_traits* traits = hfslib::find_tree(tree);
    const uint16_t node_size = traits ? (vol->*traits->header).node_size : 0;

    if (desc.kind == HFSLIB_NODE_HEADER) {
        if (n != 3) {
            HFSLIB_ERROR("header node does not have exactly 3 records");
            return 0;
        }
        if (!traits) {
            HFSLIB_ERROR("invalid parent file type specified");
            return 0;
        }
        if (!hfslib::take_header_record(raw, node_size, header)) {
            HFSLIB_ERROR("could not read header node");
            return 0;
        }
    }
    if (!traits) {
        HFSLIB_ERROR("invalid parent file type specified");
        return 0;
    }
    if (!want_records) return desc_size;

    if (node_size < 2u * n + 2) {
        HFSLIB_ERROR("nodesize %u too small for %u records", unsigned{node_size}, unsigned{n});
        return 0;
    }

    uint16_t* offsets = nullptr;
    uint16_t* sizes = nullptr;
    if (!records(n, offsets, sizes)) return 0;

    // The offset table runs from the end of the node backwards: record 0's
    // entry is the last two bytes. Reading starts at record n-1's entry and
    // must meet 14 exactly at record 0's.
    const uint8_t* table = raw + node_size - 2u * n;
    const uint8_t* free_entry = table - 2;
    const uint16_t free_space = hfslib_take_u16(&free_entry);
    p = table;
    int found14 = -1;
    for (int i = n - 1; i >= 0; --i) {
        offsets[i] = hfslib_take_u16(&p);
        if (offsets[i] == desc_size) {
            found14 = i;
            break;
        }
    }
    if (found14 < 0) {
        HFSLIB_ERROR("could not read node record offsets");
        return 0;
    }
    if (found14 > 0) {
        // A 14 above record 0: the lower entries were never read.
        unsigned above = found14 + 1 < n ? offsets[found14 + 1] : free_space;
        HFSLIB_ERROR("corrupt record offsets %u-%u", above, unsigned{offsets[found14]});
        return 0;
    }

    // Leaf and index records begin at even offsets; an odd one means the
    // table does not describe this node.
    const bool keyed = desc.kind == HFSLIB_NODE_LEAF || desc.kind == HFSLIB_NODE_INDEX;
    for (int k = n - 1; k >= 0; --k) {
        uint16_t upper = k == n - 1 ? free_space : offsets[k + 1];
        if (upper <= offsets[k] || (keyed && ((upper - offsets[k]) & 1))) {
            HFSLIB_ERROR("corrupt record offsets %u-%u", unsigned{upper}, unsigned{offsets[k]});
            return 0;
        }
        sizes[k] = static_cast<uint16_t>(upper - offsets[k]);
    }

    // Records end where the offset table begins.
    const size_t records_end = node_size - 2u * (n + 1u);
    size_t cursor = desc_size;
    for (uint16_t i = 0; i < n; ++i) {
        const uint16_t len = sizes[i];
        if (!each(i, len)) return 0;
        if (cursor + len > records_end) {
            HFSLIB_ERROR("record offset outside of node bounds %u", unsigned{len});
            return 0;
        }
        if (tree == HFSLIB_TREE_CATALOG && keyed) {
            // As hfslib_parse_cat_record(raw + cursor, len, nullptr, ...) would.
            if (!hfslib::cat_record_parses(raw + cursor, len, desc.kind, false, vol)) {
                HFSLIB_ERROR("could not read node record");
                return 0;
            }
        }
        if (!take(i, raw + cursor)) return 0;
        cursor += len;
    }
    return cursor;
}

} // namespace

size_t hfslib_parse_node(const uint8_t* raw, hfslib_node_desc* desc_out, uint8_t*** recs_out,
                         uint16_t** sizes_out, uint8_t tree, hfslib_vol* vol, hfslib_cbctx* ctx) {
    if (!desc_out || !raw || !vol || (recs_out == nullptr) != (sizes_out == nullptr)) return 0;
    if (recs_out) {
        *recs_out = nullptr;
        *sizes_out = nullptr;
    }

    hfslib::hook_ptr<uint16_t[]> offsets, sizes;
    hfslib::hook_ptr<uint8_t*[]> recs;
    // Frees the copies made so far when the node is refused.
    struct copies_guard {
        uint8_t** recs = nullptr;
        uint16_t n = 0;
        hfslib_cbctx* ctx;
        bool keep = false;
        ~copies_guard() {
            if (!keep && recs)
                for (uint16_t i = 0; i < n; ++i) hfslib_hook_free(recs[i], ctx);
        }
    } copies{nullptr, 0, ctx};

    auto arrays = [&](uint16_t n, uint16_t*& offsets_out, uint16_t*& sizes_at) {
        offsets = hfslib::hook_alloc<uint16_t[]>(n, ctx);
        sizes = hfslib::hook_alloc<uint16_t[]>(n, ctx);
        if (!offsets || !sizes) {
            HFSLIB_ERROR("could not allocate node record offsets");
            return false;
        }
        recs = hfslib::hook_alloc<uint8_t*[]>(n, ctx);
        if (!recs) {
            HFSLIB_ERROR("could not allocate node records");
            return false;
        }
        for (uint16_t i = 0; i < n; ++i) recs[i] = nullptr;
        copies.recs = recs.get();
        copies.n = n;
        offsets_out = offsets.get();
        sizes_at = sizes.get();
        return true;
    };
    auto each = [&](uint16_t i, uint16_t len) {
        recs[i] = static_cast<uint8_t*>(hfslib_hook_alloc(len, ctx));
        if (!recs[i]) {
            HFSLIB_ERROR("could not allocate node record #%i", int{i});
            return false;
        }
        return true;
    };
    auto take = [&](uint16_t i, const uint8_t* at) {
        std::memcpy(recs[i], at, sizes[i]);
        return true;
    };
    hfslib_btree_header header{};
    const size_t used =
        check_node(raw, desc_out, tree, vol, header, recs_out != nullptr, arrays, each, take);
    if (used == 0) return 0;
    // A header node sizes the later node reads of its tree.
    if (desc_out->kind == HFSLIB_NODE_HEADER) {
        const hfslib::tree_traits& traits = *hfslib::find_tree(tree);
        (vol->*traits.header).node_size = header.node_size;
        if (traits.keylen_size) vol->*traits.keylen_size = hfslib::keylen_width(traits, header);
    }
    if (!recs_out) return used;

    copies.keep = true;
    *recs_out = recs.release();
    *sizes_out = sizes.release();
    return used;
}

size_t hfslib_read_header_node(uint8_t* const* recs, const uint16_t* rec_sizes, uint16_t num_recs,
                               hfslib_btree_header* out_hr, uint8_t* user_data_out,
                               uint8_t* map_out) {
    HFSLIB_REQUIRE(out_hr != nullptr, "out_hr != ((void *)0)");
    if (!recs || !rec_sizes || num_recs == 0 || !recs[0]) return 0;
    // The header record must be whole in the bytes handed over.
    if (rec_sizes[0] < header_rec_size) return 0;

    const uint8_t* p = recs[0];
    hfslib_btree_header hr{};
    hr.tree_depth = hfslib_take_u16(&p);
    hr.root_node = hfslib_take_u32(&p);
    hr.leaf_recs = hfslib_take_u32(&p);
    hr.first_leaf = hfslib_take_u32(&p);
    hr.last_leaf = hfslib_take_u32(&p);
    hr.node_size = hfslib_take_u16(&p);
    hr.max_key_len = hfslib_take_u16(&p);
    hr.total_nodes = hfslib_take_u32(&p);
    hr.free_nodes = hfslib_take_u32(&p);
    hr.reserved1 = hfslib_take_u16(&p);
    hr.clump_size = hfslib_take_u32(&p);
    hr.btree_type = *p++;
    hr.keycomp_type = *p++;
    hr.attributes = hfslib_take_u32(&p);
    for (uint32_t& word : hr.reserved3) word = hfslib_take_u32(&p);
    *out_hr = hr;

    size_t used = header_rec_size;
    if (num_recs >= 2) {
        if (user_data_out && recs[1]) std::memcpy(user_data_out, recs[1], rec_sizes[1]);
        used += rec_sizes[1];
    }
    if (num_recs >= 3) {
        if (map_out && recs[2]) std::memcpy(map_out, recs[2], rec_sizes[2]);
        used += rec_sizes[2];
    }
    return used;
}

namespace hfslib {

bool take_header_record(const uint8_t* raw, size_t bytes, hfslib_btree_header& out) {
    if (bytes < desc_size + header_rec_size) return false;
    uint8_t* rec0 = const_cast<uint8_t*>(raw + desc_size);
    const auto len = static_cast<uint16_t>(std::min<size_t>(bytes - desc_size, UINT16_MAX));
    hfslib_btree_header hr{};
    if (hfslib_read_header_node(&rec0, &len, 1, &hr, nullptr, nullptr) == 0) return false;
    if (!hfslib_valid_node_size(hr.node_size)) return false;
    out = hr;
    return true;
}

size_t node_records::parse(const uint8_t* raw, uint8_t tree, hfslib_vol* vol) {
    release();
    if (!raw || !vol) return 0;
    auto arrays = [&](uint16_t n, uint16_t*& offsets, uint16_t*& sizes) {
        // Room for the most records any node can hold, kept across nodes.
        if (n > capacity_) {
            const uint32_t room = n < 512 ? 512 : n;
            auto grown = hfslib::hook_alloc<uint16_t[]>(size_t{room} * 2, ctx_);
            auto at = hfslib::hook_alloc<const uint8_t*[]>(room, ctx_);
            if (!grown || !at) {
                HFSLIB_ERROR("could not allocate node record offsets");
                return false;
            }
            table_ = std::move(grown);
            at_ = std::move(at);
            capacity_ = room;
        }
        offsets = table_.get();
        sizes = table_.get() + capacity_;
        return true;
    };
    auto each = [](uint16_t, uint16_t) { return true; };
    auto take = [&](uint16_t i, const uint8_t* at) {
        at_[i] = at;
        return true;
    };
    hfslib_btree_header header{};
    const size_t used = check_node(raw, &desc, tree, vol, header, true, arrays, each, take);
    count_ = used != 0 ? desc.num_recs : 0;
    return used;
}

} // namespace hfslib
