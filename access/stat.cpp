#include "access/stat.h"

#include "access/decmpfs.h"
#include "access/device.h"
#include "access/path_resolve.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <sys/sysmacros.h>

namespace {

void set_time(struct timespec& out, uint32_t hfs_date) {
    out.tv_sec = static_cast<time_t>(hfs_unix_time(hfs_date));
    out.tv_nsec = 0;
}

} // namespace

mode_t hfs_shown_mode(const hfslib_vol* vol, const hfslib_cat_rec* rec) {
    const hfs_device* dev = hfs_get_device(vol);
    const uint16_t mode = rec->folder.perms.file_mode;
    if (mode <= 07777) {
        // Written without BSD permissions (Mac OS Classic): the defaults.
        return rec->type == HFSLIB_REC_FILE ? (S_IFREG | (dev ? dev->default_file_mode : 0755))
                                            : (S_IFDIR | (dev ? dev->default_dir_mode : 0777));
    }
    if (dev && dev->disable_symlinks && S_ISLNK(mode)) return (mode & ~S_IFMT) | S_IFREG;
    return mode;
}

uint64_t hfs_decmp_blksize(const hfs_decmp_info* info) {
    if (!info) return 0;
    const uint32_t chunk = hfs_decmp_chunk_size(info->type);
    return chunk != 0 ? std::min<uint64_t>(info->size, chunk) : info->size;
}

void hfs_stat(const hfslib_vol* vol, const hfslib_cat_rec* rec, struct stat* st, uint8_t fork,
              const hfs_decmp_info* info) {
    std::memset(st, 0, sizeof *st);
    const hfs_device* dev = hfs_get_device(vol);
    // Folder and file records share their leading fields up to the
    // permissions; the Finder flags are not among them.
    const hfslib_folder_rec& common = rec->folder;
    const uint32_t cnid = hfs_record_cnid(*rec);
    const uint32_t block_size = vol->vh.block_size;
    st->st_ino = cnid;

    const hfslib_perms& perms = common.perms;
    st->st_mode = hfs_shown_mode(vol, rec);
    if (perms.file_mode <= 07777) { // no BSD permissions: the default owner
        st->st_uid = dev ? dev->default_uid : 0;
        st->st_gid = dev ? dev->default_gid : 0;
    } else {
        st->st_uid = perms.owner_id;
        st->st_gid = perms.group_id;
    }

    // The field holds a device's number, or the number of links of a
    // hard-link target; an item stored with 0 there still has its one link.
    // Device numbers are stored as macOS makes them: the major number in the
    // top 8 bits, the minor in the low 24.
    if (S_ISCHR(st->st_mode) || S_ISBLK(st->st_mode)) {
        st->st_rdev = makedev(perms.special >> 24, perms.special & 0xFFFFFF);
        st->st_nlink = 1;
    } else {
        st->st_nlink = std::max<uint32_t>(perms.special, 1);
    }

    set_time(st->st_atim, common.access_date);
    set_time(st->st_mtim, common.content_mod_date);
    set_time(st->st_ctim, common.attribute_mod_date);

    if (rec->type == HFSLIB_REC_FILE) {
        const hfslib_fork& data = fork ? rec->file.rsrc_fork : rec->file.data_fork;
        const uint64_t size = info ? info->size : data.logical_size;
        if (size > static_cast<uint64_t>(INT64_MAX))
            hfslib_report("hfs_stat: logical_size %lu too large for CNID %u", nullptr, 0, size,
                          cnid);
        else
            st->st_size = static_cast<off_t>(size);
        st->st_blocks = static_cast<blkcnt_t>(uint64_t{data.total_blocks} * (block_size / 512));
        const uint64_t io_size = info ? hfs_decmp_blksize(info) : block_size;
        if (io_size >= (uint64_t{1} << 31))
            hfslib_report("hfs_stat: block_size %zu too large for CNID %u", nullptr, 0,
                          static_cast<size_t>(io_size), cnid);
        else
            st->st_blksize = static_cast<blksize_t>(io_size);
    } else {
        st->st_nlink = uint64_t{common.valence} + 2;
        st->st_size = block_size;
        st->st_blksize = static_cast<blksize_t>(std::min<uint64_t>(block_size, INT32_MAX));
    }
}

int hfs_stat_path(hfslib_vol* vol, std::string_view path, struct stat* st) {
    hfslib_cat_rec rec{};
    hfslib_cat_key key{};
    uint8_t fork = 0;
    if (int err = hfs_resolve_path(vol, path, &rec, &key, &fork)) return err;
    return hfs_stat_record(vol, rec, fork, st);
}

int hfs_stat_record(hfslib_vol* vol, const hfslib_cat_rec& rec, uint8_t fork, struct stat* st) {
    hfs_decmp_info info{};
    bool compressed = false;
    if (rec.type == HFSLIB_REC_FILE && fork == HFSLIB_DATA_FORK) {
        const int probe = hfs_decmp_probe(vol, &rec, &info, nullptr, nullptr);
        if (probe == -EIO) return -EIO;
        compressed = probe == 0 || probe == -EOPNOTSUPP;
    }
    hfs_stat(vol, &rec, st, fork, compressed ? &info : nullptr);
    return 0;
}

int hfs_statfs(const hfslib_vol* vol, struct statvfs* st) {
    // The highest file count reported.
    constexpr uint64_t max_files = 4294967279ULL; // 2^32 - 17
    const hfslib_vheader& vh = vol->vh;
    st->f_bsize = vh.block_size;
    st->f_frsize = vh.block_size;
    // The header's counts are not trusted to fit: more free blocks than
    // blocks, or more files than the maximum, would show negative use.
    const uint64_t free_blocks = std::min(vh.free_blocks, vh.total_blocks);
    const uint64_t used_files = uint64_t{vh.file_count} + vh.folder_count;
    st->f_blocks = vh.total_blocks;
    st->f_bfree = free_blocks;
    st->f_bavail = free_blocks;
    st->f_files = max_files;
    st->f_ffree = used_files < max_files ? max_files - used_files : 0;
    st->f_favail = st->f_ffree;
    st->f_flag = ST_RDONLY;
    st->f_namemax = 765;
    return 0;
}
