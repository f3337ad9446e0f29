// libhfs: reads the on-disk structures of HFS+ and HFSX volumes.
//
// The library owns no file, lock or heap of its own: it allocates, reads the
// device and reports errors only through the hooks installed with
// hfslib_setup. Records are plain data copied by value; arrays the library
// builds belong to the caller, who releases them through the free hook.
//
// Results: decoders return the number of bytes consumed (0 = failure);
// operations return 0 for success and 1 for failure; the catalog searches
// also return -1 when the key is not in the catalog.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>

// ---------------------------------------------------------------------------
// Volume header, forks, extents, wrapper MDB, journal

struct hfslib_extent {
    uint32_t start_block;
    uint32_t block_count;
};

struct hfslib_fork {
    uint64_t logical_size;
    uint32_t clump_size;
    uint32_t total_blocks;
    hfslib_extent extents[8];
};

struct hfslib_vheader {
    uint16_t signature;
    uint16_t version;
    uint32_t attributes;
    uint32_t last_mounted_version;
    uint32_t journal_info_block;
    uint32_t create_date;
    uint32_t modify_date;
    uint32_t backup_date;
    uint32_t check_date;
    uint32_t file_count;
    uint32_t folder_count;
    uint32_t block_size;
    uint32_t total_blocks;
    uint32_t free_blocks;
    uint32_t next_allocation;
    uint32_t rsrc_clump_size;
    uint32_t data_clump_size;
    uint32_t next_catalog_id;
    uint32_t write_count;
    uint64_t encodings_bitmap;
    uint32_t finder_info[8];
    hfslib_fork allocation_file;
    hfslib_fork extents_file;
    hfslib_fork catalog_file;
    hfslib_fork attributes_file;
    hfslib_fork startup_file;
};

struct hfslib_mdb {
    uint16_t signature;
    uint32_t create_date;
    uint32_t modify_date;
    uint16_t attributes;
    uint16_t root_file_count;
    uint16_t bitmap_start;
    uint16_t next_alloc_search;
    uint16_t alloc_block_count;
    uint32_t alloc_block_size;
    uint32_t clump_size;
    uint16_t first_alloc_block;
    uint32_t next_catalog_id;
    uint16_t free_blocks;
    uint8_t volume_name[28];
    uint32_t backup_date;
    uint16_t backup_seq;
    uint32_t write_count;
    uint32_t ext_clump_size;
    uint32_t cat_clump_size;
    uint16_t root_folder_count;
    uint32_t file_count;
    uint32_t folder_count;
    uint32_t finder_info[8];
    uint16_t embed_signature;
    uint16_t embed_start_block;
    uint16_t embed_block_count;
    uint32_t ext_file_size;
    uint16_t ext_extents[3][2];
    uint32_t cat_file_size;
    uint16_t cat_extents[3][2];
};

struct hfslib_jinfo {
    uint32_t flags;
    uint32_t device_signature[8];
    uint64_t journal_offset;
    uint64_t journal_size;
    uint32_t reserved[32];
};

struct hfslib_jheader {
    uint32_t magic;
    uint32_t endian;
    uint64_t start;
    uint64_t end;
    uint64_t size;
    uint32_t block_list_header_size;
    uint32_t checksum;
    uint32_t header_size;
};

constexpr uint16_t HFSLIB_SIG_HFSPLUS = 0x482B; // 'H+'
constexpr uint16_t HFSLIB_SIG_HFSX = 0x4858;    // 'HX'
constexpr uint16_t HFSLIB_SIG_HFS = 0x4244;     // 'BD'
constexpr uint32_t HFSLIB_VOL_JOURNALED = 0x2000;

// ---------------------------------------------------------------------------
// B-tree nodes

struct hfslib_node_desc {
    uint32_t flink;
    uint32_t blink;
    int8_t kind;
    uint8_t height;
    uint16_t num_recs;
    uint16_t reserved;
};

constexpr int8_t HFSLIB_NODE_LEAF = -1;
constexpr int8_t HFSLIB_NODE_INDEX = 0;
constexpr int8_t HFSLIB_NODE_HEADER = 1;
constexpr int8_t HFSLIB_NODE_MAP = 2;

