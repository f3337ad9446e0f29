// Compressed files: unit decoding, chunk tables of both layouts, the chunk
// cache and the exact-length rule on resource forks held in memory; and
// every type on builder volumes, checked against the source bytes, the
// reference LZFSE/LZVN vectors and 7-Zip's extraction.
#include "access/decmpfs.h"
#include "access/stat.h"
#include "libhfs/libhfs.h"
#include "tests/support/builder.h"
#include "tests/support/volume.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

using bytes = std::vector<uint8_t>;
constexpr size_t chunk = 65536;

void le32(bytes& b, uint32_t v) {
    for (int i = 0; i < 4; ++i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
}
void le64(bytes& b, uint64_t v) {
    le32(b, static_cast<uint32_t>(v));
    le32(b, static_cast<uint32_t>(v >> 32));
}
void be32(bytes& b, uint32_t v) {
    for (int i = 3; i >= 0; --i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

bytes header(uint32_t type, uint64_t size, const bytes& payload = {}) {
    bytes b{'f', 'p', 'm', 'c'};
    le32(b, type);
    le64(b, size);
    b.insert(b.end(), payload.begin(), payload.end());
    return b;
}

bytes zlib(const bytes& raw) {
    uLongf len = compressBound(raw.size());
    bytes out(len);
    EXPECT_EQ(compress2(out.data(), &len, raw.data(), raw.size(), 9), Z_OK);
    out.resize(len);
    return out;
}

bytes stored(uint8_t marker, const bytes& raw) {
    bytes out{marker};
    out.insert(out.end(), raw.begin(), raw.end());
    return out;
}

bytes slice(const bytes& b, size_t from, size_t len) {
    return bytes(b.begin() + from, b.begin() + std::min(b.size(), from + len));
}

// A resource fork with the resource header: D = 0x100, the count and
// (offset, length) pairs at D + 4, offsets from D + 4.
bytes resource_fork(const std::vector<bytes>& chunks) {
    bytes table;
    le32(table, static_cast<uint32_t>(chunks.size()));
    uint32_t off = 4 + 8 * static_cast<uint32_t>(chunks.size());
    for (const auto& c : chunks) {
        le32(table, off);
        le32(table, static_cast<uint32_t>(c.size()));
        off += static_cast<uint32_t>(c.size());
    }
    bytes fork;
    be32(fork, 0x100);
    fork.resize(0x100, 0);
    be32(fork, static_cast<uint32_t>(table.size()));
    fork.insert(fork.end(), table.begin(), table.end());
    for (const auto& c : chunks) fork.insert(fork.end(), c.begin(), c.end());
    return fork;
}

// A resource fork that begins with N + 1 offsets from the fork start.
bytes offset_fork(const std::vector<bytes>& chunks) {
    bytes fork;
    uint32_t off = 4 * static_cast<uint32_t>(chunks.size() + 1);
    le32(fork, off);
    for (const auto& c : chunks) le32(fork, off += static_cast<uint32_t>(c.size()));
    for (const auto& c : chunks) fork.insert(fork.end(), c.begin(), c.end());
    return fork;
}

// A resource fork held in memory at block 0 of a 4096-byte-block volume.
struct mem_volume {
    qtest::device dev;
    hfslib_vol vol{};
    hfslib_extent extent{};

    mem_volume() { qtest::install_hooks(&dev); }
    ~mem_volume() { qtest::install_hooks(nullptr); }

    hfs_decmp_ptr open(const bytes& attr, const bytes& fork, int& err) {
        dev.bytes = fork;
        dev.bytes.resize((fork.size() + 4095) / 4096 * 4096 + 4096, 0);
        vol = hfslib_vol{};
        vol.vh.block_size = 4096;
        vol.vh.total_blocks = static_cast<uint32_t>(dev.bytes.size() / 4096);
        vol.device = &dev;
        extent = {0, static_cast<uint32_t>((fork.size() + 4095) / 4096)};
        hfs_decmp_ptr s;
        err = hfs_decmp_open_extents(&vol, 30, static_cast<uint32_t>(attr.size()), attr.data(),
                                     {&extent, 1}, s);
        return s;
    }

    // Reads [offset, offset + len) whole; the result of the last call.
    int read(hfs_decmp* s, bytes& out, size_t len, int64_t offset) {
        out.assign(len, 0xAA);
        const int rc = hfs_decmp_read(&vol, s, out.data(), len, offset);
        if (rc >= 0) out.resize(static_cast<size_t>(rc));
        return rc;
    }
};

// ---------------------------------------------------------------------------
// One unit

TEST(DecmpUnpack, StoredMarkersEmptyUnitsAndDestinationBounds) {
    qtest::install_hooks(nullptr);
    bytes dst(8, 0xEE);
    size_t out = 99;
    const bytes raw{1, 2, 3, 4};
    EXPECT_EQ(hfs_decmp_unpack(4, dst.data(), 8, nullptr, 0, &out), -EIO);
    EXPECT_EQ(out, 0u);
    bytes empty;
    EXPECT_EQ(hfs_decmp_unpack(8, dst.data(), 8, raw.data(), 0, &out), -EIO); // empty unit
    EXPECT_EQ(hfs_decmp_unpack(3, dst.data(), 8, stored(0xFF, raw).data(), 5, &out), 0);
    EXPECT_EQ(out, 4u);
    EXPECT_EQ(slice(dst, 0, 4), raw);
    EXPECT_EQ(hfs_decmp_unpack(11, dst.data(), 8, stored(0x06, raw).data(), 5, &out), 0);
    EXPECT_EQ(out, 4u);

    // A stored unit longer than its destination is refused, nothing past
    // the destination written.
    bytes small(6, 0xEE);
    const bytes long_unit = stored(0xFF, bytes(10, 7));
    EXPECT_EQ(hfs_decmp_unpack(4, small.data(), 3, long_unit.data(), long_unit.size(), &out), -EIO);
    EXPECT_EQ(small[3], 0xEE);

    // zlib's failures become -EIO.
    const bytes z = zlib(bytes(100, 'q'));
    bytes big(200);
    EXPECT_EQ(hfs_decmp_unpack(4, big.data(), big.size(), z.data(), z.size(), &out), 0);
    EXPECT_EQ(out, 100u);
    EXPECT_EQ(hfs_decmp_unpack(4, big.data(), 50, z.data(), z.size(), &out), -EIO);
    bytes junk = z;
    junk[0] = 0x12;
    EXPECT_EQ(hfs_decmp_unpack(3, big.data(), big.size(), junk.data(), junk.size(), &out), -EIO);

    // Unknown and zero types.
    qtest::clear_messages();
    EXPECT_EQ(hfs_decmp_unpack(9, big.data(), big.size(), z.data(), z.size(), &out), -EINVAL);
    EXPECT_TRUE(qtest::has_message("invalid decmpfs type 9\n")) << qtest::all_messages();
}

// st_blksize: one chunk for types kept in the resource fork, the whole file
// otherwise; a type without a decoder is shown by its number's parity.
TEST(DecmpStat, PreferredIoSizeByType) {
    struct row {
        uint8_t type;
        uint64_t size, want;
    };
    for (const row& r : std::initializer_list<row>{{3, 200000, 200000},
                                                   {4, 200000, 65536},
                                                   {4, 1000, 1000},
                                                   {5, 70000, 70000},
                                                   {12, 150000, 65536},
                                                   {9, 200000, 200000},
                                                   {10, 200000, 65536},
                                                   {0, 200000, 65536}}) {
        const hfs_decmp_info info{r.type, r.size};
        EXPECT_EQ(hfs_decmp_blksize(&info), r.want) << unsigned{r.type};
    }
}

std::string compress_dir() {
    return QUORVEL_SHARED_COMPRESS;
}

std::optional<bytes> vector_file(const std::string& name) {
    return qtest::read_file(compress_dir() + "/" + name);
}

TEST(DecmpUnpack, LzTypesPickRawLzvnOrLzfseBlocks) {
    auto lzvn = vector_file("lzvn/text-4097.lzvn");
    auto lzfse = vector_file("lzfse/text-4097.lzfse");
    auto raw = vector_file("lzvn/text-4097.raw");
    if (!lzvn || !lzfse || !raw) GTEST_SKIP() << "reference vectors absent";
    bytes dst(raw->size() + 1);
    size_t out = 0;
    for (uint8_t type : {7, 8}) {
        // Raw LZVN, and an LZFSE stream recognised by its block magic.
        ASSERT_EQ(hfs_decmp_unpack(type, dst.data(), dst.size(), lzvn->data(), lzvn->size(), &out),
                  0);
        EXPECT_EQ(slice(dst, 0, out), *raw);
        ASSERT_EQ(
            hfs_decmp_unpack(type, dst.data(), dst.size(), lzfse->data(), lzfse->size(), &out), 0);
        EXPECT_EQ(slice(dst, 0, out), *raw);
    }
    for (uint8_t type : {11, 12}) {
        ASSERT_EQ(
            hfs_decmp_unpack(type, dst.data(), dst.size(), lzfse->data(), lzfse->size(), &out), 0);
        EXPECT_EQ(slice(dst, 0, out), *raw);
        // Types 11 and 12 take LZFSE only: raw LZVN decodes to nothing.
        hfs_decmp_unpack(type, dst.data(), dst.size(), lzvn->data(), lzvn->size(), &out);
        EXPECT_EQ(out, 0u);
    }
}

// ---------------------------------------------------------------------------
// Opening and reading on resource forks in memory

TEST(DecmpOpen, HeadersAndInlinePayloads) {
    mem_volume m;
    int err = 0;
    EXPECT_FALSE(m.open(bytes{'f', 'p', 'm', 'c'}, {}, err));
    EXPECT_EQ(err, -EINVAL);
    bytes bad = header(3, 5);
    bad[0] = 'x';
    EXPECT_FALSE(m.open(bad, {}, err));
    EXPECT_EQ(err, -EINVAL);
    // Only the low byte of the type field counts: 0x100 is type 0.
    for (uint32_t type : {0u, 1u, 2u, 6u, 9u, 10u, 13u, 0x100u}) {
        EXPECT_FALSE(m.open(header(type, 5), {}, err)) << type;
        EXPECT_EQ(err, -EINVAL);
    }

    // Type 3 with and without the stored marker.
    const bytes text = qtest::sample("text", 3000);
    bytes out;
    for (const bytes& payload : {zlib(text), stored(0xFF, text)}) {
        auto s = m.open(header(3, text.size(), payload), {}, err);
        ASSERT_TRUE(s);
        EXPECT_EQ(err, 0);
        EXPECT_EQ(m.read(s.get(), out, 5000, 0), 3000);
        EXPECT_EQ(out, text);
        EXPECT_EQ(m.read(s.get(), out, 10, 2995), 5);
        EXPECT_EQ(m.read(s.get(), out, 10, 3000), 0);
        EXPECT_EQ(m.read(s.get(), out, 10, -1), -EINVAL);
    }

    // A payload that fails, decodes short or long, or is empty: the open
    // fails with -EIO.
    bytes broken = zlib(text);
    broken[broken.size() / 2] ^= 0x55;
    for (const bytes& attr :
         {header(3, text.size(), broken), header(3, text.size() + 1, zlib(text)),
          header(3, text.size() - 1, zlib(text)), header(3, 10),
          header(3, 10, stored(0xFF, bytes(11, 1))), header(7, 4097, bytes{0x77, 0x01})}) {
        EXPECT_FALSE(m.open(attr, {}, err));
        EXPECT_EQ(err, -EIO);
    }
    // A size no inline payload can stand for is refused before anything is
    // allocated.
    EXPECT_FALSE(m.open(header(3, uint64_t{1} << 62, zlib(text)), {}, err));
    EXPECT_EQ(err, -EIO);

    // An empty file needs no payload.
    auto empty = m.open(header(11, 0), {}, err);
    ASSERT_TRUE(empty);
    EXPECT_EQ(m.read(empty.get(), out, 10, 0), 0);
}

TEST(DecmpRead, TypeFiveReadsZeros) {
    mem_volume m;
    int err = 0;
    auto s = m.open(header(5, 100000), {}, err);
    ASSERT_TRUE(s);
    bytes out;
    EXPECT_EQ(m.read(s.get(), out, 4096, 99000), 1000);
    EXPECT_EQ(out, bytes(1000, 0));
    EXPECT_EQ(m.read(s.get(), out, 4096, 100000), 0);
    EXPECT_EQ(s->info().size, 100000u);
    EXPECT_EQ(s->info().type, 5);
}

std::vector<bytes> zlib_chunks(const bytes& data) {
    std::vector<bytes> out;
    for (size_t at = 0; at < data.size(); at += chunk) out.push_back(zlib(slice(data, at, chunk)));
    return out;
}

TEST(DecmpRead, ChunkBoundariesShortLastChunkAndTheCache) {
    mem_volume m;
    int err = 0;
    const bytes data = qtest::sample("text", 200000, 5);
    auto s = m.open(header(4, data.size()), resource_fork(zlib_chunks(data)), err);
    ASSERT_TRUE(s) << err;
    EXPECT_EQ(s->chunk_count, 4u);

    // 2 bytes of chunk 1, then 4094 of chunk 2.
    bytes out;
    ASSERT_EQ(m.read(s.get(), out, 4096, 131070), 4096);
    EXPECT_EQ(out, slice(data, 131070, 4096));
    EXPECT_EQ(s->decodes, 2u);

    // Two reads inside chunk 2 decode it once more at most: it is cached.
    ASSERT_EQ(m.read(s.get(), out, 100, 140000), 100);
    EXPECT_EQ(out, slice(data, 140000, 100));
    ASSERT_EQ(m.read(s.get(), out, 100, 150000), 100);
    EXPECT_EQ(s->decodes, 2u);

    // Inside the short last chunk: only what it holds.
    ASSERT_EQ(m.read(s.get(), out, 65536, 196700), 200000 - 196700);
    EXPECT_EQ(out, slice(data, 196700, 65536));
    EXPECT_EQ(s->decodes, 3u);
    EXPECT_EQ(m.read(s.get(), out, 10, 200000), 0);

    // The whole file in one read.
    ASSERT_EQ(m.read(s.get(), out, 300000, 0), 200000);
    EXPECT_EQ(out, data);
    EXPECT_EQ(m.read(s.get(), out, 10, -5), -EINVAL);
}

TEST(DecmpRead, CorruptMiddleChunkFailsReadsThatTouchIt) {
    mem_volume m;
    int err = 0;
    const bytes data = qtest::sample("text", 3 * chunk, 6);
    auto chunks = zlib_chunks(data);
    chunks[1][chunks[1].size() / 2] ^= 0x5A;
    auto s = m.open(header(4, data.size()), resource_fork(chunks), err);
    ASSERT_TRUE(s);
    bytes out;
    EXPECT_EQ(m.read(s.get(), out, 300000, 0), -EIO); // never a gap of missing bytes
    EXPECT_EQ(m.read(s.get(), out, 100, chunk + 5), -EIO);
    ASSERT_EQ(m.read(s.get(), out, 100, 10), 100);
    EXPECT_EQ(out, slice(data, 10, 100));
    ASSERT_EQ(m.read(s.get(), out, chunk, 2 * chunk), static_cast<int>(chunk));
    EXPECT_EQ(out, slice(data, 2 * chunk, chunk));

    // Chunks decoding to another length than they stand for, or empty.
    const bytes two = qtest::sample("random", chunk + 10, 7);
    for (const auto& bad_chunks :
         {std::vector<bytes>{zlib(bytes(chunk + 1, 1)), zlib(slice(two, chunk, 10))},
          std::vector<bytes>{zlib(bytes(chunk - 1, 1)), zlib(slice(two, chunk, 10))},
          std::vector<bytes>{bytes{}, zlib(slice(two, chunk, 10))},
          std::vector<bytes>{stored(0xFF, bytes(chunk + 1, 1)), zlib(slice(two, chunk, 10))}}) {
        auto t = m.open(header(4, two.size()), resource_fork(bad_chunks), err);
        ASSERT_TRUE(t);
        EXPECT_EQ(m.read(t.get(), out, 100, 0), -EIO);
        ASSERT_EQ(m.read(t.get(), out, 100, chunk), 10);
        EXPECT_EQ(out, slice(two, chunk, 10));
    }
    // A failed refill does not leave a stale chunk behind.
    auto t = m.open(header(4, data.size()), resource_fork(chunks), err);
    ASSERT_EQ(m.read(t.get(), out, 10, 0), 10);
    EXPECT_EQ(m.read(t.get(), out, 10, chunk), -EIO);
    EXPECT_EQ(m.read(t.get(), out, 10, 0), 10);
    EXPECT_EQ(out, slice(data, 0, 10));
}

TEST(DecmpRead, ConcurrentReadersShareTheCache) {
    mem_volume m;
    int err = 0;
    const bytes data = qtest::sample("text", 4 * chunk, 10);
    auto s = m.open(header(4, data.size()), resource_fork(zlib_chunks(data)), err);
    ASSERT_TRUE(s);
    std::atomic<int> wrong{0};
    auto reader = [&](uint64_t first) {
        bytes out(5000);
        for (int round = 0; round < 40; ++round) {
            const uint64_t at = (first + round * 3 * 9973) % (data.size() - out.size());
            const int rc =
                hfs_decmp_read(&m.vol, s.get(), out.data(), out.size(), static_cast<int64_t>(at));
            if (rc != static_cast<int>(out.size()) ||
                std::memcmp(out.data(), data.data() + at, out.size()) != 0)
                ++wrong;
        }
    };
    std::thread a(reader, 0), b(reader, 2 * chunk + 77);
    a.join();
    b.join();
    EXPECT_EQ(wrong, 0);
}

// Decode-ahead: whatever the order of the reads, each returns the file's
// bytes, or -EIO with one message when it touches a damaged chunk (a chunk
// that fails in the background is decoded again by its reader, which
// reports it). A sequential pass decodes every chunk exactly once, other
// patterns decode nothing ahead, and closing a file waits for its jobs.
TEST(DecmpRead, DecodeAheadAccessPatterns) {
    constexpr uint64_t count = 40;
    constexpr uint32_t damaged_chunk = 20;
    bytes data;
    for (uint32_t seed = 0; data.size() < count * chunk - 1234; ++seed) {
        const bytes part = qtest::sample(seed % 3 == 2 ? "random" : "text", 3 * chunk / 2, seed);
        data.insert(data.end(), part.begin(), part.end());
    }
    data.resize(count * chunk - 1234);
    const std::vector<bytes> chunks = zlib_chunks(data);
    std::vector<bytes> damaged = chunks;
    damaged[damaged_chunk][damaged[damaged_chunk].size() / 2] ^= 0x5A;

    using reads = std::vector<std::pair<uint64_t, size_t>>; // (offset, length)
    auto sequential = [&](size_t step) {
        reads r;
        for (uint64_t at = 0; at < data.size(); at += step) r.emplace_back(at, step);
        return r;
    };
    auto backwards = [&] {
        reads r;
        for (uint64_t at = data.size(); at > 100000; at -= 100000)
            r.emplace_back(at - 100000, 100000);
        return r;
    };
    auto random = [&](size_t len) {
        reads r;
        std::mt19937 gen(11);
        for (int k = 0; k < 300; ++k)
            r.emplace_back(gen() % data.size(), len == 0 ? 1 + gen() % 200000 : len);
        return r;
    };
    auto jumps = [&] {
        reads r;
        for (uint64_t at = 0; at < 10 * chunk; at += 131072) r.emplace_back(at, 131072);
        for (uint64_t at = 30 * chunk; at < 34 * chunk; at += 131072) r.emplace_back(at, 131072);
        for (uint64_t at = 5 * chunk + 77; at < 12 * chunk; at += 70000) r.emplace_back(at, 70000);
        return r;
    };
    enum class check { once, no_ahead, none };
    struct row {
        const char* name;
        reads pattern;
        bool damage = false;
        int threads = 1;        // each thread does the whole pattern
        size_t close_after = 0; // close once this many reads have started decode-ahead
        check decodes = check::none;
    };
    const row rows[] = {
        {"sequential 128 KiB", sequential(131072), false, 1, 0, check::once},
        {"sequential, odd lengths", sequential(50001), false, 1, 0, check::once},
        {"sequential 1 MiB", sequential(1 << 20), false, 1, 0, check::once},
        {"backwards", backwards(), false, 1, 0, check::no_ahead},
        {"random 4 KiB", random(4096), false, 1, 0, check::no_ahead},
        {"random lengths", random(0), false, 1, 0, check::no_ahead},
        {"sequential runs and jumps", jumps()},
        {"damaged chunk, sequential", sequential(131072), true},
        {"damaged chunk, odd lengths", sequential(50001), true},
        {"two readers at once", sequential(131072), false, 2},
        {"close while decoding ahead", sequential(4096), false, 1, 2},
    };
    mem_volume m;
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        int err = 0;
        auto s = m.open(header(4, data.size()), resource_fork(r.damage ? damaged : chunks), err);
        ASSERT_TRUE(s) << err;
        qtest::clear_messages();
        std::atomic<int> wrong{0};
        std::atomic<int> failed{0};
        auto run = [&] {
            bytes out;
            for (size_t k = 0; k < r.pattern.size(); ++k) {
                const auto [at, len] = r.pattern[k];
                out.assign(len, 0xAA);
                const int rc =
                    hfs_decmp_read(&m.vol, s.get(), out.data(), len, static_cast<int64_t>(at));
                const uint64_t end = std::min<uint64_t>(at + len, data.size());
                const bool touches =
                    r.damage && at < (damaged_chunk + 1) * chunk && end > damaged_chunk * chunk;
                if (touches) {
                    failed += rc == -EIO;
                    wrong += rc != -EIO;
                } else if (rc != static_cast<int>(end - at) ||
                           std::memcmp(out.data(), data.data() + at, end - at) != 0) {
                    ++wrong;
                }
                if (r.close_after != 0 && k + 1 == r.close_after) {
                    // Chunk 0 is the reader's; wait for a worker to decode
                    // chunk 1 or later, then close with the rest in flight.
                    for (int wait = 0; wait < 5000 && s->decodes < 2; ++wait)
                        std::this_thread::sleep_for(std::chrono::milliseconds(1));
                    EXPECT_GE(s->decodes, 2u);
                    s.reset();
                    return;
                }
            }
        };
        std::vector<std::thread> more;
        for (int t = 1; t < r.threads; ++t) more.emplace_back(run);
        run();
        for (std::thread& t : more) t.join();
        EXPECT_EQ(wrong, 0);
        if (r.damage) {
            EXPECT_GT(failed, 0);
            EXPECT_EQ(qtest::messages().size(), static_cast<size_t>(failed.load()))
                << qtest::all_messages();
        } else {
            EXPECT_TRUE(qtest::messages().empty()) << qtest::all_messages();
        }
        if (!s) continue;
        s->ahead.reset(); // waits for the jobs still running
        if (r.decodes == check::once) {
            EXPECT_EQ(s->decodes, count);
        }
        if (r.decodes == check::no_ahead) {
            // Each read decodes the chunks it touches, at most.
            uint64_t touched = 0;
            for (const auto& [at, len] : r.pattern)
                touched += (std::min<uint64_t>(at + len, data.size()) - 1) / chunk - at / chunk + 1;
            EXPECT_LE(s->decodes, touched);
        }
    }
}

TEST(DecmpRead, LzChunksMustDecodeToTheirExactLength) {
    auto big = vector_file("lzvn/text-65536.lzvn");
    auto big_raw = vector_file("lzvn/text-65536.raw");
    auto small = vector_file("lzvn/text-4097.lzvn");
    auto small_raw = vector_file("lzvn/text-4097.raw");
    if (!big || !small || !big_raw || !small_raw) GTEST_SKIP() << "reference vectors absent";
    mem_volume m;
    int err = 0;
    bytes out;
    // The last chunk stands for 4097 bytes but decodes to 65536; the first
    // stands for 65536 but decodes to 4097.
    auto s = m.open(header(8, chunk + 4097), offset_fork({*big, *big}), err);
    ASSERT_TRUE(s);
    ASSERT_EQ(m.read(s.get(), out, 100, 0), 100);
    EXPECT_EQ(out, slice(*big_raw, 0, 100));
    EXPECT_EQ(m.read(s.get(), out, 100, chunk), -EIO);
    auto t = m.open(header(8, chunk + 4097), offset_fork({*small, *small}), err);
    ASSERT_TRUE(t);
    EXPECT_EQ(m.read(t.get(), out, 100, 0), -EIO);
    ASSERT_EQ(m.read(t.get(), out, 5000, chunk), 4097);
    EXPECT_EQ(out, *small_raw);
    // Truncated LZVN data.
    auto u = m.open(header(8, chunk), offset_fork({slice(*big, 0, big->size() / 2)}), err);
    ASSERT_TRUE(u);
    EXPECT_EQ(m.read(u.get(), out, 100, 0), -EIO);
}

// Takes what is left of a budget for as long as it lives.
struct budget_taken {
    hfs_budget& budget;
    uint64_t bytes = budget.limit() - budget.used();
    explicit budget_taken(hfs_budget& b) : budget(b) { EXPECT_TRUE(budget.reserve(bytes)); }
    ~budget_taken() { budget.release(bytes); }
};

// LZFSE's uncompressed block framing ("bvx-", length, bytes, then "bvx$").
bytes lzfse_raw(const bytes& raw) {
    bytes out{'b', 'v', 'x', '-'};
    le32(out, static_cast<uint32_t>(raw.size()));
    out.insert(out.end(), raw.begin(), raw.end());
    for (uint8_t c : {'b', 'v', 'x', '$'}) out.push_back(c);
    return out;
}

// With the decoded-data budget spent, inline files are decoded on demand
// for each read and chunked files read without their chunk cache: the same
// bytes, and damage still found.
TEST(DecmpRead, BeyondTheBudgetReadsDecodeOnDemand) {
    mem_volume m;
    int err = 0;
    const bytes text = qtest::sample("text", 200000, 3);
    const bytes three = qtest::sample("random", 3 * chunk - 100, 4);
    budget_taken spent(hfs_file_cache_budget);
    bytes out;
    bytes broken = zlib(text);
    broken[broken.size() / 2] ^= 0x55;
    for (const bytes& attr :
         {header(3, text.size(), zlib(text)), header(3, text.size(), stored(0xFF, text)),
          header(11, text.size(), lzfse_raw(text)), header(7, text.size(), lzfse_raw(text))}) {
        auto s = m.open(attr, {}, err);
        ASSERT_TRUE(s) << err;
        EXPECT_FALSE(s->buf);
        ASSERT_EQ(m.read(s.get(), out, text.size() + 10, 0), static_cast<int>(text.size()));
        EXPECT_EQ(out, text);
        for (size_t at : {size_t{10}, chunk - 5, 2 * chunk + 7, text.size() - 100}) {
            ASSERT_EQ(m.read(s.get(), out, 1000, static_cast<int64_t>(at)),
                      static_cast<int>(std::min<size_t>(1000, text.size() - at)));
            EXPECT_EQ(out, slice(text, at, 1000)) << at;
        }
    }
    auto bad = m.open(header(3, text.size(), broken), {}, err);
    ASSERT_TRUE(bad);
    EXPECT_EQ(m.read(bad.get(), out, text.size(), 0), -EIO);
    auto longer = m.open(header(3, text.size() + 1, zlib(text)), {}, err);
    ASSERT_TRUE(longer);
    EXPECT_EQ(m.read(longer.get(), out, 10, static_cast<int64_t>(text.size()) - 5), -EIO);

    auto c = m.open(header(4, three.size()), resource_fork(zlib_chunks(three)), err);
    ASSERT_TRUE(c) << err;
    for (size_t at : {size_t{10}, chunk - 50, 2 * chunk + 1, size_t{0}}) {
        ASSERT_EQ(m.read(c.get(), out, 100, static_cast<int64_t>(at)), 100);
        EXPECT_EQ(out, slice(three, at, 100)) << at;
    }
    EXPECT_FALSE(c->buf);
    EXPECT_FALSE(c->page);
}

TEST(DecmpOpen, ChunkTablesOutsideTheForkOrInconsistentAreRefused) {
    mem_volume m;
    int err = 0;
    const bytes data = qtest::sample("text", 2 * chunk + 5, 8);
    const bytes good = resource_fork(zlib_chunks(data));
    ASSERT_TRUE(m.open(header(4, data.size()), good, err));

    auto expect_refused = [&](const bytes& attr, const bytes& fork, const char* what) {
        int e = 0;
        EXPECT_FALSE(m.open(attr, fork, e)) << what;
        EXPECT_EQ(e, -EIO) << what;
    };
    // Count disagreeing with the size.
    expect_refused(header(4, data.size() + chunk), good, "count below size");
    expect_refused(header(4, 5), good, "count above size");
    // A count whose table would pass 2^32 x 8 bytes, or lie past the fork.
    bytes huge = good;
    huge[0x104] = huge[0x105] = huge[0x106] = huge[0x107] = 0xFF;
    expect_refused(header(4, uint64_t{0xFFFFFFFF} * chunk), huge, "huge count");
    expect_refused(header(4, uint64_t{1} << 62), good, "size past 2^32 chunks");
    // Data offset past the fork.
    bytes far = good;
    far[0] = 0x7F;
    expect_refused(header(4, data.size()), far, "data offset");
    // A chunk past the fork's end.
    bytes past = good;
    past[0x108 + 8 * 2] = 0xF0;
    past[0x108 + 8 * 2 + 1] = 0xFF;
    past[0x108 + 8 * 2 + 2] = 0x0F;
    expect_refused(header(4, data.size()), past, "chunk offset");
    // No resource fork at all.
    hfs_decmp_ptr none;
    EXPECT_EQ(hfs_decmp_open_extents(&m.vol, 30, 16, header(4, 10).data(), {}, none), -EIO);
    EXPECT_FALSE(none);
}

std::vector<bytes> lz_stored_chunks(const bytes& data) {
    std::vector<bytes> out;
    for (size_t at = 0; at < data.size(); at += chunk)
        out.push_back(stored(0x06, slice(data, at, chunk)));
    return out;
}

TEST(DecmpOpen, TypesEightAndTwelveTakeBothLayouts) {
    mem_volume m;
    int err = 0;
    const bytes data = qtest::sample("random", 2 * chunk + 300, 9);
    const auto chunks = lz_stored_chunks(data);
    for (uint32_t type : {8u, 12u}) {
        for (const bytes& fork : {offset_fork(chunks), resource_fork(chunks)}) {
            auto s = m.open(header(type, data.size()), fork, err);
            ASSERT_TRUE(s) << type << " " << err;
            bytes out;
            ASSERT_EQ(m.read(s.get(), out, data.size(), 0), static_cast<int>(data.size()));
            EXPECT_EQ(out, data);
        }
        // Offsets that decrease or leave the fork: not an offset table, and
        // no resource header either.
        bytes down = offset_fork(chunks);
        down[4] = 0x01;
        down[5] = 0x00;
        down[6] = 0x00;
        down[7] = 0x00;
        EXPECT_FALSE(m.open(header(type, data.size()), down, err));
        bytes beyond = offset_fork(chunks);
        beyond[beyond.size() - 1] = 0;
        beyond.resize(12 + chunks[0].size());
        EXPECT_FALSE(m.open(header(type, data.size()), beyond, err));
    }
    // Type 4 knows the resource layout only.
    EXPECT_FALSE(m.open(header(4, data.size()), offset_fork(zlib_chunks(data)), err));
}

// ---------------------------------------------------------------------------
// Builder volumes

struct built {
    qtest::device dev;
    hfslib_vol vol{};
    std::string image;
    bool ok = false;

    built(const std::string& name, const std::string& manifest) {
        qtest::install_hooks(&dev);
        std::string log;
        auto path = qtest::build(name, manifest, &log);
        EXPECT_TRUE(path) << log;
        if (!path) return;
        image = *path;
        ok = qtest::mount_image(image, dev, vol) == 0;
        EXPECT_TRUE(ok) << qtest::all_messages();
    }
    ~built() {
        if (ok) hfslib_unmount(&vol, nullptr);
        qtest::install_hooks(nullptr);
    }

    // The whole uncompressed contents of `path`, through probe, open and
    // reads of `step` bytes.
    std::optional<bytes> contents(const std::string& path, size_t step = 65536,
                                  int* probe_rc = nullptr) {
        hfslib_cat_rec rec{};
        if (qtest::lookup_path(vol, path, rec) != 0) return std::nullopt;
        hfs_decmp_info info{};
        uint32_t len = 0;
        uint8_t* attr = nullptr;
        const int rc = hfs_decmp_probe(&vol, &rec, &info, &len, &attr);
        if (probe_rc) *probe_rc = rc;
        if (rc != 0) return std::nullopt;
        std::unique_ptr<uint8_t, void (*)(void*)> owned(attr, std::free);
        hfs_decmp_ptr s;
        const int err = hfs_decmp_open(&vol, rec.file.cnid, len, attr, s);
        EXPECT_TRUE(s) << path << " " << err;
        if (!s) return std::nullopt;
        bytes out(info.size);
        for (uint64_t at = 0; at < info.size;) {
            const size_t want = std::min<uint64_t>(step, info.size - at);
            const int got =
                hfs_decmp_read(&vol, s.get(), out.data() + at, want, static_cast<int64_t>(at));
            EXPECT_EQ(got, static_cast<int>(want)) << path << " at " << at;
            if (got <= 0) return std::nullopt;
            at += static_cast<uint64_t>(got);
        }
        return out;
    }
};

std::string item(const std::string& name, const std::string& data_file, uint32_t type,
                 const std::string& extra = "") {
    return R"({"type": "file", "name": ")" + name + R"(", "data": {"file": ")" + data_file +
           R"("}, "compress": {"type": )" + std::to_string(type) + extra + "}}";
}

