// Byte-order readers, volume header / wrapper / journal parsers, and the
// volume-level queries (journal state, unmount).
#include "libhfs/libhfs.h"

#include "libhfs/byte_order.h"

// The cursor readers of the record parsers: the caller has checked that the
// bytes are there.
uint16_t hfslib_take_u16(const uint8_t** cursor) {
    if (!cursor || !*cursor) return 0;
    const uint16_t value = hfslib::load_be16({*cursor, 2});
    *cursor += 2;
    return value;
}

uint32_t hfslib_take_u32(const uint8_t** cursor) {
    if (!cursor || !*cursor) return 0;
    const uint32_t value = hfslib::load_be32({*cursor, 4});
    *cursor += 4;
    return value;
}

uint64_t hfslib_take_u64(const uint8_t** cursor) {
    if (!cursor || !*cursor) return 0;
    const uint64_t value = hfslib::load_be64({*cursor, 8});
    *cursor += 8;
    return value;
}

size_t hfslib_parse_extent_record(const uint8_t* raw, hfslib_extent out[8]) {
    if (!raw || !out) return 0;
    const uint8_t* p = raw;
    for (int i = 0; i < 8; ++i) {
        out[i].start_block = hfslib_take_u32(&p);
        out[i].block_count = hfslib_take_u32(&p);
    }
    return 64;
}

size_t hfslib_parse_fork(const uint8_t* raw, hfslib_fork* out) {
    if (!raw || !out) return 0;
    const uint8_t* p = raw;
    out->logical_size = hfslib_take_u64(&p);
    out->clump_size = hfslib_take_u32(&p);
    out->total_blocks = hfslib_take_u32(&p);
    hfslib_parse_extent_record(p, out->extents);
    return 80;
}

size_t hfslib_parse_vheader(const uint8_t* raw, hfslib_vheader* out) {
    if (!raw || !out) return 0;
    const uint8_t* p = raw;
    out->signature = hfslib_take_u16(&p);
    out->version = hfslib_take_u16(&p);
    uint32_t* const u32_fields[] = {
        &out->attributes,      &out->last_mounted_version, &out->journal_info_block,
        &out->create_date,     &out->modify_date,          &out->backup_date,
        &out->check_date,      &out->file_count,           &out->folder_count,
        &out->block_size,      &out->total_blocks,         &out->free_blocks,
        &out->next_allocation, &out->rsrc_clump_size,      &out->data_clump_size,
        &out->next_catalog_id, &out->write_count};
    for (uint32_t* field : u32_fields) *field = hfslib_take_u32(&p);
    out->encodings_bitmap = hfslib_take_u64(&p);
    for (uint32_t& word : out->finder_info) word = hfslib_take_u32(&p);
    hfslib_fork* const forks[] = {&out->allocation_file, &out->extents_file, &out->catalog_file,
                                  &out->attributes_file, &out->startup_file};
    for (hfslib_fork* fork : forks) p += hfslib_parse_fork(p, fork);
    return 512;
}

size_t hfslib_parse_mdb(const uint8_t* raw, hfslib_mdb* out) {
    if (!raw || !out) return 0;
    const uint8_t* p = raw;
    out->signature = hfslib_take_u16(&p);
    out->create_date = hfslib_take_u32(&p);
    out->modify_date = hfslib_take_u32(&p);
    out->attributes = hfslib_take_u16(&p);
    out->root_file_count = hfslib_take_u16(&p);
    out->bitmap_start = hfslib_take_u16(&p);
    out->next_alloc_search = hfslib_take_u16(&p);
    out->alloc_block_count = hfslib_take_u16(&p);
    out->alloc_block_size = hfslib_take_u32(&p);
    out->clump_size = hfslib_take_u32(&p);
    out->first_alloc_block = hfslib_take_u16(&p);
    out->next_catalog_id = hfslib_take_u32(&p);
    out->free_blocks = hfslib_take_u16(&p);
    for (uint8_t& byte : out->volume_name) byte = *p++;
    out->backup_date = hfslib_take_u32(&p);
    out->backup_seq = hfslib_take_u16(&p);
    out->write_count = hfslib_take_u32(&p);
    out->ext_clump_size = hfslib_take_u32(&p);
    out->cat_clump_size = hfslib_take_u32(&p);
    out->root_folder_count = hfslib_take_u16(&p);
    out->file_count = hfslib_take_u32(&p);
    out->folder_count = hfslib_take_u32(&p);
    for (uint32_t& word : out->finder_info) word = hfslib_take_u32(&p);
    out->embed_signature = hfslib_take_u16(&p);
    out->embed_start_block = hfslib_take_u16(&p);
    out->embed_block_count = hfslib_take_u16(&p);
    out->ext_file_size = hfslib_take_u32(&p);
    for (auto& ext : out->ext_extents) {
        ext[0] = hfslib_take_u16(&p);
        ext[1] = hfslib_take_u16(&p);
    }
    out->cat_file_size = hfslib_take_u32(&p);
    for (auto& ext : out->cat_extents) {
        ext[0] = hfslib_take_u16(&p);
        ext[1] = hfslib_take_u16(&p);
    }
    return 162;
}

size_t hfslib_parse_jinfo(const uint8_t* raw, hfslib_jinfo* out) {
    if (!raw || !out) return 0;
    const uint8_t* p = raw;
    out->flags = hfslib_take_u32(&p);
    for (uint32_t& word : out->device_signature) word = hfslib_take_u32(&p);
    out->journal_offset = hfslib_take_u64(&p);
    out->journal_size = hfslib_take_u64(&p);
    for (uint32_t& word : out->reserved) word = hfslib_take_u32(&p);
    return 180;
}

size_t hfslib_parse_jheader(const uint8_t* raw, hfslib_jheader* out) {
    if (!raw || !out) return 0;
    const uint8_t* p = raw;
    out->magic = hfslib_take_u32(&p);
    out->endian = hfslib_take_u32(&p);
    out->start = hfslib_take_u64(&p);
    out->end = hfslib_take_u64(&p);
    out->size = hfslib_take_u64(&p);
    out->block_list_header_size = hfslib_take_u32(&p);
    out->checksum = hfslib_take_u32(&p);
    out->header_size = hfslib_take_u32(&p);
    return 44;
}

int hfslib_journal_clean(const hfslib_vol* vol) {
    if (!vol) return 0;
    if (!(vol->vh.attributes & HFSLIB_VOL_JOURNALED)) return 1;
    return vol->jheader.start == vol->jheader.end ? 1 : 0;
}

void hfslib_unmount(hfslib_vol* vol, hfslib_cbctx* ctx) {
    if (vol) hfslib_hook_close(vol, ctx);
}
