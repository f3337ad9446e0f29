// Path resolution: an absolute POSIX path to the catalog record it names,
// the key of its last component and the fork it selects.
//
// Errors: 0 or a negative errno value.
#pragma once

#include "access/listing.h"
#include "libhfs/libhfs.h"

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

// Resolves `path` (absolute, UTF-8, '/'-separated). On success (0) `rec_out`
// holds the record (hard links replaced by their targets), `key_out` the key
// under which the last component was found, and `fork_out` (when given) the
// fork the path names: the device's default fork, or the other one when the
// path ends in the resource-fork suffix or a "rsrc" component after a file.
// Errors: -ENOENT (a component is missing, or is not valid UTF-8), -ENOTDIR
// (a component after a file), -ENOMEM (no memory), -EINVAL (a name that cannot be
// converted or keyed), -ENAMETOOLONG (a component longer than any on-disk
// name), -EIO (the catalog could not be read).
int hfs_resolve_path(hfslib_vol* vol, std::string_view path, hfslib_cat_rec* rec_out,
                     hfslib_cat_key* key_out, uint8_t* fork_out);

// Whether `name`, a component under a folder (the root when `in_root`),
// names the other fork of the name without the resource-fork suffix: the
// device has a suffix and `name` ends with it. In the root the name must be
// longer than the suffix ("/.rsrc" is an ordinary name); elsewhere the
// suffix alone names the other fork of the folder itself, as the path
// "/d/.rsrc" does.
bool hfs_names_other_fork(const hfslib_vol* vol, std::string_view name, bool in_root);

// Finds the child `name` (a UTF-8 component) of folder `folder_cnid` by
// catalog search, with the name rules of path resolution (decomposition,
// ':' for '/'). `rec_out` gets its record (folder links replaced by their
// targets, and file links too when `files` is set), `key_out` the key it
// was found under, `link_cnid` (when given) the CNID of the folder link it
// was found through (0 when none). Errors as hfs_resolve_path.
int hfs_lookup_child(hfslib_vol* vol, uint32_t folder_cnid, std::string_view name, bool files,
                     hfslib_cat_rec* rec_out, hfslib_cat_key* key_out, uint32_t* link_cnid);

// Remembers a listed directory entry (folder path + name) in the lookup
// cache with its record and the key it was listed under.
void hfs_cache_record(hfslib_vol* vol, std::string_view path, const hfslib_cat_rec& rec,
                      const hfslib_cat_key& key);

// Keeps `listing` among the device's recent listings as the listing of the
// folder opened as `path` (with a final '/'), whose entries then resolve
// like listed lookup-cache entries (with the lookup cache on).
void hfs_remember_listing(hfslib_vol* vol, std::string path,
                          std::shared_ptr<const hfs_listing> listing);