constexpr uint8_t HFSLIB_TREE_CATALOG = 1;
constexpr uint8_t HFSLIB_TREE_EXTENTS = 2;
constexpr uint8_t HFSLIB_TREE_ATTRIBUTES = 3;

constexpr uint32_t HFSLIB_BTREE_BIG_KEYS = 0x2;
constexpr uint32_t HFSLIB_BTREE_VARIABLE_KEYS = 0x4;

constexpr uint8_t HFSLIB_KEYCMP_FOLDED = 0xCF;
constexpr uint8_t HFSLIB_KEYCMP_BINARY = 0xBC;

struct hfslib_btree_header {
    uint16_t tree_depth;
    uint32_t root_node;
    uint32_t leaf_recs;
    uint32_t first_leaf;
    uint32_t last_leaf;
    uint16_t node_size;
    uint16_t max_key_len;
    uint32_t total_nodes;
    uint32_t free_nodes;
    uint16_t reserved1;
    uint32_t clump_size;
    uint8_t btree_type;
    uint8_t keycomp_type;
    uint32_t attributes;
    uint32_t reserved3[16];
};

// ---------------------------------------------------------------------------
// Catalog keys and records

struct hfslib_uname {
    uint16_t length;
    uint16_t units[255];
};

struct hfslib_cat_key {
    uint16_t key_len;
    uint32_t parent_cnid;
    hfslib_uname name;
};

constexpr uint16_t HFSLIB_REC_FOLDER = 1;
constexpr uint16_t HFSLIB_REC_FILE = 2;
constexpr uint16_t HFSLIB_REC_FOLDER_THREAD = 3;
constexpr uint16_t HFSLIB_REC_FILE_THREAD = 4;

struct hfslib_perms {
    uint32_t owner_id;
    uint32_t group_id;
    uint8_t admin_flags;
    uint8_t owner_flags;
    uint16_t file_mode;
    uint32_t special;
};

struct hfslib_folder_info {
    int16_t rect_top;
    int16_t rect_left;
    int16_t rect_bottom;
    int16_t rect_right;
    uint16_t finder_flags;
    int16_t location_v;
    int16_t location_h;
    uint16_t reserved;
};

struct hfslib_folder_xinfo {
    int16_t scroll_v;
    int16_t scroll_h;
    uint32_t reserved1;
    uint16_t ext_finder_flags;
    uint16_t reserved2;
    uint32_t put_away_cnid;
};

struct hfslib_file_info {
    uint32_t file_type;
    uint32_t file_creator;
    uint16_t finder_flags;
    int16_t location_v;
    int16_t location_h;
    uint16_t reserved;
};

struct hfslib_file_xinfo {
    uint16_t reserved1[4];
    uint16_t ext_finder_flags;
    uint16_t reserved2;
    uint32_t put_away_cnid;
};

struct hfslib_folder_rec {
    uint16_t flags;
    uint32_t valence;
    uint32_t cnid;
    uint32_t create_date;
    uint32_t content_mod_date;
    uint32_t attribute_mod_date;
    uint32_t access_date;
    uint32_t backup_date;
    hfslib_perms perms;
    hfslib_folder_info user_info;
    hfslib_folder_xinfo finder_info;
    uint32_t text_encoding;
    uint32_t reserved;
};

struct hfslib_file_rec {
    uint16_t flags;
    uint32_t reserved1;
    uint32_t cnid;
    uint32_t create_date;
    uint32_t content_mod_date;
    uint32_t attribute_mod_date;
    uint32_t access_date;
    uint32_t backup_date;
    hfslib_perms perms;
    hfslib_file_info user_info;
    hfslib_file_xinfo finder_info;
    uint32_t text_encoding;
    uint32_t reserved2;
    hfslib_fork data_fork;
    hfslib_fork rsrc_fork;
};

struct hfslib_thread_rec {
    uint16_t reserved;
    uint32_t parent_cnid;
    hfslib_uname name;
};

