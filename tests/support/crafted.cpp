#include "tests/support/crafted.h"

#include "tests/support/volume.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

namespace qtest {
namespace {

std::vector<uint8_t> header_node(const packed_tree& t, uint32_t attributes, uint8_t keycomp,
                                 uint8_t btree_type, uint16_t max_key_len) {
    std::vector<uint8_t> hr(106, 0);
    put16(hr, 0, t.depth);
    put32(hr, 2, t.root);
    put32(hr, 6, t.leaf_recs);
    put32(hr, 10, t.first_leaf);
    put32(hr, 14, t.last_leaf);
    put16(hr, 18, t.node_size);
    put16(hr, 20, max_key_len);
    put32(hr, 22, t.total_nodes);
    put32(hr, 26, 0);
    put32(hr, 32, t.node_size);
    hr[36] = btree_type;
    hr[37] = keycomp;
    put32(hr, 38, attributes);
    std::vector<uint8_t> user(128, 0);
    std::vector<uint8_t> map(t.node_size - 14 - 106 - 128 - 8, 0);
    map[0] = 0xFF;
    return make_node(t.node_size, HFSLIB_NODE_HEADER, 0, 0, 0, {hr, user, map});
}

void put_fork(std::vector<uint8_t>& b, size_t at, uint64_t logical, uint32_t total,
              const std::vector<hfslib_extent>& extents) {
    put64(b, at, logical);
    put32(b, at + 8, 0);
    put32(b, at + 12, total);
    for (size_t i = 0; i < extents.size() && i < 8; ++i) {
        put32(b, at + 16 + 8 * i, extents[i].start_block);
        put32(b, at + 20 + 8 * i, extents[i].block_count);
    }
}

std::vector<uint8_t> folder_data(uint32_t cnid) {
    std::vector<uint8_t> d(88, 0);
    put16(d, 0, HFSLIB_REC_FOLDER);
    put32(d, 8, cnid);
    put16(d, 42, 040755);
    return d;
}

std::vector<uint8_t> thread_data(uint16_t type, uint32_t parent, const std::u16string& name) {
    std::vector<uint8_t> d(10 + 2 * name.size(), 0);
    put16(d, 0, type);
    put32(d, 4, parent);
    put16(d, 8, static_cast<uint16_t>(name.size()));
    for (size_t i = 0; i < name.size(); ++i) put16(d, 10 + 2 * i, name[i]);
    return d;
}

std::vector<uint8_t> key_bytes(uint32_t parent, const std::u16string& name, int width) {
    std::vector<uint8_t> k = cat_key_bytes(parent, name);
    if (width == 1) k.erase(k.begin()); // 1-byte length: keep the low byte
    return k;
}

} // namespace

uint8_t fork_byte(uint32_t cnid, uint64_t pos) {
    return static_cast<uint8_t>((pos * 131 + cnid * 7 + (pos >> 9)) & 0xFF);
}

uint16_t record_offset(const std::vector<uint8_t>& image, uint64_t node_at, uint16_t node_size,
                       uint16_t i) {
    return get16(image, node_at + node_size - 2 * (i + 1));
}

packed_tree pack_tree(const std::vector<tree_record>& records, uint16_t node_size, size_t per_node,
                      uint32_t attributes, uint8_t keycomp, uint8_t btree_type) {
    packed_tree t;
    t.node_size = node_size;
    std::vector<std::vector<uint8_t>> nodes(1); // node 0: header, filled last
    uint16_t max_key = 0;
    struct child {
        uint32_t node;
        std::vector<uint8_t> first_key;
    };
    std::vector<child> level;
    for (size_t i = 0; i < records.size();) {
        std::vector<std::vector<uint8_t>> recs;
        size_t used = 14;
        const size_t first = i;
        for (; i < records.size() && recs.size() < per_node; ++i) {
            std::vector<uint8_t> r = records[i].key;
            r.insert(r.end(), records[i].data.begin(), records[i].data.end());
            if (r.size() & 1) r.push_back(0);
            if (!recs.empty() && used + r.size() + 2 * (recs.size() + 2) > node_size) break;
            max_key = std::max<uint16_t>(max_key, static_cast<uint16_t>(records[i].key.size()));
            used += r.size();
            recs.push_back(r);
        }
        const auto number = static_cast<uint32_t>(nodes.size());
        level.push_back({number, records[first].key});
        nodes.push_back(make_node(node_size, HFSLIB_NODE_LEAF, 1, 0, 0, recs));
    }
    t.leaf_recs = static_cast<uint32_t>(records.size());
    if (!level.empty()) {
        t.first_leaf = level.front().node;
        t.last_leaf = level.back().node;
        for (size_t i = 0; i < level.size(); ++i) {
            auto& n = nodes[level[i].node];
            put32(n, 0, i + 1 < level.size() ? level[i + 1].node : 0);
            put32(n, 4, i > 0 ? level[i - 1].node : 0);
        }
        t.depth = 1;
    }
    uint8_t height = 1;
    while (level.size() > 1) {
        ++height;
        std::vector<child> up;
        std::vector<uint32_t> numbers;
        for (size_t i = 0; i < level.size();) {
            std::vector<std::vector<uint8_t>> recs;
            size_t used = 14;
            const size_t first = i;
            for (; i < level.size() && recs.size() < per_node; ++i) {
                std::vector<uint8_t> r = level[i].first_key;
                r.resize(r.size() + 4);
                put32(r, r.size() - 4, level[i].node);
                if (r.size() & 1) r.push_back(0);
                if (!recs.empty() && used + r.size() + 2 * (recs.size() + 2) > node_size) break;
                used += r.size();
                recs.push_back(r);
            }
            const auto number = static_cast<uint32_t>(nodes.size());
            up.push_back({number, level[first].first_key});
            numbers.push_back(number);
            nodes.push_back(make_node(node_size, HFSLIB_NODE_INDEX, height, 0, 0, recs));
            t.index_nodes.push_back(number);
        }
        for (size_t i = 0; i < numbers.size(); ++i) {
            put32(nodes[numbers[i]], 0, i + 1 < numbers.size() ? numbers[i + 1] : 0);
            put32(nodes[numbers[i]], 4, i > 0 ? numbers[i - 1] : 0);
        }
        level = up;
        t.depth = height;
    }
    t.root = level.empty() ? 0 : level.front().node;
    t.total_nodes = static_cast<uint32_t>(nodes.size());
    nodes[0] = header_node(t, attributes, keycomp, btree_type, max_key);
    for (const auto& n : nodes) {
        if (n.size() != node_size) throw std::runtime_error("node overflow");
        t.bytes.insert(t.bytes.end(), n.begin(), n.end());
    }
    return t;
}

crafted_volume craft_volume(const std::vector<crafted_file>& files, const crafted_options& o) {
    crafted_volume v;
    const uint32_t bs = o.block_size;
    const int width = (o.cat_attributes & HFSLIB_BTREE_BIG_KEYS) ? 2 : 1;

    // Data blocks first: every extent of every file gets fresh blocks, laid
    // out from the end of the trees' space backwards so that fork order and
    // disk order differ.
    uint32_t next_block = 4096 * 1024 / bs; // data area starts at 4 MiB
    std::vector<tree_record> ext_records;
    std::vector<tree_record> cat_records;
    std::map<uint32_t, std::pair<uint64_t, uint32_t>> fork_sizes;
    for (const crafted_file& f : files) {
        if (f.folder) continue;
        std::vector<hfslib_extent> ext = f.raw_extents;
        uint32_t total = f.raw_total_blocks;
        if (ext.empty()) {
            total = 0;
            std::vector<hfslib_extent> placed;
            for (uint32_t count : f.extent_blocks) placed.push_back({0, count}), total += count;
            // Later extents at lower disk blocks.
            uint32_t at = next_block;
            for (auto it = placed.rbegin(); it != placed.rend(); ++it) {
                it->start_block = at;
                at += it->block_count + 1;
            }
            next_block = at;
            ext = placed;
        }
        v.forks[f.cnid] = ext;
        uint64_t logical = f.logical_size ? f.logical_size : uint64_t{total} * bs;
        fork_sizes[f.cnid] = {logical, total};
        // Overflow records for extents beyond the eighth.
        uint32_t start = 0;
        for (size_t i = 0; i < ext.size(); ++i) {
            if (i >= 8 && i % 8 == 0) {
                tree_record r;
                r.key.resize(12);
                put16(r.key, 0, 10);
                r.key[2] = HFSLIB_DATA_FORK;
                put32(r.key, 4, f.cnid);
                put32(r.key, 8, start);
                r.data.assign(64, 0);
                for (size_t j = 0; j < 8 && i + j < ext.size(); ++j) {
                    put32(r.data, 8 * j, ext[i + j].start_block);
                    put32(r.data, 8 * j + 4, ext[i + j].block_count);
                }
                ext_records.push_back(r);
            }
            start += ext[i].block_count;
        }
    }

    // Catalog records: the root folder, then each item with its thread.
    auto add_item = [&](uint32_t parent, const std::u16string& name, uint32_t cnid, bool folder) {
        std::vector<uint8_t> data;
        if (folder) {
            data = folder_data(cnid);
        } else {
            data.assign(248, 0);
            put16(data, 0, HFSLIB_REC_FILE);
            put32(data, 8, cnid);
            put16(data, 42, 0100644);
            const auto& ext = v.forks[cnid];
            auto [logical, total] = fork_sizes[cnid];
            put_fork(data, 88, logical, total, ext);
        }
        cat_records.push_back({key_bytes(parent, name, width), data});
        cat_records.push_back(
            {key_bytes(cnid, u"", width),
             thread_data(folder ? HFSLIB_REC_FOLDER_THREAD : HFSLIB_REC_FILE_THREAD, parent,
                         name)});
    };
    add_item(1, o.volume_name, 2, true);
    if (!o.root_thread) cat_records.pop_back();
    for (const crafted_file& f : files) add_item(f.parent, f.name, f.cnid, f.folder);

    auto cmp = [&](const tree_record& a, const tree_record& b) {
        hfslib_cat_key ka{}, kb{};
        hfslib_vol tmp{};
        tmp.cat_keylen_size = static_cast<uint8_t>(width);
        int16_t kind = HFSLIB_NODE_INDEX;
        hfslib_parse_cat_record(a.key.data(), a.key.size(), nullptr, &kind, &ka, &tmp);
        kind = HFSLIB_NODE_INDEX;
        hfslib_parse_cat_record(b.key.data(), b.key.size(), nullptr, &kind, &kb, &tmp);
        return o.keycomp == HFSLIB_KEYCMP_BINARY && o.signature == HFSLIB_SIG_HFSX
                   ? hfslib_cmp_cat_keys_ordinal(&ka, &kb) < 0
                   : hfslib_cmp_cat_keys_folded(&ka, &kb) < 0;
    };
    std::sort(cat_records.begin(), cat_records.end(), cmp);
    std::sort(ext_records.begin(), ext_records.end(),
              [](const tree_record& a, const tree_record& b) {
                  hfslib_ext_key ka{}, kb{};
                  hfslib_vol tmp{};
                  tmp.ext_keylen_size = 2;
                  hfslib_parse_ext_record(a.key.data(), a.key.size(), nullptr, HFSLIB_NODE_INDEX,
                                          &ka, &tmp);
                  hfslib_parse_ext_record(b.key.data(), b.key.size(), nullptr, HFSLIB_NODE_INDEX,
                                          &kb, &tmp);
                  return hfslib_cmp_ext_keys(&ka, &kb) < 0;
              });

    v.catalog = pack_tree(cat_records, o.node_size, o.cat_per_node, o.cat_attributes, o.keycomp);
    v.extents = pack_tree(ext_records, o.node_size, o.ext_per_node, 0x2, 0);

    // Layout: volume header in the first 4 KiB, extents file at 8 KiB,
    // catalog behind it, data from 4 MiB.
    v.extents_offset = 8192;
    v.catalog_offset = (v.extents_offset + v.extents.bytes.size() + bs - 1) / bs * bs;
    uint64_t trees_end = v.catalog_offset + v.catalog.bytes.size();
    if (trees_end > 4096 * 1024) throw std::runtime_error("trees too large");
    const uint64_t size = uint64_t{next_block} * bs + bs;
    v.image.assign(size, 0);
    std::memcpy(v.image.data() + v.extents_offset, v.extents.bytes.data(), v.extents.bytes.size());
    std::memcpy(v.image.data() + v.catalog_offset, v.catalog.bytes.data(), v.catalog.bytes.size());

    for (const crafted_file& f : files) {
        if (f.folder || !f.raw_extents.empty()) continue;
        uint64_t pos = 0;
        for (const auto& e : v.forks[f.cnid]) {
            const uint64_t at = uint64_t{e.start_block} * bs;
            for (uint64_t k = 0; k < uint64_t{e.block_count} * bs; ++k)
                v.image[at + k] = fork_byte(f.cnid, pos + k);
            pos += uint64_t{e.block_count} * bs;
        }
    }

    std::vector<uint8_t>& img = v.image;
    const size_t vh = 1024;
    put16(img, vh, o.signature);
    put16(img, vh + 2, o.signature == HFSLIB_SIG_HFSX ? 5 : 4);
    put32(img, vh + 4, o.vol_attributes);
    put32(img, vh + 40, bs);
    put32(img, vh + 44, static_cast<uint32_t>(size / bs));
    put32(img, vh + 64, 1000);
    const auto tree_fork = [&](size_t at, uint64_t offset, const packed_tree& t) {
        const auto blocks = static_cast<uint32_t>((t.bytes.size() + bs - 1) / bs);
        put_fork(img, vh + at, t.bytes.size(), blocks,
                 {{static_cast<uint32_t>(offset / bs), blocks}});
    };
    tree_fork(192, v.extents_offset, v.extents);
    tree_fork(272, v.catalog_offset, v.catalog);
    return v;
}

} // namespace qtest
