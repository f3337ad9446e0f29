// The lookup cache.
#include "access/path_cache.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

namespace {

// A record and key that carry `id`, so a hit tells which insertion it came from.
hfslib_cat_rec rec(uint32_t id) {
    hfslib_cat_rec r{};
    r.type = HFSLIB_REC_FOLDER;
    r.folder.cnid = id;
    r.folder.valence = ~id;
    return r;
}

hfslib_cat_key key(uint32_t id) {
    hfslib_cat_key k{};
    k.parent_cnid = id;
    k.name.length = 2;
    k.name.units[0] = static_cast<uint16_t>(id);
    k.name.units[1] = static_cast<uint16_t>(id >> 16);
    k.key_len = 10;
    return k;
}

void put(hfs_path_cache* c, std::string_view path, uint32_t id,
         hfs_cache_origin origin = hfs_cache_origin::resolved) {
    hfs_path_cache_insert(c, path, rec(id), key(id), origin);
}

// The id found for `path`, or 0 on a miss. Checks that record and key agree.
uint32_t get(hfs_path_cache* c, std::string_view path,
             hfs_cache_accept accept = hfs_cache_accept::any) {
    hfslib_cat_rec r = rec(0);
    hfslib_cat_key k = key(0);
    if (!hfs_path_cache_lookup(c, path, r, k, accept)) {
        EXPECT_EQ(r.folder.cnid, 0u) << "record changed on a miss";
        EXPECT_EQ(k.parent_cnid, 0u) << "key changed on a miss";
        return 0;
    }
    EXPECT_EQ(r.folder.valence, ~r.folder.cnid);
    EXPECT_EQ(k.parent_cnid, r.folder.cnid);
    EXPECT_EQ(k.name.length, 2);
    EXPECT_EQ(k.name.units[0], static_cast<uint16_t>(r.folder.cnid));
    return r.folder.cnid;
}

std::pair<size_t, uint32_t> ancestor(hfs_path_cache* c, std::string_view path) {
    hfslib_cat_rec r = rec(0);
    hfslib_cat_key k = key(0);
    size_t len = hfs_path_cache_lookup_ancestor(c, path, r, k);
    EXPECT_EQ(k.parent_cnid, r.folder.cnid);
    return {len, r.folder.cnid};
}

TEST(PathCache, ZeroSlotsMeansNoCacheAndTheNullCacheIsInert) {
    EXPECT_EQ(hfs_path_cache_create(0), nullptr);
    put(nullptr, "/a", 1);
    EXPECT_EQ(get(nullptr, "/a"), 0u);
    EXPECT_EQ(ancestor(nullptr, "/a/b"), std::make_pair(size_t{0}, 0u));
    hfs_path_cache_destroy(nullptr);
}

TEST(PathCache, ImpossibleSizeYieldsNoCache) {
    EXPECT_EQ(hfs_path_cache_create(SIZE_MAX), nullptr);
}

TEST(PathCache, OneSlotHoldsOnlyTheLastInsertion) {
    hfs_path_cache_ptr c(hfs_path_cache_create(1));
    ASSERT_TRUE(c);
    EXPECT_EQ(get(c.get(), "/a"), 0u);
    put(c.get(), "/a", 1);
    EXPECT_EQ(get(c.get(), "/a"), 1u);
    put(c.get(), "/b", 2);
    EXPECT_EQ(get(c.get(), "/a"), 0u);
    EXPECT_EQ(get(c.get(), "/b"), 2u);
    put(c.get(), "/b", 3);
    EXPECT_EQ(get(c.get(), "/b"), 3u);
}

TEST(PathCache, FirstInFirstOutAndLookupsDoNotReorder) {
    constexpr uint32_t n = 5;
    hfs_path_cache_ptr c(hfs_path_cache_create(n));
    for (uint32_t i = 1; i <= n; ++i) put(c.get(), "/p" + std::to_string(i), i);
    for (uint32_t i = 1; i <= n; ++i) EXPECT_EQ(get(c.get(), "/p" + std::to_string(i)), i);
    // Looking the oldest up often does not save it.
    for (int i = 0; i < 10; ++i) EXPECT_EQ(get(c.get(), "/p1"), 1u);
    put(c.get(), "/p6", 6);
    EXPECT_EQ(get(c.get(), "/p1"), 0u);
    for (uint32_t i = 2; i <= 6; ++i) EXPECT_EQ(get(c.get(), "/p" + std::to_string(i)), i);
    // Several more turns of the ring, with names of changing lengths.
    for (uint32_t i = 7; i <= 40; ++i) put(c.get(), "/" + std::string(i, 'q'), i);
    for (uint32_t i = 7; i <= 40; ++i)
        EXPECT_EQ(get(c.get(), "/" + std::string(i, 'q')), i > 40 - n ? i : 0u);
}

TEST(PathCache, DuplicatesTakeTwoSlotsAndTheNewestWins) {
    hfs_path_cache_ptr c(hfs_path_cache_create(3));
    put(c.get(), "/a", 1);
    put(c.get(), "/a", 2);
    EXPECT_EQ(get(c.get(), "/a"), 2u);
    put(c.get(), "/b", 3);
    put(c.get(), "/c", 4); // pushes out the first /a only
    EXPECT_EQ(get(c.get(), "/a"), 2u);
    put(c.get(), "/d", 5); // and now the second
    EXPECT_EQ(get(c.get(), "/a"), 0u);
}

TEST(PathCache, MatchingIsByExactLengthAndBytes) {
    hfs_path_cache_ptr c(hfs_path_cache_create(8));
    put(c.get(), "/a", 1);
    EXPECT_EQ(get(c.get(), "/a"), 1u);
    for (std::string_view other : {"/a/", "/A", "/ab", "/", "", "a"})
        EXPECT_EQ(get(c.get(), other), 0u);
    EXPECT_EQ(get(c.get(), std::string_view("/a\0", 3)), 0u);
    // Bytes after a NUL count too.
    put(c.get(), std::string_view("/x\0y", 4), 2);
    EXPECT_EQ(get(c.get(), std::string_view("/x\0y", 4)), 2u);
    EXPECT_EQ(get(c.get(), std::string_view("/x\0z", 4)), 0u);
    EXPECT_EQ(get(c.get(), "/x"), 0u);
}

TEST(PathCache, AncestorIsTheLongestHeldProperPrefix) {
    hfs_path_cache_ptr c(hfs_path_cache_create(8));
    EXPECT_EQ(ancestor(c.get(), "/a/b/c"), std::make_pair(size_t{0}, 0u));
    put(c.get(), "/a", 1);
    EXPECT_EQ(ancestor(c.get(), "/a/b/c"), std::make_pair(size_t{2}, 1u));
    put(c.get(), "/a/b", 2);
    EXPECT_EQ(ancestor(c.get(), "/a/b/c"), std::make_pair(size_t{4}, 2u));
    // The path itself is not a proper prefix.
    put(c.get(), "/a/b/c", 3);
    EXPECT_EQ(ancestor(c.get(), "/a/b/c"), std::make_pair(size_t{4}, 2u));
    // A trailing slash makes the whole name a prefix ending before a '/'.
    EXPECT_EQ(ancestor(c.get(), "/a/b/c/"), std::make_pair(size_t{6}, 3u));
    // Prefixes are taken byte for byte: "/a//b" tries "/a/" then "/a".
    EXPECT_EQ(ancestor(c.get(), "/a//b"), std::make_pair(size_t{2}, 1u));
    put(c.get(), "/a/", 4);
    EXPECT_EQ(ancestor(c.get(), "/a//b"), std::make_pair(size_t{3}, 4u));
    // "/ab/c" is not below "/a".
    EXPECT_EQ(ancestor(c.get(), "/ab/c"), std::make_pair(size_t{0}, 0u));
    // Listed entries serve as ancestors as well.
    put(c.get(), "/d.rsrc", 5, hfs_cache_origin::listed);
    EXPECT_EQ(ancestor(c.get(), "/d.rsrc/x"), std::make_pair(size_t{7}, 5u));
}

TEST(PathCache, AncestorLookupNeverTriesTheRoot) {
    hfs_path_cache_ptr c(hfs_path_cache_create(4));
    // Whatever the root is held as, it is never the answer.
    put(c.get(), "/", 1);
    put(c.get(), "", 2);
    EXPECT_EQ(ancestor(c.get(), "/x"), std::make_pair(size_t{0}, 0u));
    EXPECT_EQ(ancestor(c.get(), "/x/y/z"), std::make_pair(size_t{0}, 0u));
    EXPECT_EQ(ancestor(c.get(), "/"), std::make_pair(size_t{0}, 0u));
    EXPECT_EQ(ancestor(c.get(), ""), std::make_pair(size_t{0}, 0u));
}

TEST(PathCache, ListedEntriesDoNotAnswerResolvedOnlyLookups) {
    hfs_path_cache_ptr c(hfs_path_cache_create(8));
    put(c.get(), "/d/a.rsrc", 1, hfs_cache_origin::listed);
    EXPECT_EQ(get(c.get(), "/d/a.rsrc"), 1u);
    EXPECT_EQ(get(c.get(), "/d/a.rsrc", hfs_cache_accept::resolved_only), 0u);
    // An older resolved entry of the same path is still found behind a newer
    // listed one.
    put(c.get(), "/d/b.rsrc", 2, hfs_cache_origin::resolved);
    put(c.get(), "/d/b.rsrc", 3, hfs_cache_origin::listed);
    EXPECT_EQ(get(c.get(), "/d/b.rsrc"), 3u);
    EXPECT_EQ(get(c.get(), "/d/b.rsrc", hfs_cache_accept::resolved_only), 2u);
}

// Name allocator that fails while `fail_names` is set.
std::atomic<bool> fail_names{false};
std::atomic<unsigned> fail_every{0}; // > 0: fail every n-th call
std::atomic<unsigned> realloc_calls{0};

void* test_realloc(void* block, size_t size) {
    const unsigned call = ++realloc_calls;
    const unsigned every = fail_every.load();
    if (fail_names.load() || (every && call % every == 0)) return nullptr;
    return std::realloc(block, size);
}

TEST(PathCache, FailedNameAllocationEmptiesTheCache) {
    fail_names = false;
    hfs_path_cache_ptr c(hfs_path_cache_create(3, test_realloc));
    put(c.get(), "/a", 1);
    put(c.get(), "/b", 2);
    fail_names = true;
    put(c.get(), "/c", 3); // a fresh slot
    fail_names = false;
    for (auto p : {"/a", "/b", "/c"}) EXPECT_EQ(get(c.get(), p), 0u) << p;
    EXPECT_EQ(ancestor(c.get(), "/a/x"), std::make_pair(size_t{0}, 0u));

    // The ring works as before afterwards.
    for (uint32_t i = 10; i < 14; ++i) put(c.get(), "/n" + std::to_string(i), i);
    EXPECT_EQ(get(c.get(), "/n10"), 0u);
    for (uint32_t i = 11; i < 14; ++i) EXPECT_EQ(get(c.get(), "/n" + std::to_string(i)), i);

    // A failure while reusing an occupied slot empties it too.
    fail_names = true;
    put(c.get(), "/long/name/that/must/grow", 20);
    fail_names = false;
    for (uint32_t i = 11; i < 14; ++i) EXPECT_EQ(get(c.get(), "/n" + std::to_string(i)), 0u);
    put(c.get(), "/z", 21);
    EXPECT_EQ(get(c.get(), "/z"), 21u);
}

// Readers and writers at once: every hit must be a whole entry (record and
// key from the same insertion, for the path asked). Run under ThreadSanitizer
// for data races; here it checks consistency.
TEST(PathCache, ConcurrentLookupsAndInsertions) {
    fail_names = false;
    fail_every = 997; // now and then a failed allocation empties the cache
    hfs_path_cache_ptr c(hfs_path_cache_create(64, test_realloc));
    constexpr int kWriters = 2, kReaders = 3, kRounds = 4000, kPaths = 200;
    auto path_of = [](int i) { return "/dir" + std::to_string(i % 7) + "/f" + std::to_string(i); };
    std::atomic<long> hits{0};
    std::atomic<bool> mismatch{false};

    std::vector<std::thread> threads;
    for (int w = 0; w < kWriters; ++w)
        threads.emplace_back([&, w] {
            for (int r = 0; r < kRounds; ++r) {
                const int i = (r * 31 + w * 17) % kPaths;
                const auto id = static_cast<uint32_t>(i + 1);
                hfs_path_cache_insert(c.get(), path_of(i), rec(id), key(id),
                                      (r & 1) ? hfs_cache_origin::listed
                                              : hfs_cache_origin::resolved);
                if (r % 50 == 0)
                    hfs_path_cache_insert(c.get(), "/dir" + std::to_string(i % 7),
                                          rec(1000 + i % 7), key(1000 + i % 7),
                                          hfs_cache_origin::resolved);
            }
        });
    for (int t = 0; t < kReaders; ++t)
        threads.emplace_back([&, t] {
            for (int r = 0; r < kRounds; ++r) {
                const int i = (r * 13 + t * 7) % kPaths;
                hfslib_cat_rec rr{};
                hfslib_cat_key kk{};
                if (hfs_path_cache_lookup(c.get(), path_of(i), rr, kk,
                                          (r & 1) ? hfs_cache_accept::resolved_only
                                                  : hfs_cache_accept::any)) {
                    ++hits;
                    if (rr.folder.cnid != static_cast<uint32_t>(i + 1) ||
                        kk.parent_cnid != rr.folder.cnid || rr.folder.valence != ~rr.folder.cnid)
                        mismatch = true;
                }
                const std::string below = path_of(i) + "/x";
                const size_t len = hfs_path_cache_lookup_ancestor(c.get(), below, rr, kk);
                if (len == path_of(i).size()) {
                    if (rr.folder.cnid != static_cast<uint32_t>(i + 1)) mismatch = true;
                } else if (len != 0) {
                    if (len != 5 || rr.folder.cnid != static_cast<uint32_t>(1000 + i % 7))
                        mismatch = true;
                }
                if (kk.parent_cnid != rr.folder.cnid) mismatch = true;
            }
        });
    for (auto& t : threads) t.join();
    fail_every = 0;
    EXPECT_FALSE(mismatch.load());
    EXPECT_GT(hits.load(), 0);
}

} // namespace