// A decoded catalog record without its key. Folder and file records share
// their leading fields (flags to perms), so `folder.cnid`, the dates and
// `folder.perms` may be read for either kind. An index record fills `child`
// only.
struct hfslib_cat_rec {
    uint16_t type;
    union {
        hfslib_folder_rec folder;
        hfslib_file_rec file;
        hfslib_thread_rec thread;
        uint32_t child;
    };
};

using hfslib_keycmp_fn = int (*)(const hfslib_cat_key* a, const hfslib_cat_key* b);

// ---------------------------------------------------------------------------
// The open volume

struct hfslib_vol {
    hfslib_vheader vh;
    hfslib_btree_header cat_header;
    hfslib_btree_header ext_header;
    hfslib_btree_header attr_header;
    uint8_t cat_keylen_size;
    uint8_t ext_keylen_size;
    hfslib_uname volume_name;
    hfslib_keycmp_fn keycmp;
    int32_t journaled;
    hfslib_jinfo jinfo;
    hfslib_jheader jheader;
    uint64_t embedded_offset;
    int32_t read_only;
    void* device;
};

// ---------------------------------------------------------------------------
// Hooks

// The per-call context handed unchanged to every hook.
struct hfslib_cbctx {
    void* error_arg;
    void* alloc_arg;
    void* realloc_arg;
    void* open_arg; // the argument of the open hook (the mount options)
    void* close_arg;
    void* read_arg;
};

using hfslib_err_fn = void (*)(const char* format, const char* file, int line, va_list args);
using hfslib_alloc_fn = void* (*)(size_t size, hfslib_cbctx* ctx);
using hfslib_realloc_fn = void* (*)(void* block, size_t size, hfslib_cbctx* ctx);
using hfslib_free_fn = void (*)(void* block, hfslib_cbctx* ctx);
using hfslib_open_fn = int (*)(hfslib_vol* vol, const char* path, hfslib_cbctx* ctx);
using hfslib_close_fn = void (*)(hfslib_vol* vol, hfslib_cbctx* ctx);
using hfslib_read_fn = int (*)(hfslib_vol* vol, void* buf, uint64_t size, uint64_t offset,
                               hfslib_cbctx* ctx);

struct hfslib_hooks {
    hfslib_err_fn err_hook;
    hfslib_alloc_fn alloc_hook;
    hfslib_realloc_fn realloc_hook;
    hfslib_free_fn free_hook;
    hfslib_open_fn open_hook;
    hfslib_close_fn close_hook;
    hfslib_read_fn read_hook;
};

void hfslib_setup(const hfslib_hooks* hooks);
void hfslib_teardown();
// Replaces only the installed error hook.
void hfslib_set_err_hook(hfslib_err_fn hook);
void hfslib_report(const char* format, const char* file, int line, ...)
    __attribute__((format(printf, 1, 4)));
void hfslib_clear_cbctx(hfslib_cbctx* ctx);

void* hfslib_hook_alloc(size_t size, hfslib_cbctx* ctx);
void* hfslib_hook_realloc(void* block, size_t size, hfslib_cbctx* ctx);
void hfslib_hook_free(void* block, hfslib_cbctx* ctx);
int hfslib_hook_open(hfslib_vol* vol, const char* path, hfslib_cbctx* ctx);
void hfslib_hook_close(hfslib_vol* vol, hfslib_cbctx* ctx);
int hfslib_hook_read(hfslib_vol* vol, void* buf, uint64_t size, uint64_t offset, hfslib_cbctx* ctx);

// The special files and folders of the root folder.
extern hfslib_cat_key hfslib_key_file_links;
extern hfslib_cat_key hfslib_key_jinfo_file;
extern hfslib_cat_key hfslib_key_journal_file;
extern hfslib_cat_key hfslib_key_dir_links;
extern const hfslib_cat_key* const hfslib_special_keys[5];

// ---------------------------------------------------------------------------
// Byte-order readers and header parsers

uint16_t hfslib_take_u16(const uint8_t** cursor);
uint32_t hfslib_take_u32(const uint8_t** cursor);
uint64_t hfslib_take_u64(const uint8_t** cursor);

