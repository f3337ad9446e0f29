// The UDIF block tables, the run index and ADC on crafted input: every
// hostile field is refused at open (or is -EIO for the bytes concerned),
// never read as wrong bytes.
#include "access/disk_image/adc.h"
#include "access/disk_image/codecs.h"
#include "access/disk_image/run_index.h"
#include "access/disk_image/sparse.h"
#include "access/disk_image/udif.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>
#include <vector>

namespace {

using namespace dimg;

void put32(std::vector<uint8_t>& b, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(v >> (24 - 8 * i));
}
void put64(std::vector<uint8_t>& b, size_t at, uint64_t v) {
    put32(b, at, static_cast<uint32_t>(v >> 32));
    put32(b, at + 4, static_cast<uint32_t>(v));
}

struct entry {
    uint32_t type;
    uint64_t first, count, offset, length;
};

// A mish table: header fields, then the entries as given.
std::vector<uint8_t> mish(uint64_t first, uint64_t count, uint64_t base,
                          const std::vector<entry>& entries, int64_t claimed = -1) {
    std::vector<uint8_t> b(mish_header_size + mish_entry_size * entries.size());
    std::memcpy(b.data(), "mish", 4);
    put32(b, 4, 1);
    put64(b, 8, first);
    put64(b, 16, count);
    put64(b, 24, base);
    put32(b, 200,
          claimed < 0 ? static_cast<uint32_t>(entries.size()) : static_cast<uint32_t>(claimed));
    for (size_t i = 0; i < entries.size(); ++i) {
        const size_t at = mish_header_size + mish_entry_size * i;
        put32(b, at, entries[i].type);
        put64(b, at + 8, entries[i].first);
        put64(b, at + 16, entries[i].count);
        put64(b, at + 24, entries[i].offset);
        put64(b, at + 32, entries[i].length);
    }
    return b;
}

constexpr entry end_at(uint64_t sector) {
    return {run_end, sector, 0, 0, 0};
}

struct table_case {
    const char* name;
    std::vector<std::vector<uint8_t>> tables;
    const char* error; // null: accepted
};

TEST(BlockTables, HostileFieldsAreRefused) {
    const table_limits limits{1000, 100000}; // 1000-sector disk, 100000-byte data fork
    const uint64_t huge = UINT64_MAX - 1;
    const std::vector<table_case> cases = {
        {"a table of every kind of run",
         {mish(0, 10, 0,
               {{run_comment, 0, 0, 0, 0},
                {run_raw, 0, 2, 0, 1024},
                {run_zlib, 2, 4, 1024, 300},
                {run_zero, 6, 2, 0, 0},
                {run_ignore, 8, 2, 77777777, 0},
                end_at(10)})},
         nullptr},
        {"tables listed out of disk order",
         {mish(10, 5, 0, {{run_zero, 0, 5, 0, 0}, end_at(5)}),
          mish(0, 10, 0, {{run_zero, 0, 10, 0, 0}, end_at(10)})},
         nullptr},
        {"entry count beyond the blob",
         {mish(0, 10, 0, {{run_zero, 0, 10, 0, 0}, end_at(10)}, 3)},
         "claims 3 runs"},
        {"entry count of 2^32 - 1",
         {mish(0, 10, 0, {{run_zero, 0, 10, 0, 0}, end_at(10)}, 0xFFFFFFFF)},
         "claims 4294967295 runs"},
        {"table past the end of the disk",
         {mish(995, 10, 0, {{run_zero, 0, 10, 0, 0}, end_at(10)})},
         "beyond the end of the disk"},
        {"table start overflowing", {mish(huge, 10, 0, {end_at(0)})}, "beyond the end of the disk"},
        {"run past its table",
         {mish(0, 10, 0, {{run_zero, 5, 6, 0, 0}, end_at(10)})},
         "reaches beyond its table"},
        {"run sector count overflowing",
         {mish(0, 10, 0, {{run_zero, 5, huge, 0, 0}, end_at(10)})},
         "reaches beyond its table"},
        {"stored bytes outside the data fork",
         {mish(0, 10, 0, {{run_zlib, 0, 10, 99990, 20}, end_at(10)})},
         "beyond the end of the data fork"},
        {"table base plus run offset overflowing",
         {mish(0, 10, huge, {{run_zlib, 0, 10, 10, 20}, end_at(10)})},
         "beyond the end of the data fork"},
        {"raw run storing the wrong length",
         {mish(0, 10, 0, {{run_raw, 0, 10, 0, 5000}, end_at(10)})},
         "is raw but stores 5000 bytes for 5120"},
        {"compressed run claiming 4 GiB",
         {mish(0, 1000, 0, {{run_lzma, 0, 1000, 0, 10}, end_at(1000)})},
         nullptr}, // 1000 sectors: fine; the 4 GiB case follows with a larger disk
        {"compressed run storing far more than it decodes to",
         {mish(0, 10, 0, {{run_zlib, 0, 10, 0, 99000}, end_at(10)})},
         "stores 99000 bytes for 5120 decoded"},
        {"unknown run type",
         {mish(0, 10, 0, {{0x80000003, 0, 10, 0, 10}, end_at(10)})},
         "unknown type 0x80000003"},
        {"no terminator", {mish(0, 10, 0, {{run_zero, 0, 10, 0, 0}})}, "has no terminator"},
        {"runs of two tables overlapping",
         {mish(0, 10, 0, {{run_zero, 0, 10, 0, 0}, end_at(10)}),
          mish(8, 10, 0, {{run_zero, 0, 10, 0, 0}, end_at(10)})},
         "overlap at sector 8"},
        {"runs of one table overlapping",
         {mish(0, 10, 0, {{run_zero, 0, 6, 0, 0}, {run_zero, 4, 6, 0, 0}, end_at(10)})},
         "overlap at sector 4"},
        {"not a block table", {std::vector<uint8_t>(300, 'x')}, "is not a block table"},
        {"two compressed runs decoding one stored stream",
         {mish(0, 10, 0, {{run_bzip2, 0, 5, 100, 300}, {run_bzip2, 5, 5, 100, 300}, end_at(10)})},
         "share stored bytes at byte 100"},
        {"runs of two tables storing overlapping bytes",
         {mish(0, 10, 0, {{run_raw, 0, 2, 0, 1024}, end_at(10)}),
          mish(10, 10, 1000, {{run_zlib, 0, 10, 0, 300}, end_at(10)})},
         "runs of block tables 0 and 1 (at sectors 0 and 10) share stored bytes at byte 1000"},
        {"stored ranges side by side, empty ones anywhere",
         {mish(0, 12, 0,
               {{run_zlib, 0, 4, 0, 300},
                {run_zlib, 4, 4, 300, 300},
                {run_ignore, 8, 2, 100, 0},
                {run_zero, 10, 1, 100, 0},
                {run_zlib, 11, 1, 200, 0},
                end_at(12)})},
         nullptr},
    };
    for (const table_case& c : cases) {
        std::vector<run> runs;
        std::string error;
        int err = 0;
        for (size_t t = 0; t < c.tables.size() && err == 0; ++t)
            err = parse_mish(c.tables[t], limits, static_cast<uint32_t>(t), "", runs, error);
        if (err == 0) err = build_index(runs, error);
        const bool ok = err == 0;
        if (!c.error) {
            EXPECT_TRUE(ok) << c.name << ": " << error;
            for (size_t i = 1; ok && i < runs.size(); ++i)
                EXPECT_LE(runs[i - 1].disk_offset + runs[i - 1].length, runs[i].disk_offset)
                    << c.name;
        } else {
            EXPECT_EQ(err, -EINVAL) << c.name;
            EXPECT_NE(error.find(c.error), std::string::npos) << c.name << ": " << error;
        }
    }
    // A compressed run decoding to 4 GiB is refused before anything is
    // allocated for it.
    std::vector<run> runs;
    std::string error;
    const uint64_t sectors = (uint64_t{4} << 30) / 512;
    EXPECT_EQ(parse_mish(mish(0, sectors, 0, {{run_zlib, 0, sectors, 0, 10}, end_at(sectors)}),
                         {sectors, 100}, 0, "", runs, error),
              -EINVAL);
    EXPECT_NE(error.find("more than this reader accepts"), std::string::npos) << error;
}

// A classic resource fork holding `tables` (each a length and a mish) and
// one type entry per list of `types`, each naming tables by position; an
// entry of `extra` names that many bytes past a table's start instead.
std::vector<uint8_t> rsrc_fork(const std::vector<std::vector<uint8_t>>& tables,
                               const std::vector<std::vector<uint32_t>>& types,
                               uint32_t extra = 0) {
    std::vector<uint8_t> fork(256);
    std::vector<uint32_t> at;
    for (const auto& t : tables) {
        at.push_back(static_cast<uint32_t>(fork.size() - 256));
        fork.resize(fork.size() + 4);
        put32(fork, fork.size() - 4, static_cast<uint32_t>(t.size()));
        fork.insert(fork.end(), t.begin(), t.end());
    }
    const size_t map = fork.size(), type_list = map + 28;
    fork.resize(type_list + 2 + 8 * types.size());
    put32(fork, 0, 256);
    put32(fork, 4, static_cast<uint32_t>(map));
    fork[map + 24] = 0;
    fork[map + 25] = 28;
    fork[type_list] = static_cast<uint8_t>((types.size() - 1) >> 8);
    fork[type_list + 1] = static_cast<uint8_t>(types.size() - 1);
    for (size_t t = 0; t < types.size(); ++t) {
        const size_t entry = type_list + 2 + 8 * t, refs = fork.size() - type_list;
        std::memcpy(fork.data() + entry, "blkx", 4);
        fork[entry + 4] = static_cast<uint8_t>((types[t].size() - 1) >> 8);
        fork[entry + 5] = static_cast<uint8_t>(types[t].size() - 1);
        fork[entry + 6] = static_cast<uint8_t>(refs >> 8);
        fork[entry + 7] = static_cast<uint8_t>(refs);
        for (uint32_t table : types[t]) {
            const uint32_t offset = table == UINT32_MAX ? at[0] + extra : at[table];
            const uint8_t ref[12] = {0xFF,
                                     0xFF,
                                     0xFF,
                                     0xFF,
                                     0x50,
                                     static_cast<uint8_t>(offset >> 16),
                                     static_cast<uint8_t>(offset >> 8),
                                     static_cast<uint8_t>(offset)};
            fork.insert(fork.end(), ref, ref + 12);
        }
    }
    return fork;
}

TEST(BlockTables, EveryResourceForkTableHasStoredBytesOfItsOwn) {
    const table_limits limits{1000, 100000};
    const std::vector<std::vector<uint8_t>> tables = {
        mish(0, 10, 0, {{run_zlib, 0, 10, 0, 300}, end_at(10)}),
        mish(10, 10, 0, {{run_zlib, 0, 10, 300, 300}, end_at(10)})};
    // An empty table (no run that decodes to anything), as a hostile fork
    // names again and again: each would cost memory and time, not disk.
    const std::vector<std::vector<uint8_t>> empty = {mish(0, 0, 0, {end_at(0)})};
    const std::vector<uint32_t> many(65536, 0);
    const struct {
        const char* name;
        std::vector<uint8_t> fork;
        const char* error; // null: accepted
    } cases[] = {
        {"two tables, one reference each", rsrc_fork(tables, {{0, 1}}), nullptr},
        {"two blkx types of one table each", rsrc_fork(tables, {{1}, {0}}), nullptr},
        {"a table named twice", rsrc_fork(tables, {{0, 1, 0}}),
         "block tables 0 and 2 share their stored bytes"},
        {"two types naming the same tables", rsrc_fork(tables, {{0, 1}, {0, 1}}),
         "share their stored bytes"},
        {"a reference into another table", rsrc_fork(tables, {{0, UINT32_MAX}}, 8),
         "block tables 0 and 1 share their stored bytes"},
        {"65536 references to one empty table", rsrc_fork(empty, {many}),
         "lists more block tables than its"},
        {"16 types of 65536 references to one empty table",
         rsrc_fork(empty, std::vector<std::vector<uint32_t>>(16, many)),
         "lists more block tables than its"},
    };
    for (const auto& c : cases) {
        std::vector<run> runs;
        std::vector<table_check> checks;
        std::string error;
        const int err = parse_rsrc_tables(c.fork, limits, runs, error, &checks);
        if (!c.error) {
            EXPECT_EQ(err, 0) << c.name << ": " << error;
            EXPECT_EQ(runs.size(), 2u) << c.name;
            EXPECT_EQ(checks.size(), 2u) << c.name;
        } else {
            EXPECT_EQ(err, -EINVAL) << c.name;
            EXPECT_NE(error.find(c.error), std::string::npos) << c.name << ": " << error;
            // Refused before a table per reference was kept.
            EXPECT_LE(checks.size(), c.fork.size() / (4 + mish_header_size)) << c.name;
        }
    }
}

TEST(BlockTables, LookupFindsTheRunHoldingAnOffset) {
    std::vector<run> runs = {{0, 1024, 0, 0, run_zero, 0},
                             {4096, 512, 0, 0, run_zero, 1},
                             {1024, 1024, 0, 0, run_zero, 2}};
    std::string error;
    ASSERT_EQ(build_index(runs, error), 0);
    const struct {
        uint64_t offset;
        size_t index;
    } lookups[] = {{0, 0},    {1023, 0}, {1024, 1}, {2047, 1}, {2048, 2},
                   {4095, 2}, {4096, 2}, {4607, 2}, {4608, 3}, {UINT64_MAX, 3}};
    for (const auto& l : lookups) EXPECT_EQ(find_run(runs, l.offset), l.index) << l.offset;
}

TEST(Base64, StrictDecoding) {
    const struct {
        const char* text;
        const char* decoded; // null: refused
    } cases[] = {
        {"bWlzaA==", "mish"},
        {"\tbWlz\n aA==\r\n", "mish"},
        {"bWlzaGE=", "misha"},
        {"bWlzaGFi", "mishab"},
        {"", ""},
        {"bWlzaA=", nullptr},
        {"bWlzaA===", nullptr},
        {"bWl*aA==", nullptr},
        {"bWlzaA==bWlz", nullptr},
        {"bWlza", nullptr},
        {"=bWl", nullptr},
    };
    for (const auto& c : cases) {
        std::vector<uint8_t> out;
        const int err = base64_decode(c.text, out);
        EXPECT_EQ(err, c.decoded ? 0 : -EINVAL) << c.text;
        const bool ok = err == 0;
        if (ok && c.decoded) {
            EXPECT_EQ(std::string(out.begin(), out.end()), c.decoded) << c.text;
        }
    }
}

TEST(Adc, DecodesCodesAndRefusesDamage) {
    const struct {
        const char* name;
        std::vector<uint8_t> in;
        size_t out_size;
        std::vector<uint8_t> out; // empty with ok false: refused
        bool ok;
    } cases[] = {
        {"literal", {0x82, 'a', 'b', 'c'}, 3, {'a', 'b', 'c'}, true},
        {"short match repeating the last byte",
         {0x80, 'x', 0x00, 0x00},
         4,
         {'x', 'x', 'x', 'x'},
         true},
        {"short match of a pattern",
         {0x81, 'a', 'b', 0x04, 0x01},
         6,
         {'a', 'b', 'a', 'b', 'a', 'b'},
         true},
        {"long match", {0x80, 'z', 0x40, 0x00, 0x00}, 5, {'z', 'z', 'z', 'z', 'z'}, true},
        {"long match, distance in two bytes",
         {0x83, '1', '2', '3', '4', 0x40, 0x00, 0x03},
         8,
         {'1', '2', '3', '4', '1', '2', '3', '4'},
         true},
        {"literal cut short", {0x83, 'a', 'b'}, 4, {}, false},
        {"short match cut short", {0x80, 'a', 0x00}, 4, {}, false},
        {"long match cut short", {0x80, 'a', 0x40, 0x00}, 5, {}, false},
        {"match before the start", {0x80, 'a', 0x00, 0x01}, 4, {}, false},
        {"match on empty output", {0x00, 0x00}, 3, {}, false},
        {"output longer than the run", {0x80, 'a', 0x7F, 0x00, 0x00}, 10, {}, false},
        {"output shorter than the run", {0x81, 'a', 'b'}, 3, {}, false},
    };
    for (const auto& c : cases) {
        std::vector<uint8_t> out(c.out_size);
        EXPECT_EQ(adc_decode(c.in, out), c.ok ? 0 : -EIO) << c.name;
        if (c.ok) {
            EXPECT_EQ(out, c.out) << c.name;
        }
    }
}

// A whole image in memory: data fork, plist, trailer.
std::vector<uint8_t> udif(const std::vector<uint8_t>& data, const std::vector<uint8_t>& table,
                          uint64_t sectors) {
    static const char b64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string text;
    for (size_t i = 0; i < table.size(); i += 3) {
        uint32_t g = uint32_t{table[i]} << 16;
        if (i + 1 < table.size()) g |= uint32_t{table[i + 1]} << 8;
        if (i + 2 < table.size()) g |= table[i + 2];
        text += b64[(g >> 18) & 63];
        text += b64[(g >> 12) & 63];
        text += i + 1 < table.size() ? b64[(g >> 6) & 63] : '=';
        text += i + 2 < table.size() ? b64[g & 63] : '=';
    }
    const std::string xml =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
        "<key>resource-fork</key><dict><key>blkx</key><array><dict>"
        "<key>Name</key><string>disk</string><key>Data</key><data>\n\t" +
        text + "\n\t</data></dict></array></dict></dict></plist>\n";
    std::vector<uint8_t> image = data;
    image.insert(image.end(), xml.begin(), xml.end());
    std::vector<uint8_t> trailer(koly_size);
    std::memcpy(trailer.data(), "koly", 4);
    put32(trailer, 4, 4);
    put32(trailer, 8, 512);
    put64(trailer, 32, data.size());
    put64(trailer, 216, data.size());
    put64(trailer, 224, xml.size());
    put64(trailer, 492, sectors);
    image.insert(image.end(), trailer.begin(), trailer.end());
    return image;
}

std::vector<uint8_t> zlib_of(const std::vector<uint8_t>& plain) {
    uLongf size = compressBound(plain.size());
    std::vector<uint8_t> out(size);
    EXPECT_EQ(compress(out.data(), &size, plain.data(), plain.size()), Z_OK);
    out.resize(size);
    return out;
}

TEST(UdifImage, RunsDecodingToTheWrongLengthAreEio) {
    std::vector<uint8_t> sector(512, 0xAB), two(1024, 0xCD), raw(512, 0x5E);
    const std::vector<uint8_t> one = zlib_of(sector); // decodes to one sector
    const std::vector<uint8_t> more = zlib_of(two);
    // Each run stores bytes of its own: the one-sector stream twice.
    std::vector<uint8_t> data = one;
    data.insert(data.end(), more.begin(), more.end());
    data.insert(data.end(), one.begin(), one.end());
    data.insert(data.end(), raw.begin(), raw.end());
    const uint64_t a = 0, b = one.size(), c = b + more.size(), d = c + one.size();
    // Sector 0: right; sectors 1-2: a stream of two sectors claimed as one
    // (too long); sectors 3-4: the one-sector stream claimed as two.
    const auto table = mish(0, 6, 0,
                            {{run_zlib, 0, 1, a, one.size()},
                             {run_zlib, 1, 1, b, more.size()},
                             {run_zlib, 2, 2, c, one.size()},
                             {run_raw, 4, 1, d, 512},
                             {run_ignore, 5, 1, 0, 0},
                             end_at(6)});
    const std::vector<uint8_t> image = udif(data, table, 6);
    hfs_byte_source_ptr source;
    std::string error;
    ASSERT_EQ(open_udif_memory(image, 1 << 20, source, error), 0) << error;
    ASSERT_EQ(source->size(), 6u * 512);
    std::vector<uint8_t> buf(512);
    EXPECT_EQ(source->read_exact(buf, 0), 0);
    EXPECT_EQ(buf, sector);
    EXPECT_EQ(source->read_exact(buf, 512), -EIO);
    EXPECT_EQ(source->read_exact(buf, 1024), -EIO);
    EXPECT_EQ(source->read_exact(buf, 2048), 0); // raw
    EXPECT_EQ(buf, raw);
    EXPECT_EQ(source->read_exact(buf, 2560), 0);
    EXPECT_EQ(buf, std::vector<uint8_t>(512, 0));
    EXPECT_EQ(source->read_exact(buf, 3072), -EINVAL); // past the disk
}

TEST(UdifImage, DamagedTrailersAndPlistsAreRefusedAtOpen) {
    const auto table = mish(0, 1, 0, {{run_zero, 0, 1, 0, 0}, end_at(1)});
    const std::vector<uint8_t> good = udif(std::vector<uint8_t>(16), table, 1);
    const size_t t = good.size() - koly_size;
    const std::string_view text(reinterpret_cast<const char*>(good.data()), good.size());
    const size_t key = text.find("resource-fork");
    const struct {
        const char* name;
        size_t at;
        uint64_t value;
        bool wide;
        const char* error;
    } cases[] = {
        {"data fork beyond the file", t + 32, 1 << 20, true, "is truncated"},
        {"plist beyond the file", t + 216, 1 << 20, true, "beyond the end of the file"},
        {"plist length overflowing", t + 224, UINT64_MAX, true, "beyond the end of the file"},
        {"trailer of another size", t + 8, 256, false, "unknown size 256"},
        {"disk size overflowing", t + 492, UINT64_MAX / 256, true, "impossible disk size"},
        {"no tables at all", t + 224, 0, true, "has no block tables"},
        {"a later segment's data position", t + 16, 1 << 30, true, "is not the first segment"},
        {"a plist that is not one", 16 + 39, 0x3C2F7878, false, "damaged property list"},
        {"a plist without block tables", key, 0x52455321, false, "without block tables"},
        {"base64 with a stray character", good.size() - koly_size - 80, 0x2A2A2A2A, false,
         "not valid base64"},
    };
    for (const auto& c : cases) {
        std::vector<uint8_t> image = good;
        if (c.wide)
            put64(image, c.at, c.value);
        else
            put32(image, c.at, static_cast<uint32_t>(c.value));
        hfs_byte_source_ptr source;
        std::string error;
        EXPECT_LT(open_udif_memory(image, 1 << 20, source, error), 0) << c.name;
        EXPECT_NE(error.find(c.error), std::string::npos) << c.name << ": " << error;
    }
    hfs_byte_source_ptr source;
    std::string error;
    EXPECT_EQ(open_udif_memory(good, 1 << 20, source, error), 0) << error;
}

// A sparse bundle of two 4096-byte bands in the scratch folder; band 1
// (of 'B's) is left out when `second` is false.
std::string make_bundle(const std::string& name, bool second) {
    namespace fs = std::filesystem;
    const std::string path = std::string(QUORVEL_TEST_SCRATCH) + "/" + name + "-" +
                             std::to_string(::getpid()) + ".sparsebundle";
    fs::remove_all(path);
    fs::create_directories(path + "/bands");
    std::ofstream(path + "/Info.plist")
        << "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict>"
           "<key>diskimage-bundle-type</key><string>com.apple.diskimage.sparsebundle</string>"
           "<key>band-size</key><integer>4096</integer>"
           "<key>size</key><integer>8192</integer></dict></plist>";
    std::ofstream(path + "/bands/0") << std::string(4096, 'A');
    if (second) std::ofstream(path + "/bands/1") << std::string(4096, 'B');
    return path;
}

// Makes `path` a FIFO, a symbolic link or a character device (false when
// this process may not).
bool make_node(const std::string& path, char kind) {
    switch (kind) {
    case 'p':
        return ::mkfifo(path.c_str(), 0644) == 0;
    case 'l':
        return ::symlink("0", path.c_str()) == 0; // a band of the bundle itself
    default:
        return ::mknod(path.c_str(), S_IFCHR | 0600, makedev(1, 5)) == 0; // /dev/zero
    }
}

TEST(SparseBundle, OnlyRegularFilesServeAsBands) {
    const struct {
        char kind;
        const char* what;
    } cases[] = {{'p', "a FIFO"}, {'l', "a symbolic link"}, {'c', "a character device"}};
    for (const auto& c : cases) {
        // There at open: refused, naming the file.
        std::string path = make_bundle(std::string("band-") + c.kind, false);
        if (!make_node(path + "/bands/1", c.kind)) {
            std::filesystem::remove_all(path);
            continue; // no device nodes without privilege
        }
        hfs_byte_source_ptr source;
        std::string error;
        EXPECT_EQ(open_sparse_bundle(path, source, error), -EINVAL) << c.what;
        EXPECT_EQ(error, std::string("/bands/1 is ") + c.what + ", not a regular file");
        std::filesystem::remove_all(path);

        // Put in place after open: the band reads as EIO (without waiting
        // for a writer); the other band still reads.
        path = make_bundle(std::string("late-band-") + c.kind, false);
        ASSERT_EQ(open_sparse_bundle(path, source, error), 0) << error;
        ASSERT_TRUE(make_node(path + "/bands/1", c.kind));
        std::vector<uint8_t> buf(4096);
        EXPECT_EQ(source->read_exact(buf, 4096), -EIO) << c.what;
        EXPECT_EQ(source->read_exact(buf, 0), 0) << c.what;
        EXPECT_EQ(buf, std::vector<uint8_t>(4096, 'A'));
        std::filesystem::remove_all(path);
    }
    // And a sound bundle reads whole.
    const std::string path = make_bundle("bands", true);
    hfs_byte_source_ptr source;
    std::string error;
    ASSERT_EQ(open_sparse_bundle(path, source, error), 0) << error;
    std::vector<uint8_t> buf(8192);
    EXPECT_EQ(source->read_exact(buf, 0), 0);
    EXPECT_EQ(std::string(buf.begin(), buf.end()), std::string(4096, 'A') + std::string(4096, 'B'));
    std::filesystem::remove_all(path);
}

} // namespace
