// Internal helpers of the B-tree code: a bounded big-endian reader over one
// record, and the pieces shared by the tree walks (reading a whole node
// through a fork's extents, the path kept to stop looping descents, and the
// walker that holds them together).
#pragma once

#include "libhfs/byte_order.h"

#include "libhfs/libhfs.h"
#include "libhfs/report.h"

#include <cstddef>
#include <cstdint>
#include <span>

namespace hfslib {

// Reads big-endian values from a byte span; every take is preceded by a
// has() check of the caller, so no read goes past the span.
class byte_reader {
public:
    explicit byte_reader(std::span<const uint8_t> bytes) : bytes_(bytes) {}

    bool has(size_t n) const { return n <= bytes_.size() - pos_; }
    size_t consumed() const { return pos_; }
    const uint8_t* here() const { return bytes_.data() + pos_; }
    void skip(size_t n) { pos_ += n; }

    uint8_t u8() { return bytes_[pos_++]; }
    uint16_t u16() {
        const uint16_t value = load_be16(bytes_, pos_);
        pos_ += 2;
        return value;
    }
    uint32_t u32() {
        const uint32_t value = load_be32(bytes_, pos_);
        pos_ += 4;
        return value;
    }

private:
    std::span<const uint8_t> bytes_;
    size_t pos_ = 0;
};

// Deepest descent any search makes, whatever a tree header claims: a tree of
// at most 2^32 nodes whose index nodes hold two or more records has fewer
// levels than this.
constexpr unsigned max_tree_levels = 32;

// The nodes met on the way from the root to the current node. A node already
// on the path, or more levels than the tree's depth (capped at
// max_tree_levels), ends the descent.
class descent_path {
public:
    explicit descent_path(uint16_t tree_depth)
        : limit_(tree_depth < max_tree_levels ? tree_depth : max_tree_levels) {}

    // Records `node` as the next level. False when it is already on the
    // path (reason_loop() then tells so) or when the level would pass the
    // limit. The root is always admitted, so a single leaf with a depth of
    // 0 is still searched.
    bool enter(uint32_t node) {
        for (unsigned i = 0; i < levels_; ++i)
            if (nodes_[i] == node) {
                loop_ = true;
                return false;
            }
        if (levels_ > 0 && levels_ >= limit_) return false;
        if (levels_ >= max_tree_levels) return false;
        nodes_[levels_++] = node;
        return true;
    }
    bool reason_loop() const { return loop_; }
    unsigned limit() const { return limit_; }

private:
    uint32_t nodes_[max_tree_levels] = {};
    unsigned levels_ = 0;
    unsigned limit_;
    bool loop_ = false;
};

// Whether hfslib_parse_cat_record would accept these bytes as a record of a
// node of kind `kind` (with a record to fill when `with_record`), checked
// without decoding anything: true exactly when it would return non-zero.
bool cat_record_parses(const uint8_t* raw, size_t raw_len, int16_t kind, bool with_record,
                       const hfslib_vol* vol);

// Decodes only the key of a catalog record that cat_record_parses accepted:
// the key length, parent and the name's length and units (the units past
// the length are left as they are).
void take_cat_key(const uint8_t* raw, size_t raw_len, const hfslib_vol* vol, hfslib_cat_key& key);

// Decodes what follows the key of a catalog record of a node of `kind` (the
// child node number of an index record, the type and body of a leaf record)
// into `out`, as hfslib_parse_cat_record would; false when the bytes fall
// short.
bool take_cat_body(const uint8_t* raw, size_t raw_len, int16_t kind, const hfslib_vol* vol,
                   hfslib_cat_rec& out);

// Reads node `number` of a B-tree file (node_size bytes at number x
// node_size of the fork) into `buf`. Returns 0 when the whole node was read;
// non-zero when the read failed or the extents ended before the node did.
int read_tree_node(hfslib_vol* vol, uint8_t* buf, uint16_t node_size, uint32_t number,
                   std::span<const hfslib_extent> extents, hfslib_cbctx* ctx);

// Orders two unsigned numbers (CNIDs, start blocks): -1, 0 or 1. A wrapped
// 32-bit difference would put values 2^31 or more apart the wrong way round.
constexpr int order(uint32_t a, uint32_t b) {
    return a < b ? -1 : (a > b ? 1 : 0);
}

// What sets one B-tree of the volume apart from the others, apart from its
// keys and records (those are its record parser's business, see btree.h).
struct tree_traits {
    uint8_t id;                              // HFSLIB_TREE_*
    const char* name;                        // in the loop and depth messages
    uint32_t file_cnid;                      // the tree's file
    hfslib_fork hfslib_vheader::*file;       // its fork in the volume header
    hfslib_btree_header hfslib_vol::*header; // where the volume keeps its header
    // Where the volume keeps the width of the key-length field (1 or 2 bytes,
    // from the header's big-keys bit); null: always 2.
    uint8_t hfslib_vol::*keylen_size;
    // Index nodes stand above the tree's last level and leaves on it, checked
    // by level; otherwise either kind may stand on any level of a descent.
    bool kinds_by_level;

