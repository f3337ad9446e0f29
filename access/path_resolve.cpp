#include "access/path_resolve.h"

#include "access/device.h"
#include "access/hard_links.h"
#include "access/library_results.h"
#include "access/names.h"
#include "access/path_cache.h"

#include <cerrno>

namespace {

constexpr uint32_t root_folder_cnid = 2;
constexpr std::string_view rsrc_component = "rsrc";

} // namespace

int hfs_resolve_path(hfslib_vol* vol, std::string_view path, hfslib_cat_rec* rec_out,
                     hfslib_cat_key* key_out, uint8_t* fork_out) {
    hfs_device* dev = hfs_get_device(vol);
    if (!dev || !rec_out || !key_out) return -EINVAL;
    if (fork_out) *fork_out = dev->default_fork;
    hfs_path_cache* cache = dev->cache.get();

    // A path ending in the suffix names the other fork of the path without
    // it ("/.rsrc" itself is an ordinary name).
    const std::string_view suffix = dev->rsrc_ext;
    const bool suffix_shaped = hfs_names_other_fork(vol, path.substr(path.empty() ? 0 : 1), true);

    if (hfs_path_cache_lookup(cache, path, *rec_out, *key_out,
                              suffix_shaped ? hfs_cache_accept::resolved_only
                                            : hfs_cache_accept::any))
        return 0;
    // An entry of a folder listed lately gives what the catalog search would
    // find (hard links resolved), and is cached as such a search result is.
    if (cache && !suffix_shaped && dev->listings.find(path, *rec_out, *key_out)) {
        hfs_path_cache_insert(cache, path, *rec_out, *key_out, hfs_cache_origin::resolved);
        return 0;
    }

    size_t start = hfs_path_cache_lookup_ancestor(cache, path, *rec_out, *key_out);
    if (start == 0) {
        int result =
            hfslib_find_cat_record_by_cnid(vol, root_folder_cnid, rec_out, key_out, nullptr);
        if (result != 0) return hfs_search_result(result);
    }

    std::string_view rest = path.substr(start);
    bool other_fork = false;
    if (suffix_shaped) {
        rest.remove_suffix(suffix.size());
        other_fork = true;
    }

    hfslib_cat_rec found{};
    while (!rest.empty()) {
        size_t slash = rest.find('/');
        std::string_view component = rest.substr(0, slash);
        rest = slash == std::string_view::npos ? std::string_view{} : rest.substr(slash + 1);
        if (component.empty()) continue;

        if (rec_out->type == HFSLIB_REC_FILE) {
            // Below a file only "rsrc" may follow: its resource fork.
            if (component != rsrc_component) return -ENOTDIR;
            other_fork = true;
            break;
        }
        if (int err = hfs_lookup_child(vol, rec_out->folder.cnid, component, false, &found, key_out,
                                       nullptr))
            return err;
        *rec_out = found;
    }
    if (hfs_resolve_links(vol, *rec_out, true, false) != 0) return -EIO;

    if (!other_fork) {
        hfs_path_cache_insert(cache, path, *rec_out, *key_out, hfs_cache_origin::resolved);
    } else if (fork_out) {
        *fork_out = static_cast<uint8_t>(~*fork_out);
    }
    return 0;
}

bool hfs_names_other_fork(const hfslib_vol* vol, std::string_view name, bool in_root) {
    const hfs_device* dev = hfs_get_device(vol);
    if (!dev || dev->rsrc_ext.empty() || !name.ends_with(dev->rsrc_ext)) return false;
    return !in_root || name.size() > dev->rsrc_ext.size();
}

int hfs_lookup_child(hfslib_vol* vol, uint32_t folder_cnid, std::string_view name, bool files,
                     hfslib_cat_rec* rec_out, hfslib_cat_key* key_out, uint32_t* link_cnid) {
    hfslib_uname uname{};
    if (int err = hfs_path_to_uname(name, uname); err != 0) return err;
    if (hfslib_make_cat_key(folder_cnid, uname.length, uname.units, key_out) == 0) return -EINVAL;
    if (int err = hfs_search_result(hfslib_find_cat_record(vol, key_out, rec_out, nullptr)))
        return err;
    if (rec_out->type != HFSLIB_REC_FOLDER && rec_out->type != HFSLIB_REC_FILE) return -EIO;
    if (link_cnid) *link_cnid = hfs_is_folder_link(*rec_out) ? rec_out->file.cnid : 0;
    if (hfs_resolve_links(vol, *rec_out, files, true) != 0) return -EIO;
    return 0;
}

void hfs_cache_record(hfslib_vol* vol, std::string_view path, const hfslib_cat_rec& rec,
                      const hfslib_cat_key& key) {
    if (hfs_device* dev = hfs_get_device(vol))
        hfs_path_cache_insert(dev->cache.get(), path, rec, key, hfs_cache_origin::listed);
}

void hfs_remember_listing(hfslib_vol* vol, std::string path,
                          std::shared_ptr<const hfs_listing> listing) {
    if (hfs_device* dev = hfs_get_device(vol))
        dev->listings.remember(std::move(path), std::move(listing));
}
