// getattr and fgetattr.
#include "frontend.h"
#include "handles.h"
#include "ops_common.h"

#include "decmpfs.h"
#include "path_resolve.h"
#include "stat.h"

#include <cerrno>

int op_getattr(const char* path, struct stat* st) {
    hfslib_vol* vol = current_volume();
    hfslib_cat_rec rec{};
    hfslib_cat_key key{};
    uint8_t fork = 0;
    if (int err = hfs_resolve_path(vol, path, &rec, &key, &fork)) return err;

    // A compressed file shows its uncompressed size, also when its kind of
    // compression cannot be read (reading it then fails instead).
    hfs_decmp_info info{};
    bool compressed = false;
    if (rec.type == HFSLIB_REC_FILE && fork == HFSLIB_DATA_FORK) {
        int probe = hfs_decmp_probe(vol, &rec, &info, nullptr, nullptr);
        compressed = probe == 0 || probe == -EOPNOTSUPP;
    }
    hfs_stat(vol, &rec, st, fork, compressed ? &info : nullptr);
    return 0;
}

int op_fgetattr(const char*, struct stat* st, struct fuse_file_info* fi) {
    hfslib_vol* vol = current_volume();
    const auto* handle = hfs_handle_from_fh<hfs_file_handle>(fi->fh);
    hfslib_cat_rec rec{};
    hfslib_cat_key key{};
    int result = hfslib_find_cat_record_by_cnid(vol, handle->cnid, &rec, &key, nullptr);
    if (result < 0) return -ENOENT;
    if (result > 0) return -EIO;

    hfs_decmp_info info{};
    const hfs_decmp_info* header = nullptr;
    if (handle->fork == HFSLIB_DATA_FORK && handle->decmp) {
        info.type = handle->decmp->type;
        info.size = handle->decmp->size;
        header = &info;
    }
    hfs_stat(vol, &rec, st, handle->fork, header);
    return 0;
}
