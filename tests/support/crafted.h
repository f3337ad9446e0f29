// A small in-memory HFS+ volume made by the tests themselves: a volume
// header, a catalog and an extents-overflow B-tree packed from given
// records, and file data blocks. Used where the shared images lack a case
// (many extents, wrappers, hostile links) and as a base for patching.
#pragma once

#include "libhfs/libhfs.h"

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace qtest {

struct tree_record {
    std::vector<uint8_t> key; // key bytes with their length field
    std::vector<uint8_t> data;
};

// One packed B-tree: node 0 is the header node, leaves follow in key order,
// index levels after them, the root last.
struct packed_tree {
    std::vector<uint8_t> bytes;
    uint16_t node_size = 512;
    uint16_t depth = 0;
    uint32_t root = 0;
    uint32_t first_leaf = 0;
    uint32_t last_leaf = 0;
    uint32_t leaf_recs = 0;
    uint32_t total_nodes = 0;
    std::vector<uint32_t> index_nodes; // node numbers of the index nodes, root last
};

// Packs sorted records, at most `per_node` to a node. The keys of index
// records are the first keys of their children.
packed_tree pack_tree(const std::vector<tree_record>& records, uint16_t node_size, size_t per_node,
                      uint32_t attributes, uint8_t keycomp, uint8_t btree_type = 0);

struct crafted_file {
    uint32_t parent = 2;
    std::u16string name;
    uint32_t cnid = 0;
    bool folder = false;
    // Data fork extents; each extent gets its own blocks filled with a
    // pattern telling the fork byte position (see fork_byte()).
    std::vector<uint32_t> extent_blocks;    // block count of each extent
    uint64_t logical_size = 0;              // 0: all the blocks
    std::vector<hfslib_extent> raw_extents; // used instead when not empty (no data written)
    uint32_t raw_total_blocks = 0;
};

// The byte at fork position `pos` of the file with CNID `cnid`.
uint8_t fork_byte(uint32_t cnid, uint64_t pos);

struct crafted_options {
    uint16_t signature = HFSLIB_SIG_HFSPLUS;
    uint32_t block_size = 512;
    uint16_t node_size = 512;
    size_t cat_per_node = 8;
    size_t ext_per_node = 4;
    uint32_t cat_attributes = 0x6; // big keys, variable index keys
    uint8_t keycomp = HFSLIB_KEYCMP_FOLDED;
    uint32_t vol_attributes = 0;
    bool root_thread = true;
    std::u16string volume_name = u"Crafted";
};

struct crafted_volume {
    std::vector<uint8_t> image;
    packed_tree catalog;
    packed_tree extents;
    uint64_t catalog_offset = 0; // byte offset of the catalog file
    uint64_t extents_offset = 0;
    std::map<uint32_t, std::vector<hfslib_extent>> forks; // every extent of each file's data fork

    // Byte offset in `image` of catalog node n / extents node n.
    uint64_t cat_node(uint32_t n) const { return catalog_offset + uint64_t{n} * catalog.node_size; }
    uint64_t ext_node(uint32_t n) const { return extents_offset + uint64_t{n} * extents.node_size; }
};

crafted_volume craft_volume(const std::vector<crafted_file>& files,
                            const crafted_options& options = {});

// Offset within a node of record i (from the node's offset table).
uint16_t record_offset(const std::vector<uint8_t>& image, uint64_t node_at, uint16_t node_size,
                       uint16_t i);

} // namespace qtest