size_t hfslib_parse_vheader(const uint8_t* raw, hfslib_vheader* out);
size_t hfslib_parse_mdb(const uint8_t* raw, hfslib_mdb* out);
size_t hfslib_parse_extent_record(const uint8_t* raw, hfslib_extent out[8]);
size_t hfslib_parse_fork(const uint8_t* raw, hfslib_fork* out);
size_t hfslib_parse_jinfo(const uint8_t* raw, hfslib_jinfo* out);
size_t hfslib_parse_jheader(const uint8_t* raw, hfslib_jheader* out);

// ---------------------------------------------------------------------------
// Opening and closing a volume

int hfslib_mount(const char* path, int read_only, hfslib_vol* vol, hfslib_cbctx* ctx);
void hfslib_unmount(hfslib_vol* vol, hfslib_cbctx* ctx);
int hfslib_journal_clean(const hfslib_vol* vol);

// Revision identifiers of the library's source modules.
extern const char hfslib_rcsid_libhfs[];
extern const char hfslib_rcsid_unicode[];
// ---------------------------------------------------------------------------
// B-tree node parsing
//
// hfslib_parse_node decodes one node of `tree` (HFSLIB_TREE_*); `raw` holds
// the node size of that tree as the volume records it on entry. With
// `recs_out` and `sizes_out`, every record is copied into its own block from
// the alloc hook; the caller releases them with hfslib_free_node_records (or
// the guard hfslib::node_records of report.h).

size_t hfslib_parse_node(const uint8_t* raw, hfslib_node_desc* desc_out, uint8_t*** recs_out,
                         uint16_t** sizes_out, uint8_t tree, hfslib_vol* vol, hfslib_cbctx* ctx);
size_t hfslib_read_header_node(uint8_t* const* recs, const uint16_t* rec_sizes, uint16_t num_recs,
                               hfslib_btree_header* out_hr, uint8_t* user_data_out,
                               uint8_t* map_out);
// Frees every record, then the pointer array, then the length array.
void hfslib_free_node_records(uint8_t** recs, uint16_t* sizes, uint16_t num_recs,
                              hfslib_cbctx* ctx);

// Node sizes a volume may declare: a power of two from 512 to 32768.
bool hfslib_valid_node_size(uint32_t node_size);

// ---------------------------------------------------------------------------
// Catalog keys, records and key orders
//
// The decoders take the length of the bytes they may read (`raw_len`) and
// refuse a record too short for what it claims to hold.

size_t hfslib_parse_cat_record(const uint8_t* raw, size_t raw_len, hfslib_cat_rec* rec_out,
                               int16_t* kind_inout, hfslib_cat_key* key_out, const hfslib_vol* vol);
size_t hfslib_parse_perms(const uint8_t* raw, hfslib_perms* out);
size_t hfslib_parse_folder_info(const uint8_t* raw, hfslib_folder_info* out);
size_t hfslib_parse_folder_xinfo(const uint8_t* raw, hfslib_folder_xinfo* out);
size_t hfslib_parse_file_info(const uint8_t* raw, hfslib_file_info* out);
size_t hfslib_parse_file_xinfo(const uint8_t* raw, hfslib_file_xinfo* out);
uint16_t hfslib_make_cat_key(uint32_t parent_cnid, uint16_t name_len, const uint16_t* name,
                             hfslib_cat_key* key_out);
int hfslib_cmp_cat_keys_folded(const hfslib_cat_key* a, const hfslib_cat_key* b);
int hfslib_cmp_cat_keys_ordinal(const hfslib_cat_key* a, const hfslib_cat_key* b);

// ---------------------------------------------------------------------------
// Catalog search: 0 found, -1 not found (rec_out holds the nearest lower
// record of the leaf reached; it is left alone when the key lies below every
// key of the catalog), 1 failure.

int hfslib_find_cat_record(hfslib_vol* vol, const hfslib_cat_key* key, hfslib_cat_rec* rec_out,
                           hfslib_cbctx* ctx);
