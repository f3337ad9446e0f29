#include "access/folder_reader.h"

#include "access/device.h"
#include "access/names.h"
#include "access/path_resolve.h"
#include "access/stat.h"

#include <algorithm>
#include <cerrno>
#include <new>
#include <string>

namespace {

constexpr uint32_t root_folder_cnid = 2;

// Whether the shown name converts back to exactly the on-disk name, as path
// resolution converts it.
bool names_back_to(std::string_view name, const hfslib_uname& on_disk) {
    hfslib_uname back{};
    if (hfs_path_to_uname(name, back) != 0) return false;
    return back.length == on_disk.length &&
           std::equal(back.units, back.units + back.length, on_disk.units);
}

} // namespace

int hfs_folder_reader::open(hfslib_vol* vol, std::string_view path) {
    hfslib_cat_key key{};
    uint8_t fork = 0;
    if (int err = hfs_resolve_path(vol, path, &record_, &key, &fork)) return err;
    vol_ = vol;
    parent_cnid_ = key.parent_cnid;
    const hfs_device* dev = hfs_get_device(vol);
    cache_entries_ = dev && fork == dev->default_fork;
    try {
        path_ = path;
        if (path_ != "/") path_ += '/';
    } catch (const std::bad_alloc&) {
        return -ENOMEM;
    }

    if (int err = hfs_list(vol, record_, path, listing_)) return err;
    if (cache_entries_ && listing_) hfs_remember_listing(vol, path_, listing_);
    return 0;
}

int hfs_folder_reader::open(hfslib_vol* vol, const hfslib_cat_rec& folder, uint32_t parent_cnid) {
    vol_ = vol;
    record_ = folder;
    parent_cnid_ = parent_cnid;
    cache_entries_ = false;
    return hfs_list(vol, record_, {}, listing_);
}

int hfs_folder_reader::read(int64_t offset, hfs_folder_fill fill, void* ctx, detail what) const {
    try {
        return read_entries(offset, fill, ctx, what);
    } catch (const std::bad_alloc&) {
        return -ENOMEM;
    }
}

// One read of a folder's children, from a listing or a walk.
struct hfs_folder_reader::reading {
    const hfs_folder_reader& folder;
    hfs_folder_fill fill;
    void* ctx;
    detail what;
    uint8_t shown_fork;
    std::string entry_path;
    struct stat st {};
};

// Hands child `index` to the read's fill; nonzero to stop.
int hfs_folder_reader::give(void* arg, uint64_t index, const hfs_child& child) {
    auto& r = *static_cast<reading*>(arg);
    const hfs_folder_reader& f = r.folder;
    // A name that cannot be handed on is skipped (and reported) so the rest
    // of the folder still lists.
    if (!child.showable) {
        hfslib_report("skipping an entry of folder %u whose name cannot be shown (%d)", nullptr, 0,
                      f.record_.folder.cnid, child.text_len);
        return 0;
    }
    const size_t folder_len = f.path_.size();
    r.entry_path.resize(folder_len);
    r.entry_path.append(child.text, static_cast<size_t>(child.text_len));
    // Only a name that resolves to itself is remembered (not one stored
    // precomposed or holding ':'): a listing must not change what a path
    // resolves to.
    // A name ending with the resource-fork suffix names the other fork of
    // the name without it.
    const std::string_view name = std::string_view(r.entry_path).substr(folder_len);
    const bool resolves_to_itself = f.cache_entries_ &&
                                    !hfs_names_other_fork(f.vol_, name, folder_len == 1) &&
                                    names_back_to(name, child.key.name);
    if (resolves_to_itself) hfs_cache_record(f.vol_, r.entry_path, child.rec, child.key);

    const struct stat* shown = &r.st;
    if (r.what == detail::plain) {
        hfs_stat(f.vol_, &child.rec, &r.st, HFSLIB_DATA_FORK, nullptr);
    } else if (!resolves_to_itself ||
               hfs_stat_record(f.vol_, child.rec, r.shown_fork, &r.st) != 0) {
        shown = nullptr;
    }
    return r.fill(r.ctx, r.entry_path.c_str() + folder_len, shown,
                  static_cast<int64_t>(index) + HFS_FIRST_CHILD + 1);
}

int hfs_folder_reader::read_entries(int64_t offset, hfs_folder_fill fill, void* ctx,
                                    detail what) const {
    struct stat st {};
    const hfs_device* dev = hfs_get_device(vol_);

    if (offset <= 0) {
        hfs_stat(vol_, &record_, &st, HFSLIB_DATA_FORK, nullptr);
        if (fill(ctx, ".", &st, 1)) return 0;
    }
    if (offset <= 1) {
        hfslib_cat_rec parent{};
        hfslib_cat_key key{};
        const bool have_parent =
            record_.folder.cnid != root_folder_cnid &&
            hfslib_find_cat_record_by_cnid(vol_, parent_cnid_, &parent, &key, nullptr) == 0;
        if (have_parent) hfs_stat(vol_, &parent, &st, HFSLIB_DATA_FORK, nullptr);
        if (fill(ctx, "..", have_parent ? &st : nullptr, 2)) return 0;
    }

    reading r{*this, fill, ctx, what, dev ? dev->default_fork : HFSLIB_DATA_FORK, path_};
    const uint64_t first =
        offset > HFS_FIRST_CHILD ? static_cast<uint64_t>(offset - HFS_FIRST_CHILD) : 0;
    return children(first, give, &r);
}

int hfs_folder_reader::children(uint64_t first, hfs_child_fn visit, void* ctx) const {
    if (!listing_) return hfs_walk_children(vol_, record_.folder.cnid, first, visit, ctx);
    const hfs_listing& listing = *listing_;
    hfslib_cat_rec rec{};
    hfslib_cat_key key{};
    for (uint64_t i = first; i < listing.entries.size(); ++i) {
        const auto at = static_cast<uint32_t>(i);
        const hfs_listing::entry& e = listing.entries[at];
        listing.record(at, rec);
        listing.key(at, key);
        const std::string_view text = e.showable ? listing.name_text(at) : std::string_view{};
        if (visit(ctx, i, {rec, key, text.data(), e.text_len, e.showable, e.link_cnid})) break;
    }
    return 0;
}

bool hfs_folder_reader::find_listed(std::string_view name, hfslib_cat_rec& rec,
                                    uint32_t& link_cnid) const {
    if (!listing_) return false;
    const hfs_listing& listing = *listing_;
    const auto it = listing.by_name.find(name);
    if (it == listing.by_name.end()) return false;
    hfslib_cat_key key{};
    listing.key(it->second, key);
    if (!names_back_to(name, key.name)) return false;
    listing.record(it->second, rec);
    link_cnid = listing.entries[it->second].link_cnid;
    return true;
}
