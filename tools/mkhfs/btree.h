// Lays sorted records out as the nodes of a B-tree file: header node, leaves
// linked left to right, index levels up to a single root, and map nodes when
// the header's map record cannot describe every node.
#pragma once

#include "bytes.h"

#include <cstdint>
#include <vector>

namespace mkhfs {

struct BTreeRecord {
    Bytes key;  // key including its key-length field
    Bytes data; // record data
};

struct BTreeOptions {
    uint32_t node_size = 4096;
    int key_length_width = 2;        // width of the key-length field: 1 or 2
    bool variable_index_keys = true; // index keys as long as they are; else padded to max_key_len
    uint16_t max_key_len = 516;
    uint8_t btree_type = 0;
    uint8_t key_compare = 0;
    uint32_t attributes = 0; // header attribute bits
    uint32_t clump_size = 0;
    uint32_t alloc_unit = 4096; // the file grows in units of this many bytes
    uint32_t min_nodes = 0;     // make the file at least this many nodes long
};

struct BTreeFile {
    Bytes bytes; // the whole file, total_nodes * node_size bytes
    uint32_t total_nodes = 0, free_nodes = 0, depth = 0, leaf_nodes = 0;
};

// Records must be sorted in key order. Throws std::runtime_error when a record
// does not fit a node.
BTreeFile build_btree(std::vector<BTreeRecord> records, const BTreeOptions& opt);

} // namespace mkhfs