int hfslib_find_cat_record_by_cnid(hfslib_vol* vol, uint32_t cnid, hfslib_cat_rec* rec_out,
                                   hfslib_cat_key* key_out, hfslib_cbctx* ctx);

// ---------------------------------------------------------------------------
// Fork extents and fork reading

constexpr uint8_t HFSLIB_DATA_FORK = 0x00;
constexpr uint8_t HFSLIB_RSRC_FORK = 0xFF;

struct hfslib_ext_key {
    uint16_t key_len;
    uint8_t fork_type;
    uint8_t pad;
    uint32_t file_cnid;
    uint32_t start_block;
};

// Returns the number of extents of the fork (0 on failure or for an empty
// fork). With `out`, *out receives an array from the alloc hook that the
// caller frees with the free hook whatever the count; it is null on failure.
// The extents file (CNID 3) is never continued through itself: it yields
// what its eight extents hold. An overflow record that adds no blocks, or
// more than 65535 extents, fails the collection.
uint16_t hfslib_collect_fork_extents(hfslib_vol* vol, uint32_t cnid, uint8_t fork_type,
                                     hfslib_extent** out, hfslib_cbctx* ctx);
int hfslib_read_fork_range(hfslib_vol* vol, uint8_t* buf, uint64_t* bytes_read, uint64_t length,
                           uint64_t offset, const hfslib_extent* extents, uint16_t count,
                           hfslib_cbctx* ctx);
// The fork offset at which each extent ends (running byte totals), for
// hfslib_read_fork_range_indexed: ends[i] covers extents 0..i. 0 on success;
// 1 when the total passes 2^64 - 1 (hfslib_read_fork_range reports such a
// fork on every read, so the caller keeps using it).
int hfslib_index_fork_extents(const hfslib_vol* vol, const hfslib_extent* extents, uint16_t count,
                              uint64_t* ends);
// hfslib_read_fork_range with the ends computed by hfslib_index_fork_extents
// for the same extents: the first extent of the range is found by binary
// search and the walk stops at the end of the range. Same reads, results and
// messages.
int hfslib_read_fork_range_indexed(hfslib_vol* vol, uint8_t* buf, uint64_t* bytes_read,
                                   uint64_t length, uint64_t offset, const hfslib_extent* extents,
                                   const uint64_t* ends, uint16_t count, hfslib_cbctx* ctx);
// Stores in `out` the extents of the overflow record whose key equals `key`;
// 1 when there is none or on failure.
int hfslib_seek_overflow_extents(hfslib_vol* vol, const hfslib_ext_key* key, hfslib_extent out[8],
                                 hfslib_cbctx* ctx);
// `out` receives eight hfslib_extent for a leaf record, one uint32_t child
// node number for an index record; null decodes the key alone.
size_t hfslib_parse_ext_record(const uint8_t* raw, size_t raw_len, void* out, int node_kind,
                               hfslib_ext_key* key_out, const hfslib_vol* vol);
int hfslib_cmp_ext_keys(const hfslib_ext_key* a, const hfslib_ext_key* b);
uint16_t hfslib_build_ext_key(uint32_t cnid, uint8_t fork_type, uint32_t start_block,
                              hfslib_ext_key* out);

// ---------------------------------------------------------------------------
// Attributes file
//
// The attributes B-tree (CNID 8) keys every extended attribute by owner CNID,
// name and start block. Small values are stored inline in the leaf record;
// larger ones as a fork of their own, whose extents past the first eight
// continue in records keyed at the fork block they start at.

struct hfslib_attr_key {
    uint16_t key_len; // bytes after the length field, as stored
    uint16_t pad;
    uint32_t file_cnid;
    uint32_t start_block; // 0 for an attribute's first record
    hfslib_uname name;
};

constexpr uint32_t HFSLIB_ATTR_INLINE = 0x10;
constexpr uint32_t HFSLIB_ATTR_FORK = 0x20;
constexpr uint32_t HFSLIB_ATTR_EXTENTS = 0x30;

struct hfslib_attr_inline {
    uint32_t reserved2;
    uint32_t size; // bytes of inline data
};

