// Walking a B-tree: reading whole nodes through the tree file's extents and
// the resources and checks every descent and sibling walk shares.
#include "libhfs/btree_internal.h"
#include "libhfs/libhfs.h"
#include "libhfs/report.h"

namespace {

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

tree_walker::tree_walker(hfslib_vol* vol, const tree_traits& tree, hfslib_cbctx* ctx)
    : node(ctx), vol_(vol), tree_(tree), ctx_(ctx), path_((vol->*tree.header).tree_depth),
      buf_(nullptr, hook_deleter{ctx}), extents_(nullptr, hook_deleter{ctx}) {}

const hfslib_btree_header& tree_walker::header() const {
    return vol_->*tree_.header;
}

bool tree_walker::prepare() {
    buf_ = hook_alloc<uint8_t[]>(header().node_size, ctx_);
    if (!buf_) {
        HFSLIB_ERROR("%s", tree_.no_buffer);
        return false;
    }
    hfslib_extent* raw = nullptr;
    count_ = hfslib_collect_fork_extents(vol_, tree_.file_cnid, HFSLIB_DATA_FORK, &raw, ctx_);
    extents_.reset(raw);
    if (count_ == 0) {
        HFSLIB_ERROR("%s", tree_.no_extents);
        return false;
    }
    return true;
}

bool tree_walker::enter(uint32_t number) {
    if (path_.enter(number)) return true;
    if (path_.reason_loop())
        HFSLIB_ERROR("loop in %s tree at node #%u", tree_.name, number);
    else
        HFSLIB_ERROR("%s tree deeper than %u levels", tree_.name, path_.limit());
    return false;
}

bool tree_walker::load(uint32_t number, node_kinds allowed, unsigned depth) {
    if (read_tree_node(vol_, buf_.get(), header().node_size, number, {extents_.get(), count_},
                       ctx_) != 0) {
        tree_.node_failed("read", number);
        return false;
    }
    const int8_t kind = node_kind(buf_.get());
    if (!kind_allowed(kind, allowed)) {
        tree_.wrong_kind(kind, number, depth);
        return false;
    }
    if (node.parse(buf_.get(), tree_.id, vol_) == 0) {
        tree_.node_failed("parse", number);
        return false;
    }
    return true;
}

} // namespace hfslib
