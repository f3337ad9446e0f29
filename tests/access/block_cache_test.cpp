// The block cache: correctness, few system calls for large reads, reuse of
// cached blocks and the grace period before a block is reclaimed.
#include "tests/support/capture.h"

#include "access/block_cache.h"

#include <cstring>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

namespace {

struct cache_fixture {
    std::vector<uint8_t> contents = qtest::pattern(1 << 20);
    qtest::temp_file image{contents};
    int fd = open(image.path().c_str(), O_RDONLY);
    ~cache_fixture() { close(fd); }
};

TEST(BlockCache, LargeReadIsOneSystemCall) {
    cache_fixture f;
    auto cache = block_cache::open(f.fd, 512, 64, 32);
    ASSERT_NE(cache, nullptr);
    std::vector<uint8_t> out(128 * 1024);
    ASSERT_EQ(cache->read_at(out, 4096 + 3), static_cast<ssize_t>(out.size()));
    EXPECT_EQ(0, std::memcmp(out.data(), f.contents.data() + 4099, out.size()));
    EXPECT_EQ(cache->device_reads(), 1u);
}

TEST(BlockCache, RepeatedNodeReadsHitTheCache) {
    cache_fixture f;
    auto cache = block_cache::open(f.fd, 512, 64, 32);
    std::vector<uint8_t> node(4096);
    ASSERT_EQ(cache->read_at(node, 8192), 4096);
    EXPECT_EQ(cache->device_reads(), 1u) << "a run of missing blocks is one read";
    for (int i = 0; i < 10; ++i) ASSERT_EQ(cache->read_at(node, 8192), 4096);
    EXPECT_EQ(cache->device_reads(), 1u);
    std::vector<uint8_t> part(100);
    ASSERT_EQ(cache->read_at(part, 8192 + 1000), 100);
    EXPECT_EQ(0, std::memcmp(part.data(), f.contents.data() + 9192, 100));
    EXPECT_EQ(cache->device_reads(), 1u);
}

TEST(BlockCache, BlocksInUseSurviveABurstOfOneOffReads) {
    cache_fixture f;
    // Eight blocks, reclaimed only after 100 requests without use.
    auto cache = block_cache::open(f.fd, 512, 8, 100);
    std::vector<uint8_t> hot(1024);
    ASSERT_EQ(cache->read_at(hot, 0), 1024); // two blocks
    std::vector<uint8_t> one(512);
    for (int i = 0; i < 50; ++i) {
        ASSERT_EQ(cache->read_at(one, 512 * (100 + i)), 512);
        EXPECT_EQ(0, std::memcmp(one.data(), f.contents.data() + 512 * (100 + i), 512));
    }
    uint64_t before = cache->device_reads();
    ASSERT_EQ(cache->read_at(hot, 0), 1024);
    EXPECT_EQ(cache->device_reads(), before) << "the hot blocks were not reclaimed";
    EXPECT_EQ(0, std::memcmp(hot.data(), f.contents.data(), 1024));
}

TEST(BlockCache, UnusedBlocksAreReclaimedAfterTheGrace) {
    cache_fixture f;
    auto cache = block_cache::open(f.fd, 512, 2, 1);
    std::vector<uint8_t> one(512);
    for (int round = 0; round < 3; ++round)
        for (int b = 0; b < 4; ++b) {
            ASSERT_EQ(cache->read_at(one, 512 * b), 512);
            ASSERT_EQ(0, std::memcmp(one.data(), f.contents.data() + 512 * b, 512));
        }
    EXPECT_GT(cache->hits() + cache->device_reads(), 0u);
}

TEST(BlockCache, ShortAtTheEndOfTheDevice) {
    std::vector<uint8_t> contents = qtest::pattern(1000);
    qtest::temp_file image(contents);
    int fd = open(image.path().c_str(), O_RDONLY);
    auto cache = block_cache::open(fd, 512, 16, 4);
    std::vector<uint8_t> out(600);
    EXPECT_EQ(cache->read_at(out, 500), 500);
    EXPECT_EQ(0, std::memcmp(out.data(), contents.data() + 500, 500));
    EXPECT_EQ(cache->read_at(out, 500), 500) << "the partial block is cached with its length";
    EXPECT_EQ(cache->read_at(out, 5000), 0);
    close(fd);
}

TEST(BlockCache, ZeroBlockSizeIsRefused) {
    EXPECT_EQ(block_cache::open(0, 0, 8, 8), nullptr);
}

} // namespace
