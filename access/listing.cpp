#include "access/listing.h"

#include "access/device.h"
#include "access/hard_links.h"
#include "access/names.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>
#include <span>

namespace {

// What one entry of a listing costs besides its name: the entry, the index
// of its shown name (a hash node and a bucket) and the unit pool's slack.
constexpr uint64_t entry_overhead = sizeof(hfs_listing::entry) + 64;
// The budget is taken as the listing grows, this many bytes at a time.
constexpr uint64_t charge_step = uint64_t{256} << 10;

// A listing being made: the walk stops (and the listing is dropped) when
// the budget has no room for it.
struct making {
    hfs_listing& listing;
    uint64_t charged = 0;
    uint64_t used = 0;
    bool over_budget = false;

    bool account(uint64_t bytes) {
        used += bytes;
        if (used <= charged) return true;
        const uint64_t more = std::max(charge_step, used - charged);
        if (!listing.charge.grow(hfs_listing_budget, more)) {
            over_budget = true;
            return false;
        }
        charged += more;
        return true;
    }
};

int take_child(void* arg, const hfslib_cat_rec* rec, const hfslib_uname* name) {
    auto& m = *static_cast<making*>(arg);
    hfs_listing& listing = m.listing;
    const uint16_t length = std::min<uint16_t>(name->length, 255);
    // The units, and at most three bytes of shown name for each.
    if (!m.account(entry_overhead + 5 * uint64_t{length})) return 1;
    try {
        hfs_listing::entry e{};
        e.type = rec->type;
        if (rec->type == HFSLIB_REC_FILE)
            e.file = rec->file;
        else
            e.folder = rec->folder;
        e.units_at = static_cast<uint32_t>(listing.units.size());
        e.units_len = length;
        listing.units.insert(listing.units.end(), name->units, name->units + length);
        listing.entries.push_back(e);
    } catch (const std::bad_alloc&) {
        hfslib_report("could not allocate child record", nullptr, 0);
        return 1;
    }
    return 0;
}

// The record with its hard link followed, and the name shown for it in
// `name`: its length (<= 0 when it does not convert) and whether it can be
// shown. 0, or the error of following the link.
int show_child(hfslib_vol* vol, hfslib_cat_rec& rec, const hfslib_uname& uname,
               std::span<char, HFS_NAME_TEXT_BUF> name, int& length, bool& showable) {
    // A link that cannot be followed for a read error would list as a
    // plain file.
    if (int err = hfs_resolve_links(vol, rec, true, true)) return err;
    length = hfs_uname_to_path_name(uname, name);
    showable = length > 0 && std::memchr(name.data(), '\0', static_cast<size_t>(length)) == nullptr;
    return 0;
}

// 0 with `out` null when the budget has no room for the listing.
int make_listing(hfslib_vol* vol, const hfslib_cat_rec& folder,
                 std::shared_ptr<const hfs_listing>& out);

} // namespace

void hfs_listing::record(uint32_t i, hfslib_cat_rec& rec) const {
    const entry& e = entries[i];
    rec = hfslib_cat_rec{};
    rec.type = e.type;
    if (e.type == HFSLIB_REC_FILE)
        rec.file = e.file;
    else
        rec.folder = e.folder;
}

void hfs_listing::key(uint32_t i, hfslib_cat_key& key) const {
    const entry& e = entries[i];
    key = hfslib_cat_key{};
    key.parent_cnid = folder_cnid;
    key.name.length = e.units_len;
    std::memcpy(key.name.units, units.data() + e.units_at, size_t{e.units_len} * 2);
    key.key_len = static_cast<uint16_t>(6 + 2 * e.units_len);
}

int hfs_list(hfslib_vol* vol, const hfslib_cat_rec& folder, std::string_view,
             std::shared_ptr<const hfs_listing>& out) {
    hfs_device* dev = hfs_get_device(vol);
    try {
        if (dev && (out = dev->live_listings.find(folder.folder.cnid))) return 0;
        std::unique_lock<std::mutex> making;
        if (dev) {
            making = std::unique_lock(dev->live_listings.making);
            if ((out = dev->live_listings.find(folder.folder.cnid))) return 0;
        }
        if (int err = make_listing(vol, folder, out)) return err;
        if (dev && out) out = dev->live_listings.add(std::move(out));
        return 0;
    } catch (const std::bad_alloc&) {
        return -ENOMEM;
    }
}

std::shared_ptr<const hfs_listing> hfs_live_listings::find(uint32_t folder_cnid) const {
    std::lock_guard guard(lock_);
    auto it = live_.find(folder_cnid);
    return it == live_.end() ? nullptr : it->second.lock();
}

std::shared_ptr<const hfs_listing>
hfs_live_listings::add(std::shared_ptr<const hfs_listing> listing) {
    std::lock_guard guard(lock_);
    std::weak_ptr<const hfs_listing>& slot = live_[listing->folder_cnid];
    if (std::shared_ptr<const hfs_listing> earlier = slot.lock()) return earlier;
    slot = listing;
    // Listings no longer held are forgotten as new ones come, the map swept
    // each time it has doubled.
    if (live_.size() >= sweep_at_) {
        std::erase_if(live_, [](const auto& item) { return item.second.expired(); });
        sweep_at_ = std::max<size_t>(64, 2 * live_.size());
    }
    return listing;
}

