// The lookup cache: a fixed ring of recently resolved or listed paths and the
// catalog record and key each one leads to.
//
// Replacement is strictly first in, first out: an insertion always takes the
// slot filled longest ago (or the next empty one); lookups never reorder. The
// same path may be held by several slots; the newest is found first. Matching
// is by exact length and bytes ("/a" matches neither "/a/", "/A" nor "/ab").
// Entries never expire (the volume is read-only). One read-write lock guards
// the cache: lookups hold it shared, insertions exclusively. It is held only
// while the ring is scanned or changed (never across a catalog access), so it
// neither waits for nor is waited for by any other lock of the program.
//
// A null cache (caching off, cache_size 0) is accepted everywhere: lookups
// miss and insertions do nothing.
//
// Errors: nothing here fails in a way callers must handle: lookups answer
// with bool or a length (a miss is no error), the maker returns null when
// memory is short, and an insertion that cannot keep its entry drops it.
//
// What an entry means
// -------------------
// Every entry maps a path to the item its components name literally: the
// record of that on-disk item (hard links already replaced by their targets)
// and the catalog key under which its last component was found (the CNID of
// the folder that holds the name - for a folder reached through a folder hard
// link, the folder holding the link - and the name). An entry never stands for
// "the other fork" of anything. Each entry also says who put it there:
//
//   hfs_cache_origin::resolved  the resolver, after resolving exactly this path
//                               and finding that it names the item itself
//                               (no fork flip);
//   hfs_cache_origin::listed    directory reading, for an entry it listed
//                               (path = folder path + the listed name).
//
// The rule the resolver follows
// -----------------------------
// 1. A path P of length L is "suffix-shaped" when the device has a
//    resource-fork suffix of n bytes, L > n + 1 and P ends with the suffix.
//    Such a path names the other fork of P without the suffix, so a listed
//    entry for P (an on-disk item whose name happens to end with the suffix)
//    must not answer it. The exact lookup of a suffix-shaped path is made with
//    hfs_cache_accept::resolved_only; every other path with
//    hfs_cache_accept::any.
// 2. The resolver inserts a path only when it names the item itself (never
//    when the suffix or a trailing "rsrc" component flipped the fork), always
//    with hfs_cache_origin::resolved, and with the key of the final component.
//    Directory reading inserts with hfs_cache_origin::listed.
// 3. Ancestor lookups accept every entry: a proper prefix ending before a '/'
//    is only ever walked through literally, whatever its last name looks like.
// With these rules a suffix-shaped path is answered from the cache only by
// what the resolver itself decided for that exact path, so cached and
// uncached resolution agree.
#pragma once

#include "libhfs/libhfs.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>

struct hfs_path_cache;

enum class hfs_cache_origin : uint8_t {
    resolved, // inserted by path resolution for exactly this path
    listed,   // inserted by directory reading for a listed entry
};

enum class hfs_cache_accept : uint8_t {
    any,           // every entry of the path answers
    resolved_only, // only entries the resolver inserted (suffix-shaped paths)
};

// Grows, shrinks or allocates (block null) a name buffer, like std::realloc;
// returns null on failure and leaves the block alone. Blocks are released with
// std::free. Injectable so that tests can make an allocation fail.
using hfs_path_cache_realloc_fn = void* (*)(void* block, size_t size);

// A cache of `slots` entries, all allocated now; name buffers come from
// `name_realloc` (std::realloc when null). 0 slots, or a failure to allocate,
// yields null.
hfs_path_cache* hfs_path_cache_create(size_t slots,
                                      hfs_path_cache_realloc_fn name_realloc = nullptr) noexcept;

// Releases the cache and every name it holds. Null is accepted.
void hfs_path_cache_destroy(hfs_path_cache* cache) noexcept;

// Finds the newest entry for exactly `path` that `accept` allows. On a hit
// fills record and key and returns true; otherwise leaves them alone.
bool hfs_path_cache_lookup(hfs_path_cache* cache, std::string_view path, hfslib_cat_rec& record,
                           hfslib_cat_key& key,
                           hfs_cache_accept accept = hfs_cache_accept::any) noexcept;

// The longest cached proper prefix of `path` that ends just before a '/':
// tries the prefixes from the longest down ("/a/b/c": "/a/b", then "/a") and
// never the root (the empty prefix). Returns its length and fills record and
// key, or returns 0 when none is held. Any origin answers. `path` is not
// modified; the lock is taken once per prefix tried.
size_t hfs_path_cache_lookup_ancestor(hfs_path_cache* cache, std::string_view path,
                                      hfslib_cat_rec& record, hfslib_cat_key& key) noexcept;

// Stores `path` with its record and the key of its final component in the
// slot filled longest ago. If the slot's name buffer cannot be allocated the
// whole cache is emptied and this entry is dropped (nothing is reported).
void hfs_path_cache_insert(hfs_path_cache* cache, std::string_view path,
                           const hfslib_cat_rec& record, const hfslib_cat_key& key,
                           hfs_cache_origin origin) noexcept;

// Owning handle for code that wants RAII.
struct hfs_path_cache_deleter {
    void operator()(hfs_path_cache* cache) const noexcept { hfs_path_cache_destroy(cache); }
};
using hfs_path_cache_ptr = std::unique_ptr<hfs_path_cache, hfs_path_cache_deleter>;