// The body of a leaf record; `type` selects the member of the union. Inline
// data is never copied into it (see hfslib_lookup_attr).
struct hfslib_attr_rec {
    uint32_t type;
    uint32_t reserved;
    union {
        hfslib_attr_inline inline_data; // HFSLIB_ATTR_INLINE
        hfslib_fork fork;               // HFSLIB_ATTR_FORK: length is fork.logical_size
        hfslib_extent extents[8];       // HFSLIB_ATTR_EXTENTS
    };
};

// Fills `out` with a key of `name_len` units (cut to 255). Returns key_len,
// or 0 (nothing written) for cnid 0, a null out, or a null name of non-zero
// length.
uint16_t hfslib_build_attr_key(uint32_t cnid, uint32_t start_block, uint16_t name_len,
                               const uint16_t* name, hfslib_attr_key* out);

// Finds the leaf record whose key equals `key`. 0: found, *rec_out filled;
// with inline_out, an inline record of size > 0 gets its bytes copied into a
// block from the alloc hook that the caller frees. 1: not found, no
// attributes file, bad arguments or a failure (failures are reported).
int hfslib_lookup_attr(hfslib_vol* vol, const hfslib_attr_key* key, hfslib_attr_rec* rec_out,
                       uint8_t** inline_out, hfslib_cbctx* ctx);

// The whole extent list of a fork-stored attribute whose first record is
// (`key`, `fork_rec`). 0: *out (when given) holds *count_out extents from the
// alloc hook, owned by the caller. 1: failure, *out null and *count_out 0.
int hfslib_collect_attr_extents(hfslib_vol* vol, const hfslib_attr_key* key,
                                const hfslib_attr_rec* fork_rec, uint16_t* count_out,
                                hfslib_extent** out, hfslib_cbctx* ctx);

// The keys of every attribute of `cnid` (start block 0) in tree order. 0 on
// success (also without an attributes file); 1 on failure. *keys_out is an
// array from the hooks holding *count_out keys, which the caller frees
// whatever the result (it is null when no key was gathered).
int hfslib_list_attr_keys(hfslib_vol* vol, uint32_t cnid, hfslib_attr_key** keys_out,
                          uint32_t* count_out, hfslib_cbctx* ctx);

// Parses one attributes-tree record of `raw_len` bytes. `rec_out` receives
// an hfslib_attr_rec for a leaf record, one uint32_t child node number for an
// index record; null decodes the key alone. With inline_out, an inline leaf
// record's data is pointed to within `raw`. Returns the bytes parsed, 0 when
// the record is malformed.
size_t hfslib_parse_attr_record(const uint8_t* raw, size_t raw_len, int node_kind, void* rec_out,
                                hfslib_attr_key* key_out, const uint8_t** inline_out,
                                const hfslib_vol* vol);

// Orders keys by CNID, name (code units, then length) and start block.
int hfslib_cmp_attr_keys(const hfslib_attr_key* a, const hfslib_attr_key* b);

// ---------------------------------------------------------------------------
// Folder listing

// The folder and file records of the children of `folder_cnid`, in catalog
// order, with their names (parallel arrays from the hooks, owned by the
// caller). The root folder's private folders and journal files are left out.
// 0 on success, 1 on failure (no arrays are left to the caller).
int hfslib_list_folder(hfslib_vol* vol, uint32_t folder_cnid, hfslib_cat_rec** children_out,
                       hfslib_uname** names_out, uint32_t* count_out, hfslib_cbctx* ctx);

// The same walk handing each child to `visit` instead of gathering them:
// `visit` returns 0 to go on; anything else ends the walk, which then returns
// 1 without a message of its own. The record and name are valid during the
// call only. 0 when every child was visited, 1 on failure.
using hfslib_child_fn = int (*)(void* arg, const hfslib_cat_rec* rec, const hfslib_uname* name);
int hfslib_walk_folder(hfslib_vol* vol, uint32_t folder_cnid, hfslib_child_fn visit, void* arg,
                       hfslib_cbctx* ctx);
