// Folder listings: the children of one folder as opendir reads them, held
// compactly (each record without the room of a thread record, names in one
// pool), with the names shown to users indexed for lookups.
//
// One listing per folder is shared by every open of it, however its path
// was spelled, and all listings together hold at most hfs_listing_budget
// (cache_budget.h). A folder whose listing does not fit is not listed into
// memory: its opens walk the catalog for each read instead
// (hfs_walk_children), which costs time, not memory.
//
// The device keeps the listings of the last folders opened, each under the
// path it was opened with. A path made of such a folder's path and one of
// its listed names, when the name converts back to the units stored on
// disk, resolves to the listed record and key: what the catalog search for
// that name finds. The resolver uses it in place of the search (and caches
// the result as it would have), so a folder of more entries than the lookup
// cache holds can be listed and stat'ed entry by entry without every stat
// searching the catalog.
//
// Errors: hfs_list and hfs_walk_children return 0 or a negative errno
// value; lookups among the remembered listings answer with bool (a miss is
// no error).
#pragma once

#include "access/cache_budget.h"
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
    std::vector<entry> entries;
    std::vector<uint16_t> units;
    std::string text;
    // Showable names to the last entry showing them.
    std::unordered_map<std::string_view, uint32_t> by_name;
    // What the listing holds, taken from hfs_listing_budget.
    hfs_budget_charge charge;

    // The record of entry i as the catalog gives it, and its listing key.
    void record(uint32_t i, hfslib_cat_rec& rec) const;
    void key(uint32_t i, hfslib_cat_key& key) const;
    std::string_view name_text(uint32_t i) const {
        return {text.data() + entries[i].text_at, static_cast<size_t>(entries[i].text_len)};
    }
};

// Lists the children of `folder`, hard links replaced by their targets,
// into `out`: 0, or a negative errno value on failure. A listing of the same
// folder still held elsewhere (by another open handle) is shared rather than
// made again: the volume does not change while it is open, and each open of
// a large folder would otherwise hold a copy of its own. 0 with `out` null
// when the listing does not fit in hfs_listing_budget: read the folder with
// hfs_walk_children. (`path` is not used: a listing is the folder's, under
// whatever name it was reached.)
int hfs_list(hfslib_vol* vol, const hfslib_cat_rec& folder, std::string_view path,
             std::shared_ptr<const hfs_listing>& out);

// One child as a walk gives it: its record (hard links followed), its key
// and the name shown to users (text_len <= 0 when it does not convert), and
// whether that name can be shown (converts, holds no NUL).
struct hfs_child {
    const hfslib_cat_rec& rec;
    const hfslib_cat_key& key;
    const char* text;
    int text_len;
    bool showable;
    // The CNID of the folder hard link the child was listed through, or 0.
    uint32_t link_cnid;
};
// Receives the child at `index` (its position in catalog order); nonzero
// ends the walk.
using hfs_child_fn = int (*)(void* ctx, uint64_t index, const hfs_child& child);

// Hands the children of folder `folder_cnid` from position `first` on to
// `visit`, as hfs_list would list them, straight from the catalog: memory
// for one child, time for the children before `first` too. 0 (also when
// `visit` ended the walk), or a negative errno value.
int hfs_walk_children(hfslib_vol* vol, uint32_t folder_cnid, uint64_t first, hfs_child_fn visit,
                      void* ctx);

// The listings in use on one device, by folder, held weakly: a listing
// lives as long as its holders, and is found here while it does.
class hfs_live_listings {
public:
    std::shared_ptr<const hfs_listing> find(uint32_t folder_cnid) const;
    // Makes `listing` findable; the listing to use: one of the same folder
    // registered meanwhile (by another thread) and still alive, else
    // `listing`.
    std::shared_ptr<const hfs_listing> add(std::shared_ptr<const hfs_listing> listing);

    // Held while a listing is made, so that opens of one folder racing on
    // several threads list it once. Taken with no other lock held.
    std::mutex making;

private:
    mutable std::mutex lock_; // a leaf: held only while live_ is looked at
    std::unordered_map<uint32_t, std::weak_ptr<const hfs_listing>> live_;
    size_t sweep_at_ = 64; // forget expired entries when live_ reaches this
};

// The listings of the most recently opened folders of one device.
class hfs_recent_listings {
public:
    // Keeps `listing` as the listing of the folder opened as `path` (with a
    // final '/').
    void remember(std::string path, std::shared_ptr<const hfs_listing> listing);
    // The record and key of `path` when it names a listed entry of a
    // remembered folder by the units stored on disk.
    bool find(std::string_view path, hfslib_cat_rec& rec, hfslib_cat_key& key) const;

private:
    static constexpr size_t kept = 2;
    struct remembered {
        std::string path;
        std::shared_ptr<const hfs_listing> listing;
    };
    mutable std::mutex lock_;
    remembered recent_[kept];
};