// The reference streams, taken verbatim as units: raw LZVN for types 7 and
// 8 (and LZFSE units inside type 8), LZFSE for 11 and 12.
TEST(DecmpBuilderVolume, ReferenceVectorsReadBackExactly) {
    const std::string cdir = compress_dir();
    if (!std::filesystem::is_directory(cdir)) GTEST_SKIP() << "reference vectors absent";
    const std::string dir = qtest::scratch();
    auto path = [&](const std::string& sub, const std::string& file) {
        return cdir + "/" + sub + "/" + file;
    };
    auto raw = [&](const std::string& sub, const std::string& name) {
        return *qtest::read_file(path(sub, name + ".raw"));
    };
    // Chunked files of two units: a 65536-byte vector then a shorter one.
    auto two = [&](const std::string& sub, const std::string& a, const std::string& b,
                   const std::string& data_name) {
        bytes data = raw(sub, a);
        const bytes tail = raw(sub, b);
        data.insert(data.end(), tail.begin(), tail.end());
        qtest::write_file(dir + "/" + data_name, data);
        return data;
    };
    const bytes lzvn_two = two("lzvn", "text-65536", "matches-4097", "vec-lzvn2.bin");
    const bytes lzfse_two = two("lzfse", "runs-65536", "text-4097", "vec-lzfse2.bin");
    const bytes mixed_two = two("lzfse", "pattern-65536", "zeros-255", "vec-mixed2.bin");
    auto verbatim = [](const std::vector<std::string>& files) {
        std::string s = R"(, "verbatim": [)";
        for (size_t i = 0; i < files.size(); ++i) s += (i ? ", \"" : "\"") + files[i] + "\"";
        return s + "]";
    };
    const std::string rel = std::filesystem::relative(cdir, dir).string();
    auto v_lzvn = [&](const std::string& n) { return rel + "/lzvn/" + n; };
    auto v_lzfse = [&](const std::string& n) { return rel + "/lzfse/" + n; };
    const std::string manifest =
        R"({"volume": {"name": "vec", "size": 8388608}, "items": [)" +
        item("v7", rel + "/lzvn/text-4097.raw", 7, verbatim({v_lzvn("text-4097.lzvn")})) + "," +
        item("v7lzfse", rel + "/lzfse/runs-4097.raw", 7, verbatim({v_lzfse("runs-4097.lzfse")})) +
        "," +
        item("v11", rel + "/lzfse/text-4095.raw", 11, verbatim({v_lzfse("text-4095.lzfse")})) +
        "," +
        item("v8off", "vec-lzvn2.bin", 8,
             R"(, "layout": "offsets")" +
                 verbatim({v_lzvn("text-65536.lzvn"), v_lzvn("matches-4097.lzvn")})) +
        "," +
        item("v8res", "vec-lzvn2.bin", 8,
             verbatim({v_lzvn("text-65536.lzvn"), v_lzvn("matches-4097.lzvn")})) +
        "," +
        item("v8mixed", "vec-mixed2.bin", 8,
             R"(, "layout": "offsets")" +
                 verbatim({v_lzfse("pattern-65536.lzfse"), v_lzfse("zeros-255.lzfse")})) +
        "," +
        item("v12off", "vec-lzfse2.bin", 12,
             R"(, "layout": "offsets")" +
                 verbatim({v_lzfse("runs-65536.lzfse"), v_lzfse("text-4097.lzfse")})) +
        "," +
        item("v12res", "vec-lzfse2.bin", 12,
             verbatim({v_lzfse("runs-65536.lzfse"), v_lzfse("text-4097.lzfse")})) +
        "]}";
    built v("vec", manifest);
    ASSERT_TRUE(v.ok);
    const std::vector<std::pair<std::string, bytes>> want = {{"v7", raw("lzvn", "text-4097")},
                                                             {"v7lzfse", raw("lzfse", "runs-4097")},
                                                             {"v11", raw("lzfse", "text-4095")},
                                                             {"v8off", lzvn_two},
                                                             {"v8res", lzvn_two},
                                                             {"v8mixed", mixed_two},
                                                             {"v12off", lzfse_two},
                                                             {"v12res", lzfse_two}};
    for (const auto& [name, data] : want) {
        auto got = v.contents(name, 5000);
        ASSERT_TRUE(got) << name;
        EXPECT_TRUE(*got == data) << name;
    }

    // 7-Zip's extraction of the raw-LZVN type-8 file with the offset table.
    auto out = qtest::extract_7z("vec", v.image);
    if (!out) GTEST_SKIP() << "7zz absent";
    for (const char* name : {"v7", "v8off"}) {
        auto seven = qtest::read_file(*out + "/vec/" + name);
        ASSERT_TRUE(seven) << name;
        EXPECT_TRUE(*seven == *v.contents(name)) << name;
    }
}

} // namespace