    // Messages.
    const char* no_key;       // the search keys could not be allocated
    const char* no_buffer;    // the node buffer could not be allocated
    const char* no_extents;   // the tree file's extents could not be collected
    const char* below_first;  // an exact search below every key (null: silent)
    const char* header_read;  // mount: the header node could not be read ...
    const char* header_parse; // ... or is not one
    void (*node_failed)(const char* verb, uint32_t number);
    void (*wrong_kind)(int8_t kind, uint32_t number, unsigned depth);
    void (*bad_record)(uint16_t index);
    void (*out_of_order)(uint32_t number); // a leaf whose keys do not follow the ones before
};

// The volume's trees, in the order of HFSLIB_TREE_*.
inline constexpr tree_traits tree_table[] = {
    {.id = HFSLIB_TREE_CATALOG,
     .name = "catalog",
     .file_cnid = 4,
     .file = &hfslib_vheader::catalog_file,
     .header = &hfslib_vol::cat_header,
     .keylen_size = &hfslib_vol::cat_keylen_size,
     .kinds_by_level = false,
     .no_key = "could not allocate catalog search key",
     .no_buffer = "could not allocate node buffer",
     .no_extents = "could not locate fork extents",
     .below_first = "all records greater than key",
     .header_read = "could not read catalog header node",
     .header_parse = "could not parse catalog header node",
     .node_failed =
         [](const char* verb, uint32_t number) {
             HFSLIB_ERROR("could not %s catalog node #%i", verb, static_cast<int>(number));
         },
     .wrong_kind =
         [](int8_t kind, uint32_t number, unsigned) {
             HFSLIB_ERROR("unexpected kind %i of catalog node #%u", int{kind}, number);
         },
     .bad_record =
         [](uint16_t index) { HFSLIB_ERROR("could not read catalog record #%i", int{index}); },
     .out_of_order =
         [](uint32_t number) { HFSLIB_ERROR("catalog leaf #%u out of key order", number); }},
    {.id = HFSLIB_TREE_EXTENTS,
     .name = "extents overflow",
     .file_cnid = 3,
     .file = &hfslib_vheader::extents_file,
     .header = &hfslib_vol::ext_header,
     .keylen_size = &hfslib_vol::ext_keylen_size,
     .kinds_by_level = false,
     .no_key = "could not allocate extents search key",
     .no_buffer = "could not allocate node buffer",
     .no_extents = "could not locate fork extents",
     .below_first = nullptr,
     .header_read = "could not read extent header node",
     .header_parse = "could not parse extent header node",
     .node_failed =
         [](const char* verb, uint32_t number) {
             HFSLIB_ERROR("could not %s extents overflow node #%i", verb, static_cast<int>(number));
         },
     .wrong_kind =
         [](int8_t, uint32_t number, unsigned) {
             HFSLIB_ERROR("unknown node type for extents overflow node #%i",
                          static_cast<int>(number));
         },
     .bad_record =
         [](uint16_t index) { HFSLIB_ERROR("could not read extents record #%i", int{index}); },
     .out_of_order =
         [](uint32_t number) {
             HFSLIB_ERROR("extents overflow leaf #%u out of key order", number);
         }},
    {.id = HFSLIB_TREE_ATTRIBUTES,
     .name = "attributes",
     .file_cnid = 8,
     .file = &hfslib_vheader::attributes_file,
     .header = &hfslib_vol::attr_header,
     .keylen_size = nullptr,
     .kinds_by_level = true,
     .no_key = "could not allocate attributes search key",
     .no_buffer = "could not allocate attributes file node buffer",
     .no_extents = "could not locate attributes file extents",
     .below_first = nullptr,
     .header_read = "could not read attribute header node",
     .header_parse = "could not parse attribute header node",
     .node_failed =
         [](const char* verb, uint32_t number) {
             HFSLIB_ERROR("could not %s attribute node #%u", verb, number);
         },
     .wrong_kind =
         [](int8_t, uint32_t number, unsigned depth) {
             HFSLIB_ERROR("attribute node kind unexpected at depth %u #%u", depth, number);
         },
     .bad_record =
         [](uint16_t index) {
             HFSLIB_ERROR("could not read attribute record #%u", unsigned{index});
         },
     // Along the leaves, keys that do not increase are met when a sibling
     // link leads back to a leaf already walked.
     .out_of_order =
         [](uint32_t number) { HFSLIB_ERROR("loop in attributes tree at node #%u", number); }},
};

// The row of `tree` (HFSLIB_TREE_*); null for any other value.
constexpr const tree_traits* find_tree(uint8_t tree) {
    for (const tree_traits& t : tree_table)
        if (t.id == tree) return &t;
    return nullptr;
}

inline constexpr const tree_traits& catalog_traits = tree_table[0];
inline constexpr const tree_traits& extents_traits = tree_table[1];
inline constexpr const tree_traits& attributes_traits = tree_table[2];

// The width of the key-length field of a tree with header `hr`.
constexpr uint8_t keylen_width(const tree_traits& t, const hfslib_btree_header& hr) {
    if (!t.keylen_size) return 2;
    return (hr.attributes & HFSLIB_BTREE_BIG_KEYS) ? 2 : 1;
}

// Decodes the header record of the header node held in `raw` (`bytes` long,
// the descriptor included). False when it does not fit or gives a node size
// no volume may have: every later node read of the tree is sized by it.
bool take_header_record(const uint8_t* raw, size_t bytes, hfslib_btree_header& out);

// Which node kinds may stand where a walk goes next.
enum class node_kinds : uint8_t { index_or_leaf, index_only, leaf_only };

// The working memory of one walk of a B-tree: a buffer of one node, the tree
// file's extents, the records of the node loaded last and the path of the
// descent. Every failure is reported in the tree's own words; everything goes
// back through the free hook on every outcome.
class tree_walker {
public:
    tree_walker(hfslib_vol* vol, const tree_traits& tree, hfslib_cbctx* ctx);

    // Allocates the node buffer and collects the tree file's extents; false
    // after reporting why not.
    bool prepare();

    // Admits `number` as the next level of a descent from the root; false
    // after reporting a loop or a descent deeper than the tree.
    bool enter(uint32_t number);

    // Reads node `number`, checks that its kind is one of `allowed` and
    // parses its records into `node`; false after reporting why not. The kind
    // is checked before the parse, so a link to the header or a map node
    // never reaches the parser. `depth` is the level the node stands on, for
    // the messages that tell it.
    bool load(uint32_t number, node_kinds allowed, unsigned depth = 0);

    const hfslib_btree_header& header() const;
    hfslib_cbctx* ctx() const { return ctx_; }

    node_records node;

private:
    hfslib_vol* vol_;
    const tree_traits& tree_;
    hfslib_cbctx* ctx_;
    descent_path path_;
    hook_ptr<uint8_t[]> buf_;
    hook_ptr<hfslib_extent[]> extents_;
    uint16_t count_ = 0;
};

// The kind byte of a node descriptor held in `raw`.
inline int8_t node_kind(const uint8_t* raw) {
    return static_cast<int8_t>(raw[8]);
}

} // namespace hfslib
