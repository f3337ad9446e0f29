// The UDIF block tables, the run index and ADC on crafted input: every
// hostile field is refused at open (or is -EIO for the bytes concerned),
// never read as wrong bytes.
#include "access/disk_image/adc.h"
#include "access/disk_image/codecs.h"
#include "access/disk_image/run_index.h"
#include "access/disk_image/udif.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <cerrno>
#include <cstring>
#include <string>
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
    std::vector<uint8_t> sector(512, 0xAB), two(1024, 0xCD);
    std::vector<uint8_t> data = zlib_of(sector); // decodes to one sector
    const uint64_t first_length = data.size();
    const std::vector<uint8_t> more = zlib_of(two);
    data.insert(data.end(), more.begin(), more.end());
    // Sector 0: right; sectors 1-2: a stream of two sectors claimed as one
    // (too long); sectors 3-4: the one-sector stream claimed as two.
    const auto table = mish(0, 6, 0,
                            {{run_zlib, 0, 1, 0, first_length},
                             {run_zlib, 1, 1, first_length, more.size()},
                             {run_zlib, 2, 2, 0, first_length},
                             {run_raw, 4, 1, 0, 512},
                             {run_ignore, 5, 1, 0, 0},
                             end_at(6)});
    data.resize(std::max<size_t>(data.size(), 512));
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
    EXPECT_EQ(source->read_exact(buf, 2048), 0); // raw: the data fork's first sector
    EXPECT_TRUE(std::equal(buf.begin(), buf.end(), data.begin()));
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

} // namespace
