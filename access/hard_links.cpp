#include "access/hard_links.h"

#include "access/library_results.h"

#include <cstdio>

namespace {

int follow_link(hfslib_vol* vol, const hfslib_cat_key& private_folder, const char* pattern,
                uint32_t link_number, hfslib_cat_rec* rec_out, hfslib_cbctx* ctx) {
    hfslib_cat_rec folder{};
    // A catalog that cannot be read is a failure, not a missing folder.
    if (int err = hfs_search_result(hfslib_find_cat_record(vol, &private_folder, &folder, ctx)))
        return err;
    if (folder.type != HFSLIB_REC_FOLDER || folder.folder.cnid == 0) return -ENOENT;

    // "iNode4294967295" is the longest name: 15 characters.
    char text[16];
    int length = std::snprintf(text, sizeof text, pattern, link_number);
    if (length <= 0 || static_cast<size_t>(length) >= sizeof text) return -ENOENT;
    uint16_t units[16];
    for (int i = 0; i < length; ++i) units[i] = static_cast<unsigned char>(text[i]);

    hfslib_cat_key key{};
    if (hfslib_make_cat_key(folder.folder.cnid, static_cast<uint16_t>(length), units, &key) == 0)
        return -ENOENT;
    return hfs_search_result(hfslib_find_cat_record(vol, &key, rec_out, ctx));
}

} // namespace

int hfs_follow_file_link(hfslib_vol* vol, uint32_t link_number, hfslib_cat_rec* rec_out,
                         hfslib_cbctx* ctx) {
    return follow_link(vol, hfslib_key_file_links, "iNode%u", link_number, rec_out, ctx);
}

int hfs_follow_folder_link(hfslib_vol* vol, uint32_t link_number, hfslib_cat_rec* rec_out,
                           hfslib_cbctx* ctx) {
    return follow_link(vol, hfslib_key_dir_links, "dir_%u", link_number, rec_out, ctx);
}

int hfs_resolve_links(hfslib_vol* vol, hfslib_cat_rec& rec, bool files, bool folders) {
    // A target of the wrong kind means a damaged volume: the link stays.
    hfslib_cat_rec target{};
    int found = -ENOENT;
    if (files && hfs_is_file_link(rec)) {
        found = hfs_follow_file_link(vol, rec.file.perms.special, &target, nullptr);
        if (found == 0 && target.type == HFSLIB_REC_FILE) rec = target;
    } else if (folders && hfs_is_folder_link(rec)) {
        found = hfs_follow_folder_link(vol, rec.file.perms.special, &target, nullptr);
        if (found == 0 && target.type == HFSLIB_REC_FOLDER) rec = target;
    }
    return found == -EIO ? -EIO : 0;
}
