// The single place where a catalog record becomes the POSIX attributes users
// see, and the volume's statistics.
//
// Errors: functions that can fail return 0 or a negative errno value.
#pragma once

#include "libhfs/libhfs.h"

#include <cstdint>
#include <string_view>
#include <sys/stat.h>
#include <sys/statvfs.h>

struct hfs_decmp_info;

// HFS+ dates count seconds from 1904-01-01 00:00:00 UTC.
inline constexpr uint32_t HFS_EPOCH_OFFSET = 2082844800u;

// Seconds since the Unix epoch of an HFS+ date; dates before 1970 give 0.
inline int64_t hfs_unix_time(uint32_t hfs_date) {
    return hfs_date < HFS_EPOCH_OFFSET ? 0 : int64_t{hfs_date} - HFS_EPOCH_OFFSET;
}

// The CNID of a folder or file record.
inline uint32_t hfs_record_cnid(const hfslib_cat_rec& rec) {
    return rec.type == HFSLIB_REC_FILE ? rec.file.cnid : rec.folder.cnid;
}

// Fills `st` from a folder or file record. `fork` selects the data fork (0)
// or the resource fork (any other value); `info`, given only for the data
// fork of a compressed file, supplies the uncompressed size. Never fails:
// values out of range are reported and left 0.
void hfs_stat(const hfslib_vol* vol, const hfslib_cat_rec* rec, struct stat* st, uint8_t fork,
              const hfs_decmp_info* info);

// The type and permission bits of a folder or file record as shown: the
// device's defaults for records written without BSD permissions, and
// symbolic links as regular files under disable_symlinks.
mode_t hfs_shown_mode(const hfslib_vol* vol, const hfslib_cat_rec* rec);

// The preferred I/O size of a compressed file: 0 without a header, the size
// capped at one chunk for chunked types, else the whole size.
uint64_t hfs_decmp_blksize(const hfs_decmp_info* info);

// The attributes of what `path` names (getattr). A compressed file shows its
// uncompressed size, also when its kind of compression cannot be read
// (reading it then fails instead). -EIO when the attributes of a file
// marked compressed cannot be read, and the errors of hfs_resolve_path.
int hfs_stat_path(hfslib_vol* vol, std::string_view path, struct stat* st);
// The same for a record already found (hard links resolved) and the fork
// its path names: -EIO as above.
int hfs_stat_record(hfslib_vol* vol, const hfslib_cat_rec& rec, uint8_t fork, struct stat* st);

// The volume's block and file counts (statfs).
int hfs_statfs(const hfslib_vol* vol, struct statvfs* st);
