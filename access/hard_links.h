// Hard links: a link record is a file record marked by its Finder type and
// creator; its target lives in one of the root's private folders under a
// name made from the link number (BSD `special` field of the link record).
//
// Errors: functions that can fail return 0 or a negative errno value.
#pragma once

#include "libhfs/libhfs.h"

#include <cstdint>

inline constexpr uint32_t HFS_LINK_FILE_TYPE = 0x686C6E6B;    // 'hlnk'
inline constexpr uint32_t HFS_LINK_FILE_CREATOR = 0x6866732B; // 'hfs+'
inline constexpr uint32_t HFS_LINK_DIR_TYPE = 0x66647270;     // 'fdrp'
inline constexpr uint32_t HFS_LINK_DIR_CREATOR = 0x4D414353;  // 'MACS'

inline bool hfs_is_file_link(const hfslib_cat_rec& rec) {
    return rec.type == HFSLIB_REC_FILE && rec.file.user_info.file_type == HFS_LINK_FILE_TYPE &&
           rec.file.user_info.file_creator == HFS_LINK_FILE_CREATOR;
}

inline bool hfs_is_folder_link(const hfslib_cat_rec& rec) {
    return rec.type == HFSLIB_REC_FILE && rec.file.user_info.file_type == HFS_LINK_DIR_TYPE &&
           rec.file.user_info.file_creator == HFS_LINK_DIR_CREATOR;
}

// The target of file link `link_number` ("iNode%u" in the private data
// folder). 0 with the target in `rec_out`; -ENOENT when the private folder
// or the target is missing (or the folder is not a folder), -EIO when the
// catalog cannot be read. `rec_out` may be overwritten on failure: pass a
// scratch record.
int hfs_follow_file_link(hfslib_vol* vol, uint32_t link_number, hfslib_cat_rec* rec_out,
                         hfslib_cbctx* ctx);
// The same for folder links ("dir_%u" in the private directory folder).
int hfs_follow_folder_link(hfslib_vol* vol, uint32_t link_number, hfslib_cat_rec* rec_out,
                           hfslib_cbctx* ctx);

// Replaces `rec` by its target when it is a file or folder link that can be
// followed; a link whose target is missing stays as it is. Returns 0, or
// -EIO when the catalog could not be read (the link stays, and must not be shown
// as if it were its target or a plain file).
int hfs_resolve_links(hfslib_vol* vol, hfslib_cat_rec& rec, bool files, bool folders);
