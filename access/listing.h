// Folder listings: the children of one folder as opendir reads them, held
// compactly (each record without the room of a thread record, names in one
// pool), with the names shown to users indexed for lookups.
//
// The device keeps the listings of the last folders opened. A path made of
// such a folder's path and one of its listed names, when the name converts
// back to the units stored on disk, resolves to the listed record and key:
// what the catalog search for that name finds. The resolver uses it in place
// of the search (and caches the result as it would have), so a folder of
// more entries than the lookup cache holds can be listed and stat'ed entry
// by entry without every stat searching the catalog.
//
// Errors: hfs_list returns 0 or a negative errno value; lookups among the
// remembered listings answer with bool (a miss is no error).
#pragma once

#include "libhfs/libhfs.h"

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

struct hfs_listing {
    // One child: its record (folder or file), its on-disk name (units in
    // `units`) and the name shown to users (bytes in `text`), or the result
    // of a conversion that failed (text_len <= 0) or produced a NUL.
    struct entry {
        uint16_t type;
        union {
            hfslib_folder_rec folder;
            hfslib_file_rec file;
        };
        uint32_t units_at;
        uint16_t units_len;
        bool showable;
        // The CNID of the folder hard link it was listed through, or 0.
        uint32_t link_cnid;
        uint32_t text_at;
        int32_t text_len;
    };

    uint32_t folder_cnid = 0;
    std::string path; // the folder's path followed by '/' ("/" for the root)
    std::vector<entry> entries;
    std::vector<uint16_t> units;
    std::string text;
    // Showable names to the last entry showing them.
    std::unordered_map<std::string_view, uint32_t> by_name;

    // The record of entry i as the catalog gives it, and its listing key.
    void record(uint32_t i, hfslib_cat_rec& rec) const;
    void key(uint32_t i, hfslib_cat_key& key) const;
    std::string_view name_text(uint32_t i) const {
        return {text.data() + entries[i].text_at, static_cast<size_t>(entries[i].text_len)};
    }
};

// Lists the children of `folder` (opened as `path`), hard links replaced by
// their targets, into `out`. 0, or a negative errno value on failure.
// A listing of the same folder under the same path still held elsewhere (by
// another open handle) is shared rather than made again: the volume does not
// change while it is open, and each open of a large folder would otherwise
// hold a copy of its own.
int hfs_list(hfslib_vol* vol, const hfslib_cat_rec& folder, std::string_view path,
             std::shared_ptr<const hfs_listing>& out);

// The listings in use on one device, by folder and path, held weakly: a
// listing lives as long as its holders, and is found here while it does.
class hfs_live_listings {
public:
    std::shared_ptr<const hfs_listing> find(uint32_t folder_cnid, std::string_view path) const;
    void add(const std::shared_ptr<const hfs_listing>& listing);

private:
    mutable std::mutex lock_;
    // Keyed by the folder's CNID and its path as listed ("/a/b/").
    std::unordered_map<std::string, std::weak_ptr<const hfs_listing>> live_;
};

// The listings of the most recently opened folders of one device.
class hfs_recent_listings {
public:
    void remember(std::shared_ptr<const hfs_listing> listing);
    // The record and key of `path` when it names a listed entry of a
    // remembered folder by the units stored on disk.
    bool find(std::string_view path, hfslib_cat_rec& rec, hfslib_cat_key& key) const;

private:
    static constexpr size_t kept = 2;
    mutable std::mutex lock_;
    std::shared_ptr<const hfs_listing> recent_[kept];
};
