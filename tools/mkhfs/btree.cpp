#include "btree.h"

#include <stdexcept>

namespace mkhfs {

namespace {

constexpr int8_t kind_leaf = -1, kind_index = 0, kind_header = 1, kind_map = 2;
constexpr size_t descriptor = 14;

size_t even(size_t n) {
    return (n + 1) & ~size_t(1);
}

struct Node {
    int8_t kind = kind_leaf;
    uint8_t height = 0;
    uint32_t flink = 0, blink = 0;
    std::vector<Bytes> records; // each already padded to even length
};

void emit_node(const Node& n, uint32_t node_size, uint8_t* out) {
    put_be32(out, n.flink);
    put_be32(out + 4, n.blink);
    out[8] = uint8_t(n.kind);
    out[9] = n.height;
    put_be16(out + 10, uint16_t(n.records.size()));
    size_t off = descriptor;
    for (size_t i = 0; i < n.records.size(); ++i) {
        std::copy(n.records[i].begin(), n.records[i].end(), out + off);
        put_be16(out + node_size - 2 * (i + 1), uint16_t(off));
        off += n.records[i].size();
    }
    put_be16(out + node_size - 2 * (n.records.size() + 1), uint16_t(off));
}

// Greedy packing of records into nodes of one level.
std::vector<std::vector<Bytes>> pack(std::vector<Bytes> recs, uint32_t node_size,
                                     const char* what) {
    std::vector<std::vector<Bytes>> nodes;
    size_t used = node_size; // forces a new node for the first record
    for (auto& r : recs) {
        const size_t room = node_size - descriptor - 2; // free-space offset
        if (r.size() + 2 > room)
            throw std::runtime_error(std::string(what) + " record of " + std::to_string(r.size()) +
                                     " bytes does not fit a node of " + std::to_string(node_size) +
                                     " bytes");
        if (used + r.size() + 2 > room) {
            nodes.emplace_back();
            used = 0;
        }
        used += r.size() + 2;
        nodes.back().push_back(std::move(r));
    }
    return nodes;
}

} // namespace

BTreeFile build_btree(std::vector<BTreeRecord> records, const BTreeOptions& opt) {
    size_t record_total = records.size();
    const uint32_t ns = opt.node_size;
    std::vector<Node> nodes(1); // node 0: header
    uint32_t depth = 0, root = 0, first_leaf = 0, last_leaf = 0;

    if (!records.empty()) {
        // Leaves: each record becomes key and data in one even-length buffer.
        std::vector<size_t> key_sizes;
        key_sizes.reserve(records.size());
        std::vector<Bytes> recs;
        recs.reserve(records.size());
        for (auto& r : records) {
            key_sizes.push_back(r.key.size());
            Bytes b = std::move(r.key);
            b.insert(b.end(), r.data.begin(), r.data.end());
            b.resize(even(b.size()));
            Bytes().swap(r.data);
            recs.push_back(std::move(b));
        }
        records.clear();
        records.shrink_to_fit();
        // Keys of the first record of each node, for the level above.
        std::vector<Bytes> level_keys;
        std::vector<uint32_t> level_nodes;
        {
            size_t next_rec = 0;
            auto packed = pack(std::move(recs), ns, "leaf");
            for (auto& p : packed) {
                Node n;
                n.kind = kind_leaf;
                n.height = 1;
                level_keys.emplace_back(p.front().begin(),
                                        p.front().begin() + long(key_sizes[next_rec]));
                next_rec += p.size();
                n.records = std::move(p);
                level_nodes.push_back(uint32_t(nodes.size()));
                nodes.push_back(std::move(n));
            }
        }
        depth = 1;
        first_leaf = level_nodes.front();
        last_leaf = level_nodes.back();
        // Index levels.
        while (level_nodes.size() > 1) {
            std::vector<Bytes> idx;
            for (size_t i = 0; i < level_nodes.size(); ++i) {
                Bytes k = level_keys[i];
                if (!opt.variable_index_keys) {
                    size_t key_bytes = k.size() - size_t(opt.key_length_width);
                    if (key_bytes < opt.max_key_len)
                        k.resize(size_t(opt.key_length_width) + opt.max_key_len, 0);
                    if (opt.key_length_width == 2)
                        put_be16(k.data(), opt.max_key_len);
                    else
                        k[0] = uint8_t(opt.max_key_len);
                }
                k.resize(k.size() + 4);
                put_be32(k.data() + k.size() - 4, level_nodes[i]);
                k.resize(even(k.size()));
                idx.push_back(std::move(k));
            }
            auto packed = pack(std::move(idx), ns, "index");
            if (packed.size() >= level_nodes.size())
                throw std::runtime_error("index keys too long for a node of " + std::to_string(ns) +
                                         " bytes");
            std::vector<Bytes> keys;
            std::vector<uint32_t> ids;
            size_t child = 0;
            ++depth;
            for (auto& p : packed) {
                Node n;
                n.kind = kind_index;
                n.height = uint8_t(depth);
                keys.push_back(level_keys[child]);
                child += p.size();
                n.records = std::move(p);
                ids.push_back(uint32_t(nodes.size()));
                nodes.push_back(std::move(n));
            }
            level_keys = std::move(keys);
            level_nodes = std::move(ids);
        }
        root = level_nodes.front();
    }
    // Sibling links within each level (nodes of a level are consecutive).
    for (size_t i = 1; i < nodes.size(); ++i) {
        if (i + 1 < nodes.size() && nodes[i + 1].kind == nodes[i].kind &&
            nodes[i + 1].height == nodes[i].height)
            nodes[i].flink = uint32_t(i + 1), nodes[i + 1].blink = uint32_t(i);
    }

    // File size and map nodes.
    const uint64_t header_map_bits = uint64_t(ns - 256) * 8;
    const uint64_t map_node_bits = uint64_t(ns - 20) * 8;
    const uint32_t used_without_maps = uint32_t(nodes.size());
    uint32_t map_nodes = 0;
    uint64_t total = 0;
    for (;;) {
        uint64_t used = used_without_maps + map_nodes;
        uint64_t bytes = std::max<uint64_t>(used, opt.min_nodes) * ns;
        uint64_t unit = std::max<uint64_t>(opt.alloc_unit, ns);
        bytes = (bytes + unit - 1) / unit * unit;
        total = bytes / ns;
        uint32_t need =
            total <= header_map_bits
                ? 0
                : uint32_t((total - header_map_bits + map_node_bits - 1) / map_node_bits);
        if (need == map_nodes) break;
        map_nodes = need;
    }
    const uint32_t used_nodes = used_without_maps + map_nodes;

    BTreeFile f;
    f.total_nodes = uint32_t(total);
    f.free_nodes = uint32_t(total - used_nodes);
    f.depth = depth;
    f.leaf_nodes = first_leaf ? last_leaf - first_leaf + 1 : 0;
    f.bytes.assign(total * ns, 0);

    // Allocation map: one bit per node, most significant bit first.
    std::vector<uint8_t> bitmap((total + 7) / 8, 0);
    for (uint32_t i = 0; i < used_nodes; ++i) bitmap[i / 8] |= uint8_t(0x80 >> (i % 8));
    auto map_slice = [&](uint64_t first_bit, uint64_t bits) {
        Bytes b(bits / 8, 0);
        for (uint64_t i = 0; i < b.size() && first_bit / 8 + i < bitmap.size(); ++i)
            b[i] = bitmap[first_bit / 8 + i];
        return b;
    };

    // Header node.
    Node& h = nodes[0];
    h.kind = kind_header;
    h.height = 0;
    h.flink = map_nodes ? used_without_maps : 0;
    Bytes hdr;
    Writer w(hdr);
    w.be16(uint16_t(depth));
    w.be32(root);
    w.be32(uint32_t(record_total));
    w.be32(first_leaf);
    w.be32(last_leaf);
    w.be16(uint16_t(ns));
    w.be16(opt.max_key_len);
    w.be32(uint32_t(total));
    w.be32(f.free_nodes);
    w.be16(0);
    w.be32(opt.clump_size);
    w.u8(opt.btree_type);
    w.u8(opt.key_compare);
    w.be32(opt.attributes);
    w.zeros(64);
    h.records = {hdr, Bytes(128, 0), map_slice(0, header_map_bits)};
    for (uint32_t m = 0; m < map_nodes; ++m) {
        Node n;
        n.kind = kind_map;
        n.height = 0;
        n.flink = m + 1 < map_nodes ? used_without_maps + m + 1 : 0;
        n.records = {map_slice(header_map_bits + m * map_node_bits, map_node_bits)};
        nodes.push_back(std::move(n));
    }
    for (size_t i = 0; i < nodes.size(); ++i) emit_node(nodes[i], ns, f.bytes.data() + i * ns);
    return f;
}

} // namespace mkhfs
