// opendir, readdir and releasedir.
#include "frontend.h"
#include "handles.h"
#include "ops_common.h"

#include "device.h"
#include "hard_links.h"
#include "names.h"
#include "path_resolve.h"
#include "stat.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace {

constexpr uint32_t root_folder_cnid = 2;

// Whether the shown name converts back to exactly the on-disk name, as path
// resolution converts it.
bool names_back_to(const char* name, int length, const hfslib_uname& on_disk) {
    hfslib_uname back{};
    if (hfs_path_to_uname(std::string_view(name, static_cast<size_t>(length)), back) != 0)
        return false;
    return back.length == on_disk.length &&
           std::equal(back.units, back.units + back.length, on_disk.units);
}

} // namespace

int op_opendir(const char* path, struct fuse_file_info* fi) {
    hfslib_vol* vol = current_volume();
    auto handle = hfs_new_handle<hfs_dir_handle>();
    if (!handle) return -ENOMEM;
    hfslib_cat_key key{};
    uint8_t fork = 0;
    if (int err = hfs_resolve_path(vol, path, &handle->record, &key, &fork)) return err;
    handle->parent_cnid = key.parent_cnid;
    const hfs_device* dev = hfs_get_device(vol);
    handle->cache_entries = dev && fork == dev->default_fork;

    int err = 0;
    handle->listing = hfs_list(vol, handle->record, path, &err);
    if (!handle->listing) return err;
    if (handle->cache_entries) hfs_remember_listing(vol, handle->listing);

    fi->fh = hfs_handle_to_fh(std::move(handle));
    if (fi->fh == 0) return -ENOMEM;
    return 0;
}

namespace {

int read_folder(hfslib_vol* vol, hfs_dir_handle& handle, void* buf, fuse_fill_dir_t filler,
                off_t offset) {
    struct stat st {};

    if (offset <= 0) {
        hfs_stat(vol, &handle.record, &st, HFSLIB_DATA_FORK, nullptr);
        if (filler(buf, ".", &st, 1)) return 0;
    }
    if (offset <= 1) {
        hfslib_cat_rec parent{};
        hfslib_cat_key key{};
        bool have_parent =
            handle.record.folder.cnid != root_folder_cnid &&
            hfslib_find_cat_record_by_cnid(vol, handle.parent_cnid, &parent, &key, nullptr) == 0;
        if (have_parent) hfs_stat(vol, &parent, &st, HFSLIB_DATA_FORK, nullptr);
        if (filler(buf, "..", have_parent ? &st : nullptr, 2)) return 0;
    }

    const hfs_listing& listing = *handle.listing;
    std::string entry_path = listing.path;
    const size_t folder_len = entry_path.size();
    hfslib_cat_rec rec{};
    hfslib_cat_key key{};
    for (uint64_t i = offset > 2 ? static_cast<uint64_t>(offset) - 2 : 0;
         i < listing.entries.size(); ++i) {
        const auto at = static_cast<uint32_t>(i);
        // A name that does not convert, converts to nothing or holds a NUL
        // cannot be handed to the kernel; it is skipped (and reported) so the
        // rest of the folder still lists.
        if (!listing.entries[at].showable) {
            hfslib_report("skipping an entry of folder %u whose name cannot be shown (%d)", nullptr,
                          0, listing.folder_cnid, listing.entries[at].text_len);
            continue;
        }
        listing.record(at, rec);
        listing.key(at, key);
        entry_path.resize(folder_len);
        entry_path.append(listing.name_text(at));
        // Only a name that resolves to itself is remembered (not one stored
        // precomposed or holding ':'): a listing must not change what a path
        // resolves to.
        if (handle.cache_entries &&
            names_back_to(entry_path.c_str() + folder_len,
                          static_cast<int>(entry_path.size() - folder_len), key.name))
            hfs_cache_record(vol, entry_path, rec, key);

        hfs_stat(vol, &rec, &st, HFSLIB_DATA_FORK, nullptr);
        if (filler(buf, entry_path.c_str() + folder_len, &st, static_cast<off_t>(i + 3))) break;
    }
    return 0;
}

} // namespace

int op_readdir(const char*, void* buf, fuse_fill_dir_t filler, off_t offset,
               struct fuse_file_info* fi) {
    try {
        return read_folder(current_volume(), *hfs_handle_from_fh<hfs_dir_handle>(fi->fh), buf,
                           filler, offset);
    } catch (const std::bad_alloc&) {
        return -ENOMEM;
    }
}

int op_releasedir(const char*, struct fuse_file_info* fi) {
    std::unique_ptr<hfs_dir_handle> handle = hfs_take_handle<hfs_dir_handle>(fi->fh);
    fi->fh = 0;
    return 0;
}
