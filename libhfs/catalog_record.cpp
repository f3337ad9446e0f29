// Catalog keys and records: decoding them from node record copies, building
// search keys, and the two key orders (case-folding and code-unit order).
#include "libhfs/btree_internal.h"
#include "libhfs/casefold_table.h"
#include "libhfs/libhfs.h"

#include <algorithm>

namespace {

using hfslib::byte_reader;

// Reads a name (u16 length, then the units) into `out`; a stored length
// above 255 is cut to 255 units and only those are passed over.
bool take_name(byte_reader& r, hfslib_uname& out) {
    if (!r.has(2)) return false;
    uint16_t stored = r.u16();
    uint16_t n = std::min<uint16_t>(stored, 255);
    if (!r.has(size_t{2} * n)) return false;
    out.length = n;
    for (uint16_t i = 0; i < n; ++i) out.units[i] = r.u16();
    return true;
}

bool take_key(byte_reader& r, uint8_t keylen_size, hfslib_cat_key& key) {
    if (keylen_size == 1) {
        if (!r.has(1)) return false;
        key.key_len = r.u8();
    } else if (keylen_size == 2) {
        if (!r.has(2)) return false;
        key.key_len = r.u16();
    } else {
        return false;
    }
    if (!r.has(4)) return false;
    key.parent_cnid = r.u32();
    return take_name(r, key.name);
}

// The dates shared by folder and file records, in on-disk order.
void take_dates(byte_reader& r, uint32_t& create, uint32_t& content_mod, uint32_t& attribute_mod,
                uint32_t& access, uint32_t& backup) {
    create = r.u32();
    content_mod = r.u32();
    attribute_mod = r.u32();
    access = r.u32();
    backup = r.u32();
}

constexpr size_t folder_rec_size = 88; // type included
constexpr size_t file_rec_size = 248;
constexpr size_t thread_head_size = 8; // type, reserved, parent CNID

bool take_folder(byte_reader& r, hfslib_folder_rec& f) {
    if (!r.has(folder_rec_size - 2)) return false;
    f.flags = r.u16();
    f.valence = r.u32();
    f.cnid = r.u32();
    take_dates(r, f.create_date, f.content_mod_date, f.attribute_mod_date, f.access_date,
               f.backup_date);
    r.skip(hfslib_parse_perms(r.here(), &f.perms));
    r.skip(hfslib_parse_folder_info(r.here(), &f.user_info));
    r.skip(hfslib_parse_folder_xinfo(r.here(), &f.finder_info));
    f.text_encoding = r.u32();
    f.reserved = r.u32();
    return true;
}

bool take_file(byte_reader& r, hfslib_file_rec& f) {
    if (!r.has(file_rec_size - 2)) return false;
    f.flags = r.u16();
    f.reserved1 = r.u32();
    f.cnid = r.u32();
    take_dates(r, f.create_date, f.content_mod_date, f.attribute_mod_date, f.access_date,
               f.backup_date);
    r.skip(hfslib_parse_perms(r.here(), &f.perms));
    r.skip(hfslib_parse_file_info(r.here(), &f.user_info));
    r.skip(hfslib_parse_file_xinfo(r.here(), &f.finder_info));
    f.text_encoding = r.u32();
    f.reserved2 = r.u32();
    r.skip(hfslib_parse_fork(r.here(), &f.data_fork));
    r.skip(hfslib_parse_fork(r.here(), &f.rsrc_fork));
    return true;
}

bool take_thread(byte_reader& r, hfslib_thread_rec& t) {
    if (!r.has(thread_head_size - 2)) return false;
    t.reserved = r.u16();
    t.parent_cnid = r.u32();
    return take_name(r, t.name);
}

// The next unit of a name under case folding, skipping ignored units; 0
// when the name has no units left.
uint16_t next_folded(const hfslib_uname& name, uint16_t& pos) {
    uint16_t len = std::min<uint16_t>(name.length, 255);
    while (pos < len) {
        uint16_t folded = hfslib_fold_unit(name.units[pos++]);
        if (folded != 0) return folded;
    }
    return 0;
}

} // namespace

