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

int take_child(void* arg, const hfslib_cat_rec* rec, const hfslib_uname* name) {
    auto& listing = *static_cast<hfs_listing*>(arg);
    try {
        hfs_listing::entry e{};
        e.type = rec->type;
        if (rec->type == HFSLIB_REC_FILE)
            e.file = rec->file;
        else
            e.folder = rec->folder;
        const uint16_t length = std::min<uint16_t>(name->length, 255);
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

std::string live_key(uint32_t folder_cnid, std::string_view path) {
    std::string key(reinterpret_cast<const char*>(&folder_cnid), sizeof folder_cnid);
    key.append(path);
    return key;
}

int make_listing(hfslib_vol* vol, const hfslib_cat_rec& folder, std::string_view path,
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

int hfs_list(hfslib_vol* vol, const hfslib_cat_rec& folder, std::string_view path,
             std::shared_ptr<const hfs_listing>& out) {
    hfs_device* dev = hfs_get_device(vol);
    try {
        std::string listed_path(path);
        if (listed_path != "/") listed_path += '/';
        if (dev) {
            if ((out = dev->live_listings.find(folder.folder.cnid, listed_path))) return 0;
        }
        if (int err = make_listing(vol, folder, path, out)) return err;
        if (dev) dev->live_listings.add(out);
        return 0;
    } catch (const std::bad_alloc&) {
        return -ENOMEM;
    }
}

std::shared_ptr<const hfs_listing> hfs_live_listings::find(uint32_t folder_cnid,
                                                           std::string_view path) const {
    const std::string key = live_key(folder_cnid, path);
    std::lock_guard guard(lock_);
    auto it = live_.find(key);
    return it == live_.end() ? nullptr : it->second.lock();
}

void hfs_live_listings::add(const std::shared_ptr<const hfs_listing>& listing) {
    std::string key = live_key(listing->folder_cnid, listing->path);
    std::lock_guard guard(lock_);
    // Listings no longer held are forgotten as new ones come.
    std::erase_if(live_, [](const auto& item) { return item.second.expired(); });
    live_[std::move(key)] = listing;
}

namespace {

int make_listing(hfslib_vol* vol, const hfslib_cat_rec& folder, std::string_view path,
                 std::shared_ptr<const hfs_listing>& out) {
    try {
        auto listing = std::make_shared<hfs_listing>();
        listing->folder_cnid = folder.folder.cnid;
        // The folder's stored child count sizes the array, so a large folder
        // is not copied as it grows and again as it shrinks. It is only a
        // hint (the walk decides) and is capped: room not used is never touched.
        listing->entries.reserve(std::min<uint32_t>(folder.folder.valence, 1u << 20));
        listing->units.reserve(std::min<uint64_t>(folder.folder.valence, 1u << 20) * 16);
        listing->path = path;
        if (listing->path != "/") listing->path += '/';
        if (hfslib_walk_folder(vol, listing->folder_cnid, take_child, listing.get(), nullptr) != 0)
            return -EIO;
        listing->entries.shrink_to_fit();
        listing->units.shrink_to_fit();

        hfslib_cat_rec rec{};
        hfslib_uname uname{};
        char name[HFS_NAME_TEXT_BUF];
        listing->by_name.reserve(listing->entries.size());
        for (uint32_t i = 0; i < listing->entries.size(); ++i) {
            hfs_listing::entry& e = listing->entries[i];
            // Hard links show their targets; a link that cannot be followed
            // for a read error would list as a plain file.
            listing->record(i, rec);
            e.link_cnid = hfs_is_folder_link(rec) ? rec.file.cnid : 0;
            if (int err = hfs_resolve_links(vol, rec, true, true)) return err;
            e.type = rec.type;
            if (rec.type == HFSLIB_REC_FILE)
                e.file = rec.file;
            else
                e.folder = rec.folder;

            uname.length = e.units_len;
            std::memcpy(uname.units, listing->units.data() + e.units_at, size_t{e.units_len} * 2);
            const int length =
                hfs_uname_to_path_name(uname, std::span<char, HFS_NAME_TEXT_BUF>(name));
            e.text_len = length;
            e.text_at = static_cast<uint32_t>(listing->text.size());
            e.showable =
                length > 0 && std::memchr(name, '\0', static_cast<size_t>(length)) == nullptr;
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

} // namespace

void hfs_recent_listings::remember(std::shared_ptr<const hfs_listing> listing) {
    std::lock_guard guard(lock_);
    for (size_t i = kept - 1; i > 0; --i) recent_[i] = std::move(recent_[i - 1]);
    recent_[0] = std::move(listing);
}

bool hfs_recent_listings::find(std::string_view path, hfslib_cat_rec& rec,
                               hfslib_cat_key& key) const {
    const size_t slash = path.rfind('/');
    if (slash == std::string_view::npos || slash + 1 == path.size()) return false;
    const std::string_view folder = path.substr(0, slash + 1);
    const std::string_view name = path.substr(slash + 1);
    std::lock_guard guard(lock_);
    for (const auto& listing : recent_) {
        if (!listing || listing->path != folder) continue;
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