namespace {

int make_listing(hfslib_vol* vol, const hfslib_cat_rec& folder,
                 std::shared_ptr<const hfs_listing>& out) {
    out.reset();
    try {
        auto listing = std::make_shared<hfs_listing>();
        listing->folder_cnid = folder.folder.cnid;
        // The folder's stored child count sizes the array, so a large folder
        // is not copied as it grows and again as it shrinks. It is only a
        // hint (the walk decides), capped, and charged to the budget first:
        // room not used is never touched.
        const uint64_t hint = std::min<uint32_t>(folder.folder.valence, 1u << 16);
        making m{*listing};
        if (m.account(hint * entry_overhead)) {
            listing->entries.reserve(hint);
            listing->units.reserve(hint * 16);
        }
        m.used = 0;
        if (hfslib_walk_folder(vol, listing->folder_cnid, take_child, &m, nullptr) != 0)
            return m.over_budget ? 0 : -EIO;
        listing->entries.shrink_to_fit();
        listing->units.shrink_to_fit();

        hfslib_cat_rec rec{};
        hfslib_uname uname{};
        char name[HFS_NAME_TEXT_BUF];
        listing->by_name.reserve(listing->entries.size());
        for (uint32_t i = 0; i < listing->entries.size(); ++i) {
            hfs_listing::entry& e = listing->entries[i];
            listing->record(i, rec);
            uname.length = e.units_len;
            std::memcpy(uname.units, listing->units.data() + e.units_at, size_t{e.units_len} * 2);
            e.link_cnid = hfs_is_folder_link(rec) ? rec.file.cnid : 0;
            int length = 0;
            if (int err = show_child(vol, rec, uname, name, length, e.showable)) return err;
            e.type = rec.type;
            if (rec.type == HFSLIB_REC_FILE)
                e.file = rec.file;
            else
                e.folder = rec.folder;
            e.text_len = length;
            e.text_at = static_cast<uint32_t>(listing->text.size());
            if (length > 0) listing->text.append(name, static_cast<size_t>(length));
        }
        listing->text.shrink_to_fit();
        // Views into `text` are taken once it no longer grows.
        for (uint32_t i = 0; i < listing->entries.size(); ++i)
            if (listing->entries[i].showable) listing->by_name[listing->name_text(i)] = i;
        out = std::move(listing);
        return 0;
    } catch (const std::bad_alloc&) {
        return -ENOMEM;
    }
}

struct walking {
    hfslib_vol* vol;
    uint32_t folder_cnid;
    uint64_t first;
    hfs_child_fn visit;
    void* ctx;
    uint64_t index = 0;
    int err = 0;
    bool stopped = false;
};

int walk_child(void* arg, const hfslib_cat_rec* found, const hfslib_uname* uname) {
    auto& w = *static_cast<walking*>(arg);
    const uint64_t index = w.index++;
    if (index < w.first) return 0;
    hfslib_cat_rec rec = *found;
    hfslib_cat_key key{};
    key.parent_cnid = w.folder_cnid;
    key.name.length = std::min<uint16_t>(uname->length, 255);
    std::copy_n(uname->units, key.name.length, key.name.units);
    key.key_len = static_cast<uint16_t>(6 + 2 * key.name.length);
    const uint32_t link_cnid = hfs_is_folder_link(rec) ? rec.file.cnid : 0;
    char name[HFS_NAME_TEXT_BUF];
    int length = 0;
    bool showable = false;
    if ((w.err = show_child(w.vol, rec, key.name, name, length, showable))) return 1;
    if (w.visit(w.ctx, index, {rec, key, name, length, showable, link_cnid})) {
        w.stopped = true;
        return 1;
    }
    return 0;
}

} // namespace

int hfs_walk_children(hfslib_vol* vol, uint32_t folder_cnid, uint64_t first, hfs_child_fn visit,
                      void* ctx) {
    walking w{vol, folder_cnid, first, visit, ctx};
    if (hfslib_walk_folder(vol, folder_cnid, walk_child, &w, nullptr) == 0 || w.stopped) return 0;
    return w.err ? w.err : -EIO;
}

void hfs_recent_listings::remember(std::string path, std::shared_ptr<const hfs_listing> listing) {
    std::lock_guard guard(lock_);
    for (size_t i = kept - 1; i > 0; --i) recent_[i] = std::move(recent_[i - 1]);
    recent_[0] = {std::move(path), std::move(listing)};
}

bool hfs_recent_listings::find(std::string_view path, hfslib_cat_rec& rec,
                               hfslib_cat_key& key) const {
    const size_t slash = path.rfind('/');
    if (slash == std::string_view::npos || slash + 1 == path.size()) return false;
    const std::string_view folder = path.substr(0, slash + 1);
    const std::string_view name = path.substr(slash + 1);
    std::lock_guard guard(lock_);
    for (const auto& [listed_path, listing] : recent_) {
        if (!listing || listed_path != folder) continue;
        auto it = listing->by_name.find(name);
        if (it == listing->by_name.end()) continue;
        // Only a name that converts back to the very units on disk answers:
        // a catalog search for it finds this entry under this key.
        const hfs_listing::entry& e = listing->entries[it->second];
        hfslib_uname uname{};
        if (hfs_path_to_uname(name, uname) != 0 || uname.length != e.units_len ||
            std::memcmp(uname.units, listing->units.data() + e.units_at, size_t{e.units_len} * 2) !=
                0)
            return false;
        listing->record(it->second, rec);
        listing->key(it->second, key);
        return true;
    }
    return false;
}