namespace hfslib {

bool cat_record_parses(const uint8_t* raw, size_t raw_len, int16_t kind, bool with_record,
                       const hfslib_vol* vol) {
    if (!raw || !vol) return false;
    byte_reader r({raw, raw_len});
    // The key: its length field, the parent and the name.
    if (vol->cat_keylen_size == 1) {
        if (!r.has(1)) return false;
        r.skip(1);
    } else if (vol->cat_keylen_size == 2) {
        if (!r.has(2)) return false;
        r.skip(2);
    } else {
        return false;
    }
    if (!r.has(4)) return false;
    r.skip(4);
    if (!r.has(2)) return false;
    const uint16_t n = std::min<uint16_t>(r.u16(), 255);
    if (!r.has(size_t{2} * n)) return false;
    r.skip(size_t{2} * n);

    if (!with_record) {
        if (kind == HFSLIB_NODE_INDEX) return true;
        return kind == HFSLIB_NODE_LEAF && r.has(2);
    }
    if (kind == HFSLIB_NODE_INDEX) return r.has(4);
    if (!r.has(2)) return false;
    switch (r.u16()) {
    case HFSLIB_REC_FOLDER:
        return r.has(folder_rec_size - 2);
    case HFSLIB_REC_FILE:
        return r.has(file_rec_size - 2);
    case HFSLIB_REC_FOLDER_THREAD:
    case HFSLIB_REC_FILE_THREAD: {
        if (!r.has(thread_head_size - 2)) return false;
        r.skip(thread_head_size - 2);
        if (!r.has(2)) return false;
        const uint16_t units = std::min<uint16_t>(r.u16(), 255);
        return r.has(size_t{2} * units);
    }
    default:
        return true;
    }
}

void take_cat_key(const uint8_t* raw, size_t raw_len, const hfslib_vol* vol, hfslib_cat_key& key) {
    byte_reader r({raw, raw_len});
    key.key_len = vol->cat_keylen_size == 1 ? r.u8() : r.u16();
    key.parent_cnid = r.u32();
    const uint16_t n = std::min<uint16_t>(r.u16(), 255);
    key.name.length = n;
    for (uint16_t i = 0; i < n; ++i) key.name.units[i] = r.u16();
}

} // namespace hfslib

size_t hfslib_parse_perms(const uint8_t* raw, hfslib_perms* out) {
    if (!raw || !out) return 0;
    const uint8_t* p = raw;
    out->owner_id = hfslib_take_u32(&p);
    out->group_id = hfslib_take_u32(&p);
    out->admin_flags = p[0];
    out->owner_flags = p[1];
    p += 2;
    out->file_mode = hfslib_take_u16(&p);
    out->special = hfslib_take_u32(&p);
    return 16;
}

size_t hfslib_parse_folder_info(const uint8_t* raw, hfslib_folder_info* out) {
    if (!raw || !out) return 0;
    const uint8_t* p = raw;
    out->rect_top = static_cast<int16_t>(hfslib_take_u16(&p));
    out->rect_left = static_cast<int16_t>(hfslib_take_u16(&p));
    out->rect_bottom = static_cast<int16_t>(hfslib_take_u16(&p));
    out->rect_right = static_cast<int16_t>(hfslib_take_u16(&p));
    out->finder_flags = hfslib_take_u16(&p);
    out->location_v = static_cast<int16_t>(hfslib_take_u16(&p));
    out->location_h = static_cast<int16_t>(hfslib_take_u16(&p));
    out->reserved = hfslib_take_u16(&p);
    return 16;
}

size_t hfslib_parse_folder_xinfo(const uint8_t* raw, hfslib_folder_xinfo* out) {
    if (!raw || !out) return 0;
    const uint8_t* p = raw;
    out->scroll_v = static_cast<int16_t>(hfslib_take_u16(&p));
    out->scroll_h = static_cast<int16_t>(hfslib_take_u16(&p));
    out->reserved1 = hfslib_take_u32(&p);
    out->ext_finder_flags = hfslib_take_u16(&p);
    out->reserved2 = hfslib_take_u16(&p);
    out->put_away_cnid = hfslib_take_u32(&p);
    return 16;
}

size_t hfslib_parse_file_info(const uint8_t* raw, hfslib_file_info* out) {
    if (!raw || !out) return 0;
    const uint8_t* p = raw;
    out->file_type = hfslib_take_u32(&p);
    out->file_creator = hfslib_take_u32(&p);
    out->finder_flags = hfslib_take_u16(&p);
    out->location_v = static_cast<int16_t>(hfslib_take_u16(&p));
    out->location_h = static_cast<int16_t>(hfslib_take_u16(&p));
    out->reserved = hfslib_take_u16(&p);
    return 16;
}

size_t hfslib_parse_file_xinfo(const uint8_t* raw, hfslib_file_xinfo* out) {
    if (!raw || !out) return 0;
    const uint8_t* p = raw;
    for (uint16_t& word : out->reserved1) word = hfslib_take_u16(&p);
    out->ext_finder_flags = hfslib_take_u16(&p);
    out->reserved2 = hfslib_take_u16(&p);
    out->put_away_cnid = hfslib_take_u32(&p);
    return 16;
}

