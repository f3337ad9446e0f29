// Walking a B-tree: reading whole nodes through the tree file's extents and
// the resources and checks every descent and sibling walk shares.
#include "btree_internal.h"
#include "libhfs.h"
#include "report.h"

namespace {

constexpr uint32_t extents_file_cnid = 3;
constexpr uint32_t catalog_file_cnid = 4;
constexpr uint32_t attributes_file_cnid = 8;

const hfslib_btree_header& header_of(const hfslib_vol& vol, uint8_t tree) {
    switch (tree) {
    case HFSLIB_TREE_CATALOG:
        return vol.cat_header;
    case HFSLIB_TREE_EXTENTS:
        return vol.ext_header;
    default:
        return vol.attr_header;
    }
}

uint32_t file_of(uint8_t tree) {
    switch (tree) {
    case HFSLIB_TREE_CATALOG:
        return catalog_file_cnid;
    case HFSLIB_TREE_EXTENTS:
        return extents_file_cnid;
    default:
        return attributes_file_cnid;
    }
}

const char* name_of(uint8_t tree) {
    switch (tree) {
    case HFSLIB_TREE_CATALOG:
        return "catalog";
    case HFSLIB_TREE_EXTENTS:
        return "extents overflow";
    default:
        return "attributes";
    }
}

bool kind_allowed(int8_t kind, hfslib::node_kinds allowed) {
    switch (allowed) {
    case hfslib::node_kinds::index_only:
        return kind == HFSLIB_NODE_INDEX;
    case hfslib::node_kinds::leaf_only:
        return kind == HFSLIB_NODE_LEAF;
    default:
        return kind == HFSLIB_NODE_INDEX || kind == HFSLIB_NODE_LEAF;
    }
}

} // namespace

namespace hfslib {

int read_tree_node(hfslib_vol* vol, uint8_t* buf, uint16_t node_size, uint32_t number,
                   std::span<const hfslib_extent> extents, hfslib_cbctx* ctx) {
    // The node parser trusts its bytes to be one whole node of a sane size.
    if (!hfslib_valid_node_size(node_size)) return 1;
    uint64_t got = 0;
    const uint64_t offset = uint64_t{number} * node_size;
    int rc = hfslib_read_fork_range(vol, buf, &got, node_size, offset, extents.data(),
                                    static_cast<uint16_t>(extents.size()), ctx);
    if (rc != 0) return rc;
    return got == node_size ? 0 : 1;
}

tree_walker::tree_walker(hfslib_vol* vol, uint8_t tree, hfslib_cbctx* ctx)
    : node(ctx), vol_(vol), tree_(tree), ctx_(ctx), path_(header_of(*vol, tree).tree_depth),
      buf_(nullptr, hook_deleter{ctx}), extents_(nullptr, hook_deleter{ctx}) {}

const hfslib_btree_header& tree_walker::header() const {
    return header_of(*vol_, tree_);
}

bool tree_walker::prepare() {
    const bool attributes = tree_ == HFSLIB_TREE_ATTRIBUTES;
    buf_ = hook_alloc<uint8_t[]>(header().node_size, ctx_);
    if (!buf_) {
        if (attributes)
            HFSLIB_ERROR("could not allocate attributes file node buffer");
        else
            HFSLIB_ERROR("could not allocate node buffer");
        return false;
    }
    hfslib_extent* raw = nullptr;
    count_ = hfslib_collect_fork_extents(vol_, file_of(tree_), HFSLIB_DATA_FORK, &raw, ctx_);
    extents_.reset(raw);
    if (count_ == 0) {
        if (attributes)
            HFSLIB_ERROR("could not locate attributes file extents");
        else
            HFSLIB_ERROR("could not locate fork extents");
        return false;
    }
    return true;
}

bool tree_walker::enter(uint32_t number) {
    if (path_.enter(number)) return true;
    if (path_.reason_loop())
        HFSLIB_ERROR("loop in %s tree at node #%u", name_of(tree_), number);
    else
        HFSLIB_ERROR("%s tree deeper than %u levels", name_of(tree_), path_.limit());
    return false;
}

bool tree_walker::load(uint32_t number, node_kinds allowed, unsigned depth) {
    if (read_tree_node(vol_, buf_.get(), header().node_size, number, {extents_.get(), count_},
                       ctx_) != 0) {
        report_node("read", number);
        return false;
    }
    const int8_t kind = node_kind(buf_.get());
    if (!kind_allowed(kind, allowed)) {
        report_kind(kind, number, depth);
        return false;
    }
    if (node.parse(buf_.get(), tree_, vol_) == 0) {
        report_node("parse", number);
        return false;
    }
    return true;
}

void tree_walker::report_node(const char* verb, uint32_t number) const {
    switch (tree_) {
    case HFSLIB_TREE_CATALOG:
        HFSLIB_ERROR("could not %s catalog node #%i", verb, static_cast<int>(number));
        break;
    case HFSLIB_TREE_EXTENTS:
        HFSLIB_ERROR("could not %s extents overflow node #%i", verb, static_cast<int>(number));
        break;
    default:
        HFSLIB_ERROR("could not %s attribute node #%u", verb, number);
    }
}

void tree_walker::report_kind(int8_t kind, uint32_t number, unsigned depth) const {
    switch (tree_) {
    case HFSLIB_TREE_CATALOG:
        HFSLIB_ERROR("unexpected kind %i of catalog node #%u", int{kind}, number);
        break;
    case HFSLIB_TREE_EXTENTS:
        HFSLIB_ERROR("unknown node type for extents overflow node #%i", static_cast<int>(number));
        break;
    default:
        HFSLIB_ERROR("attribute node kind unexpected at depth %u #%u", depth, number);
    }
}

} // namespace hfslib
