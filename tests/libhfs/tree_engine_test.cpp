// The searches and walks of every tree on keys below, at, between and above
// the keys a three-level tree holds: one rule for all of them.
#include "tests/support/crafted.h"
#include "tests/support/volume.h"

namespace {

using namespace qtest;
using bytes = std::vector<uint8_t>;

// Records keyed by "owner" numbers 10, 20, ... 120, two to an owner ("a" and
// "b" for the catalog and attributes, start blocks 0 and 8 for extents).
constexpr uint32_t first_owner = 10, last_owner = 120;

bytes catalog_key(uint32_t parent, char name) {
    return cat_key_bytes(parent, std::u16string(1, static_cast<char16_t>(name)));
}

bytes extents_key(uint32_t cnid, uint32_t start) {
    bytes k(12);
    put16(k, 0, 10);
    put32(k, 4, cnid);
    put32(k, 8, start);
    return k;
}

bytes attributes_key(uint32_t cnid, char name) {
    bytes k(16);
    put16(k, 0, 14);
    put32(k, 4, cnid);
    put16(k, 12, 1);
    put16(k, 14, static_cast<uint8_t>(name));
    return k;
}

// One tree of `id` packed three levels deep, served from memory.
struct one_tree {
    device dev;
    hfslib_vol vol{};

    explicit one_tree(uint8_t id) {
        std::vector<tree_record> records;
        for (uint32_t owner = first_owner; owner <= last_owner; owner += 10)
            for (int second = 0; second < 2; ++second) {
                tree_record r;
                if (id == HFSLIB_TREE_CATALOG) {
                    r.key = catalog_key(owner, second ? 'b' : 'a');
                    r.data.assign(88, 0); // a folder record, CNID 1000 + owner
                    put16(r.data, 0, HFSLIB_REC_FOLDER);
                    put32(r.data, 8, 1000 + owner);
                } else if (id == HFSLIB_TREE_EXTENTS) {
                    r.key = extents_key(owner, second ? 8 : 0);
                    r.data.assign(64, 0);
                    put32(r.data, 0, owner); // first extent's start block
                } else {
                    r.key = attributes_key(owner, second ? 'b' : 'a');
                    r.data.assign(16, 0); // inline, no bytes
                    put32(r.data, 0, HFSLIB_ATTR_INLINE);
                }
                records.push_back(r);
            }
        const packed_tree t = pack_tree(records, 512, 3, 0x6, HFSLIB_KEYCMP_BINARY);
        EXPECT_EQ(t.depth, 3);
        install_hooks(&dev);
        dev.bytes = t.bytes;
        vol.device = &dev;
        vol.vh.block_size = 512;
        const uint32_t blocks = t.total_nodes;
        hfslib_fork& file = id == HFSLIB_TREE_CATALOG   ? vol.vh.catalog_file
                            : id == HFSLIB_TREE_EXTENTS ? vol.vh.extents_file
                                                        : vol.vh.attributes_file;
        file.logical_size = uint64_t{blocks} * 512;
        file.total_blocks = blocks;
        file.extents[0] = {0, blocks};
        hfslib_btree_header& hr = id == HFSLIB_TREE_CATALOG   ? vol.cat_header
                                  : id == HFSLIB_TREE_EXTENTS ? vol.ext_header
                                                              : vol.attr_header;
        hr.tree_depth = t.depth;
        hr.root_node = t.root;
        hr.leaf_recs = t.leaf_recs;
        hr.first_leaf = t.first_leaf;
        hr.last_leaf = t.last_leaf;
        hr.node_size = 512;
        hr.max_key_len = 516;
        hr.total_nodes = t.total_nodes;
        vol.cat_keylen_size = 2;
        vol.ext_keylen_size = 2;
        vol.keycmp = hfslib_cmp_cat_keys_ordinal;
    }
};

TEST(EveryTree, KeysBelowAtBetweenAndAboveTheKeysHeld) {
    const struct {
        const char* where;
        uint32_t owner;
        bool held;
    } cases[] = {
        {"below the first key", 5, false},       {"at the first key", first_owner, true},
        {"between two keys", 15, false},         {"inside", 70, true},
        {"at the last owner", last_owner, true}, {"above the last key", last_owner + 5, false},
    };
    one_tree catalog(HFSLIB_TREE_CATALOG), extents(HFSLIB_TREE_EXTENTS),
        attributes(HFSLIB_TREE_ATTRIBUTES);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.where);
        clear_messages();

        // Catalog: found, or not found with the nearest lower record; below
        // every key there is none, and the catalog says so.
        hfslib_cat_rec rec{};
        hfslib_cat_key key = cat_key(c.owner, u"a");
        const int found = hfslib_find_cat_record(&catalog.vol, &key, &rec, nullptr);
        EXPECT_EQ(found, c.held ? 0 : -1);
        const uint32_t nearest = c.owner < first_owner ? 0 : c.held ? c.owner : c.owner / 10 * 10;
        EXPECT_EQ(rec.folder.cnid, nearest ? 1000 + nearest : 0u);
        EXPECT_EQ(has_message("all records greater than key"), c.owner < first_owner)
            << all_messages();

        // A folder listing starting there.
        hfslib_cat_rec* children = nullptr;
        hfslib_uname* names = nullptr;
        uint32_t count = 99;
        EXPECT_EQ(hfslib_list_folder(&catalog.vol, c.owner, &children, &names, &count, nullptr), 0)
            << all_messages();
        EXPECT_EQ(count, c.held ? 2u : 0u);
        if (c.held) {
            EXPECT_EQ(children[1].folder.cnid, 1000 + c.owner);
        }
        hfslib_hook_free(children, nullptr);
        hfslib_hook_free(names, nullptr);

        // Extents overflow: only the record of the very key.
        hfslib_ext_key ext_key{};
        hfslib_build_ext_key(c.owner, HFSLIB_DATA_FORK, 8, &ext_key);
        hfslib_extent out[8] = {};
        EXPECT_EQ(hfslib_seek_overflow_extents(&extents.vol, &ext_key, out, nullptr),
                  c.held ? 0 : 1);
        EXPECT_EQ(out[0].start_block, c.held ? c.owner : 0u);

        // Attributes: the lookup and the listing of the owner's attributes.
        hfslib_attr_key attr_key{};
        const uint16_t name = 'b';
        hfslib_build_attr_key(c.owner, 0, 1, &name, &attr_key);
        hfslib_attr_rec attr{};
        EXPECT_EQ(hfslib_lookup_attr(&attributes.vol, &attr_key, &attr, nullptr, nullptr),
                  c.held ? 0 : 1);
        hfslib_attr_key* keys = nullptr;
        EXPECT_EQ(hfslib_list_attr_keys(&attributes.vol, c.owner, &keys, &count, nullptr), 0);
        EXPECT_EQ(count, c.held ? 2u : 0u);
        hfslib_hook_free(keys, nullptr);

        if (c.owner >= first_owner) {
            EXPECT_TRUE(messages().empty()) << all_messages();
        }
    }
    EXPECT_EQ(live_blocks(), 0);
}

} // namespace