namespace {

// Decodes what follows the key of a record of a node of `kind`: the child
// node number of an index record, the type and body of a leaf record (an
// unknown type keeps only its type).
bool take_body(byte_reader& r, int16_t kind, hfslib_cat_rec& out) {
    if (kind == HFSLIB_NODE_INDEX) {
        if (!r.has(4)) return false;
        out.child = r.u32();
        return true;
    }
    if (!r.has(2)) return false;
    hfslib_cat_rec rec{};
    rec.type = r.u16();
    bool ok = true;
    switch (rec.type) {
    case HFSLIB_REC_FOLDER:
        ok = take_folder(r, rec.folder);
        break;
    case HFSLIB_REC_FILE:
        ok = take_file(r, rec.file);
        break;
    case HFSLIB_REC_FOLDER_THREAD:
    case HFSLIB_REC_FILE_THREAD:
        ok = take_thread(r, rec.thread);
        break;
    default:
        break;
    }
    if (!ok) return false;
    out = rec;
    return true;
}

} // namespace

namespace hfslib {

bool take_cat_body(const uint8_t* raw, size_t raw_len, int16_t kind, const hfslib_vol* vol,
                   hfslib_cat_rec& out) {
    byte_reader r({raw, raw_len});
    // Past the key: its length field, the parent and the name.
    if (vol->cat_keylen_size != 1 && vol->cat_keylen_size != 2) return false;
    if (!r.has(vol->cat_keylen_size + 6u)) return false;
    r.skip(vol->cat_keylen_size + 4u);
    const uint16_t n = std::min<uint16_t>(r.u16(), 255);
    if (!r.has(size_t{2} * n)) return false;
    r.skip(size_t{2} * n);
    return take_body(r, kind, out);
}

} // namespace hfslib

size_t hfslib_parse_cat_record(const uint8_t* raw, size_t raw_len, hfslib_cat_rec* rec_out,
                               int16_t* kind_inout, hfslib_cat_key* key_out,
                               const hfslib_vol* vol) {
    if (!kind_inout || !raw || !key_out || !vol) return 0;
    byte_reader r({raw, raw_len});
    hfslib_cat_key key{};
    if (!take_key(r, vol->cat_keylen_size, key)) return 0;

    const int16_t kind = *kind_inout;
    if (!rec_out) {
        if (kind == HFSLIB_NODE_INDEX) {
            *key_out = key;
            return r.consumed();
        }
        if (kind != HFSLIB_NODE_LEAF || !r.has(2)) return 0;
        *kind_inout = static_cast<int16_t>(r.u16());
        *key_out = key;
        return r.consumed();
    }

    if (!take_body(r, kind, *rec_out)) return 0;
    if (kind != HFSLIB_NODE_INDEX) *kind_inout = static_cast<int16_t>(rec_out->type);
    *key_out = key;
    return r.consumed();
}

uint16_t hfslib_make_cat_key(uint32_t parent_cnid, uint16_t name_len, const uint16_t* name,
                             hfslib_cat_key* key_out) {
    if (parent_cnid == 0 || !key_out || (!name && name_len != 0)) return 0;
    uint16_t n = std::min<uint16_t>(name_len, 255);
    key_out->parent_cnid = parent_cnid;
    key_out->name.length = n;
    if (n) std::copy_n(name, n, key_out->name.units);
    key_out->key_len = static_cast<uint16_t>(6 + 2 * n);
    return key_out->key_len;
}

int hfslib_cmp_cat_keys_folded(const hfslib_cat_key* a, const hfslib_cat_key* b) {
    if (a->parent_cnid != b->parent_cnid) return hfslib::order(a->parent_cnid, b->parent_cnid);
    uint16_t pa = 0, pb = 0;
    for (;;) {
        uint16_t c1 = next_folded(a->name, pa);
        uint16_t c2 = next_folded(b->name, pb);
        if (c1 != c2) return int{c1} - int{c2};
        if (c1 == 0) return 0;
    }
}

int hfslib_cmp_cat_keys_ordinal(const hfslib_cat_key* a, const hfslib_cat_key* b) {
    if (a->parent_cnid != b->parent_cnid) return hfslib::order(a->parent_cnid, b->parent_cnid);
    uint16_t la = std::min<uint16_t>(a->name.length, 255);
    uint16_t lb = std::min<uint16_t>(b->name.length, 255);
    uint16_t n = std::min(la, lb);
    for (uint16_t i = 0; i < n; ++i)
        if (a->name.units[i] != b->name.units[i])
            return int{a->name.units[i]} - int{b->name.units[i]};
    return int{la} - int{lb};
}
