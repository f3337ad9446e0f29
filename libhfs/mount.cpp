// Opening a volume: the device, the volume header (also inside an HFS
// wrapper), then the B-tree headers, the journal and the root folder.
#include "libhfs/btree_internal.h"
#include "libhfs/libhfs.h"
#include "libhfs/report.h"

namespace {

using hfslib::hook_ptr;

// Reads the header node of the tree `t` (its first 512 bytes, from the first
// block of the tree file) into `buf` and keeps its header in the volume. The
// node must be a header node, and its node size one a volume may have: every
// later node read of the tree is sized by it. False after reporting why not.
bool open_tree(hfslib_vol* vol, const hfslib::tree_traits& t, uint8_t* buf, hfslib_cbctx* ctx) {
    const hfslib_fork& file = vol->vh.*t.file;
    if (hfslib_hook_read(vol, buf, 512, uint64_t{vol->vh.block_size} * file.extents[0].start_block,
                         ctx) != 0) {
        HFSLIB_ERROR("%s", t.header_read);
        return false;
    }
    hfslib_btree_header hr{};
    if (hfslib::node_kind(buf) != HFSLIB_NODE_HEADER || !hfslib::take_header_record(buf, 512, hr)) {
        HFSLIB_ERROR("%s", t.header_parse);
        return false;
    }
    vol->*t.header = hr;
    if (t.keylen_size) vol->*t.keylen_size = hfslib::keylen_width(t, hr);
    return true;
}

// Reads the B-tree header records, the journal and the root folder's thread.
// `buf` is the working buffer holding the volume header. Returns 0 on
// success; on failure the message has been reported.
int open_trees(hfslib_vol* vol, hook_ptr<uint8_t[]>& buf, hfslib_cbctx* ctx) {
    const hfslib_vheader& vh = vol->vh;
    if (!hfslib::hook_resize(buf, 512, ctx)) {
        HFSLIB_ERROR("could not allocate catalog header node");
        return 1;
    }

    if (!open_tree(vol, hfslib::catalog_traits, buf.get(), ctx)) return 1;
    if (vh.signature == HFSLIB_SIG_HFSPLUS) {
        vol->keycmp = hfslib_cmp_cat_keys_folded;
    } else if (vol->cat_header.keycomp_type == HFSLIB_KEYCMP_FOLDED) {
        vol->keycmp = hfslib_cmp_cat_keys_folded;
    } else if (vol->cat_header.keycomp_type == HFSLIB_KEYCMP_BINARY) {
        vol->keycmp = hfslib_cmp_cat_keys_ordinal;
    } else {
        HFSLIB_ERROR("undefined key compare method");
        return 1;
    }
    if (!open_tree(vol, hfslib::extents_traits, buf.get(), ctx)) return 1;
    if (vh.attributes_file.extents[0].block_count != 0 &&
        !open_tree(vol, hfslib::attributes_traits, buf.get(), ctx))
        return 1;

    if (vh.attributes & HFSLIB_VOL_JOURNALED) {
        if (!hfslib::hook_resize(buf, 184, ctx)) {
            HFSLIB_ERROR("could not allocate journal info block");
            return 1;
        }
        if (hfslib_hook_read(vol, buf.get(), 184, uint64_t{vh.block_size} * vh.journal_info_block,
                             ctx) != 0) {
            HFSLIB_ERROR("could not read journal info block");
            return 1;
        }
        if (hfslib_parse_jinfo(buf.get(), &vol->jinfo) == 0) {
            HFSLIB_ERROR("could not parse journal info block");
            return 1;
        }
        if (!hfslib::hook_resize(buf, 48, ctx)) {
            HFSLIB_ERROR("could not allocate journal header");
            return 1;
        }
        if (hfslib_hook_read(vol, buf.get(), 48, vol->jinfo.journal_offset, ctx) != 0) {
            HFSLIB_ERROR("could not read journal header");
            return 1;
        }
        if (hfslib_parse_jheader(buf.get(), &vol->jheader) == 0) {
            HFSLIB_ERROR("could not parse journal header");
            return 1;
        }
        vol->journaled = 1;
    } else {
        vol->journaled = 0;
    }

    // The root folder's thread gives the volume its name. A catalog without
    // it still mounts.
    hfslib_cat_key root_key{};
    hfslib_cat_rec root_thread{};
    hfslib_make_cat_key(2, 0, nullptr, &root_key);
    if (hfslib_find_cat_record(vol, &root_key, &root_thread, ctx) == 0 &&
        (root_thread.type == HFSLIB_REC_FOLDER_THREAD ||
         root_thread.type == HFSLIB_REC_FILE_THREAD)) {
        vol->volume_name = root_thread.thread.name;
    } else {
        HFSLIB_ERROR("could not find root parent");
    }

    buf.reset();
    return 0;
}

} // namespace

int hfslib_mount(const char* path, int read_only, hfslib_vol* vol, hfslib_cbctx* ctx) {
    if (!path || !vol) return 1;
    vol->read_only = read_only;
    vol->embedded_offset = 0;

    if (hfslib_hook_open(vol, path, ctx) != 0) {
        HFSLIB_ERROR("could not open device");
        return 1;
    }

    hook_ptr<uint8_t[]> buf;
    // Every failure from here on closes the device; the working buffer is
    // released by its guard.
    auto fail = [&] {
        hfslib_hook_close(vol, ctx);
        return 1;
    };

    buf = hfslib::hook_alloc<uint8_t[]>(512, ctx);
    if (!buf) {
        HFSLIB_ERROR("could not allocate volume header");
        return fail();
    }
    if (hfslib_hook_read(vol, buf.get(), 512, 1024, ctx) != 0) {
        HFSLIB_ERROR("could not read volume header");
        return fail();
    }

    if (buf[0] == 0x42 && buf[1] == 0x44) {
        hfslib_mdb mdb{};
        if (hfslib_parse_mdb(buf.get(), &mdb) == 0) {
            HFSLIB_ERROR("could not parse master directory block");
            return fail();
        }
        if (mdb.embed_signature != HFSLIB_SIG_HFSPLUS) {
            HFSLIB_ERROR("Plain HFS volumes not currently supported");
            return fail();
        }
        vol->embedded_offset = uint64_t{mdb.first_alloc_block} * 512 +
                               uint64_t{mdb.alloc_block_size} * mdb.embed_start_block;
        if (hfslib_hook_read(vol, buf.get(), 512, 1024, ctx) != 0) {
            HFSLIB_ERROR("could not read volume header");
            return fail();
        }
    }

    if (hfslib_parse_vheader(buf.get(), &vol->vh) == 0) {
        HFSLIB_ERROR("could not parse volume header");
        return fail();
    }
    if (vol->vh.signature != HFSLIB_SIG_HFSPLUS && vol->vh.signature != HFSLIB_SIG_HFSX) {
        HFSLIB_ERROR("unrecognized volume format");
        return fail();
    }

    if (open_trees(vol, buf, ctx) != 0) return fail();
    return 0;
}
