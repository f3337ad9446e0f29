// Reading a folder: its entries in order, each with the attributes getattr
// shows, from any position (as readdir resumes). Entries listed are
// remembered for the path lookups that usually follow.
//
// Errors: every function returns 0 on success, a negative errno value on
// failure.
#pragma once

#include "access/listing.h"
#include "libhfs/libhfs.h"

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <sys/stat.h>

// Receives one entry: its name (NUL-terminated), its attributes (null when
// they cannot be known: ".." of the root) and the position of the entry
// after it. Nonzero stops the listing (a full buffer).
//
// A plain listing gives each entry's type and inode number, with the rest
// of the record's attributes as stored. A full listing gives exactly what
// getattr of the entry's path gives, or null where that cannot be promised
// (a name that does not resolve back to itself, a folder reached through
// its other fork's name, attributes that cannot be read).
using hfs_folder_fill = int (*)(void* ctx, const char* name, const struct stat* st, int64_t next);

// Position of the first stored entry: 0 is ".", 1 is "..".
inline constexpr int64_t HFS_FIRST_CHILD = 2;

// One open folder: its record and a snapshot of its children (shared with
// the other opens of the folder and the device's recent listings), or, when
// the listing budget has no room for that, nothing: each read then walks
// the folder in the catalog. Not copyable.
class hfs_folder_reader {
public:
    hfs_folder_reader() = default;
    hfs_folder_reader(const hfs_folder_reader&) = delete;
    hfs_folder_reader& operator=(const hfs_folder_reader&) = delete;

    // Resolves `path` and lists its children: the errors of hfs_resolve_path
    // and hfs_list.
    int open(hfslib_vol* vol, std::string_view path);
    // Lists the children of a folder record already found, whose parent (for
    // "..") is `parent_cnid`; nothing is remembered for path lookups.
    int open(hfslib_vol* vol, const hfslib_cat_rec& folder, uint32_t parent_cnid);

    // Hands the entries from position `offset` on to `fill`, until it asks to
    // stop. Entries whose names cannot be shown (a name that does not
    // convert, converts to nothing or holds a NUL) are passed over and
    // reported; their positions are not used again.
    enum class detail { plain, full };
    int read(int64_t offset, hfs_folder_fill fill, void* ctx, detail what = detail::plain) const;

    const hfslib_cat_rec& record() const { return record_; }
    uint32_t parent_cnid() const { return parent_cnid_; }
    // Hands the children from position `first` (0 for the first child) on
    // to `visit`, from the listing or, without one, from the catalog: the
    // errors of hfs_walk_children.
    int children(uint64_t first, hfs_child_fn visit, void* ctx) const;
    // The record of child `name` and the folder link it was listed through
    // (0 for none), when the folder's listing is kept and lists `name` by
    // the very units stored on disk: what a catalog search for it finds.
    // False otherwise (a miss is no error).
    bool find_listed(std::string_view name, hfslib_cat_rec& rec, uint32_t& link_cnid) const;

private:
    struct reading;
    int read_entries(int64_t offset, hfs_folder_fill fill, void* ctx, detail what) const;
    static int give(void* arg, uint64_t index, const hfs_child& child);

    hfslib_vol* vol_ = nullptr;
    hfslib_cat_rec record_{};
    uint32_t parent_cnid_ = 0;
    std::shared_ptr<const hfs_listing> listing_; // null: read from the catalog
    // The path as this open named the folder, with a final '/': its entries
    // are remembered under it (the shared listing is any spelling's).
    std::string path_;
    // False when the path reached the folder by naming its other fork (the
    // resource-fork suffix): paths below it do not resolve, so its entries
    // are not remembered under them.
    bool cache_entries_ = true;
};
