// Catalog keys and records: decoding from record bytes, building keys, and
// the case-folding and code-unit orders.
#include "tests/support/volume.h"

namespace {

using namespace qtest;

int folded(const hfslib_cat_key& a, const hfslib_cat_key& b) {
    return hfslib_cmp_cat_keys_folded(&a, &b);
}
int ordinal(const hfslib_cat_key& a, const hfslib_cat_key& b) {
    return hfslib_cmp_cat_keys_ordinal(&a, &b);
}

TEST(CatKeyOrder, CaseFoldingAgainstCodeUnitOrder) {
    auto upper = cat_key(2, u"ABC"), lower = cat_key(2, u"abc");
    EXPECT_EQ(folded(upper, lower), 0);
    EXPECT_LT(ordinal(upper, lower), 0);
    EXPECT_GT(ordinal(lower, upper), 0);
    // Greek, Cyrillic, full-width letters fold too; U+0419 and U+00C0 do not.
    EXPECT_EQ(folded(cat_key(2, u"\u0391\u0416\uFF21"), cat_key(2, u"\u03B1\u0436\uFF41")), 0);
    EXPECT_NE(folded(cat_key(2, u"\u0419"), cat_key(2, u"\u0439")), 0);
    EXPECT_NE(folded(cat_key(2, u"\u00C0"), cat_key(2, u"\u00E0")), 0);
}

TEST(CatKeyOrder, PrefixesSortFirstInBothOrders) {
    auto shorter = cat_key(2, u"abc"), longer = cat_key(2, u"abcd");
    EXPECT_LT(folded(shorter, longer), 0);
    EXPECT_LT(ordinal(shorter, longer), 0);
    EXPECT_GT(folded(longer, shorter), 0);
}

TEST(CatKeyOrder, IgnorableCodeUnitsMakeNoDifferenceUnderFolding) {
    auto plain = cat_key(2, u"ab");
    EXPECT_EQ(folded(plain, cat_key(2, u"a\u200Cb")), 0);
    EXPECT_EQ(folded(plain, cat_key(2, u"\uFEFFab")), 0);
    EXPECT_EQ(folded(plain, cat_key(2, u"ab\u202A\u206F")), 0) << "also at the end";
    EXPECT_NE(ordinal(plain, cat_key(2, u"a\u200Cb")), 0);
    // A name of ignorable units only equals the empty name.
    EXPECT_EQ(folded(cat_key(2, u"\u200D"), cat_key(2, u"")), 0);
}

TEST(CatKeyOrder, NulSortsAfterEveryOtherUnitUnderFolding) {
    std::u16string nul_name(1, u'\0');
    auto nul = cat_key(2, nul_name);
    EXPECT_GT(folded(nul, cat_key(2, u"\uFFFE")), 0);
    EXPECT_GT(folded(nul, cat_key(2, u"zzz")), 0);
    EXPECT_LT(ordinal(nul, cat_key(2, u"a")), 0);
}

TEST(CatKeyOrder, ParentsDecideFirstAsUnsignedNumbers) {
    EXPECT_LT(folded(cat_key(1, u"zzz"), cat_key(2, u"aaa")), 0);
    EXPECT_LT(ordinal(cat_key(1, u"zzz"), cat_key(2, u"aaa")), 0);
    // A wrapped 32-bit difference would order these the other way.
    EXPECT_LT(folded(cat_key(1, u"a"), cat_key(0x80000002u, u"a")), 0);
    EXPECT_LT(ordinal(cat_key(1, u"a"), cat_key(0x80000002u, u"a")), 0);
    EXPECT_GT(folded(cat_key(0xFFFFFFF0u, u""), cat_key(16, u"x")), 0);
}

TEST(CatKeyOrder, ThreadKeySortsBeforeEveryNamedKeyOfItsParent) {
    auto thread = cat_key(17, u"");
    EXPECT_LT(folded(thread, cat_key(17, u"\u0001")), 0);
    EXPECT_LT(ordinal(thread, cat_key(17, u"\u0001")), 0);
    EXPECT_LT(folded(thread, cat_key(17, u"a")), 0);
    EXPECT_EQ(folded(thread, thread), 0);
}

TEST(CatKeyOrder, SpecialKeysOfTheRootFolder) {
    hfslib_setup(nullptr);
    EXPECT_EQ(hfslib_key_file_links.key_len, 48);
    EXPECT_EQ(hfslib_key_dir_links.key_len, 64);
    // The file-links folder begins with four U+0000 units: it sorts after
    // every ordinary name of the root.
    EXPECT_GT(folded(hfslib_key_file_links, cat_key(2, u"\uFFFD")), 0);
    EXPECT_GT(folded(hfslib_key_file_links, hfslib_key_dir_links), 0);
    EXPECT_LT(folded(hfslib_key_dir_links, hfslib_key_jinfo_file), 0); // 'h' < 'j'
    EXPECT_LT(folded(hfslib_key_journal_file, hfslib_key_jinfo_file), 0);
    // Built keys equal them in both orders.
    EXPECT_EQ(folded(cat_key(2, u".journal"), hfslib_key_journal_file), 0);
    EXPECT_EQ(ordinal(cat_key(2, u".HFS+ Private Directory Data\r"), hfslib_key_dir_links), 0);
    EXPECT_EQ(folded(cat_key(2, u".JOURNAL_INFO_BLOCK"), hfslib_key_jinfo_file), 0);
}

TEST(CatKeyBuild, LimitsAndArgumentFaults) {
    std::vector<uint16_t> units(300, u'x');
    hfslib_cat_key key{};
    EXPECT_EQ(hfslib_make_cat_key(5, 300, units.data(), &key), 516);
    EXPECT_EQ(key.key_len, 516);
    EXPECT_EQ(key.name.length, 255);
    EXPECT_EQ(hfslib_make_cat_key(9, 0, nullptr, &key), 6);
    EXPECT_EQ(key.parent_cnid, 9u);
    EXPECT_EQ(key.name.length, 0);
    EXPECT_EQ(hfslib_make_cat_key(0, 1, units.data(), &key), 0);
    EXPECT_EQ(hfslib_make_cat_key(1, 1, nullptr, &key), 0);
    EXPECT_EQ(hfslib_make_cat_key(1, 1, units.data(), nullptr), 0);
    EXPECT_EQ(key.parent_cnid, 9u) << "refused calls write nothing";
}

// ---------------------------------------------------------------------------
// Decoding

std::vector<uint8_t> with_data(std::vector<uint8_t> key, const std::vector<uint8_t>& data) {
    key.insert(key.end(), data.begin(), data.end());
    return key;
}

std::vector<uint8_t> folder_bytes() {
    std::vector<uint8_t> d(88, 0);
    put16(d, 0, 1);
    put16(d, 2, 0x0010);
    put32(d, 4, 3);     // valence
    put32(d, 8, 77);    // cnid
    put32(d, 12, 1111); // create date
    put32(d, 28, 5555); // backup date
    put32(d, 32, 501);  // owner
    put32(d, 36, 20);   // group
    d[40] = 0x02;       // admin flags
    d[41] = 0x80;       // owner flags
    put16(d, 42, 040755);
    put32(d, 44, 9);      // special
    put16(d, 48, 0xFFFF); // rect_top -1
    put16(d, 56, 0x4000); // finder flags
    put32(d, 76, 123);    // put-away cnid
    put32(d, 80, 0x7E);   // text encoding
    return d;
}

std::vector<uint8_t> file_bytes() {
    std::vector<uint8_t> d(248, 0);
    put16(d, 0, 2);
    put32(d, 8, 88);
    put16(d, 42, 0100644);
    put32(d, 48, 0x54455854); // TEXT
    put32(d, 52, 0x74747874); // ttxt
    put16(d, 72, 0x0400);     // ext finder flags
    put64(d, 88, 10000);      // data logical size
    put32(d, 100, 3);         // data total blocks
    put32(d, 104, 500);
    put32(d, 108, 3);
    put64(d, 168, 17); // resource fork
    put32(d, 180, 1);
    put32(d, 240, 900); // rsrc extent 7 start
    put32(d, 244, 1);
    return d;
}

class CatRecord : public ::testing::Test {
protected:
    void SetUp() override { vol.cat_keylen_size = 2; }
    size_t parse(const std::vector<uint8_t>& raw, int16_t kind, bool with_rec = true) {
        kind_io = kind;
        return hfslib_parse_cat_record(raw.data(), raw.size(), with_rec ? &rec : nullptr, &kind_io,
                                       &key, &vol);
    }
    hfslib_vol vol{};
    hfslib_cat_rec rec{};
    hfslib_cat_key key{};
    int16_t kind_io = 0;
};

TEST_F(CatRecord, FolderRecord) {
    auto raw = with_data(cat_key_bytes(2, u"Docs"), folder_bytes());
    ASSERT_EQ(parse(raw, HFSLIB_NODE_LEAF), raw.size());
    EXPECT_EQ(kind_io, HFSLIB_REC_FOLDER);
    EXPECT_EQ(key.key_len, 14);
    EXPECT_EQ(key.parent_cnid, 2u);
    EXPECT_EQ(key.name.length, 4);
    EXPECT_EQ(key.name.units[3], u's');
    EXPECT_EQ(rec.type, HFSLIB_REC_FOLDER);
    EXPECT_EQ(rec.folder.flags, 0x10);
    EXPECT_EQ(rec.folder.valence, 3u);
    EXPECT_EQ(rec.folder.cnid, 77u);
    EXPECT_EQ(rec.folder.create_date, 1111u);
    EXPECT_EQ(rec.folder.backup_date, 5555u);
    EXPECT_EQ(rec.folder.perms.owner_id, 501u);
    EXPECT_EQ(rec.folder.perms.group_id, 20u);
    EXPECT_EQ(rec.folder.perms.admin_flags, 0x02);
    EXPECT_EQ(rec.folder.perms.owner_flags, 0x80);
    EXPECT_EQ(rec.folder.perms.file_mode, 040755);
    EXPECT_EQ(rec.folder.perms.special, 9u);
    EXPECT_EQ(rec.folder.user_info.rect_top, -1);
    EXPECT_EQ(rec.folder.user_info.finder_flags, 0x4000);
    EXPECT_EQ(rec.folder.finder_info.put_away_cnid, 123u);
    EXPECT_EQ(rec.folder.text_encoding, 0x7Eu);
}

TEST_F(CatRecord, FileRecordWithBothForks) {
    auto raw = with_data(cat_key_bytes(77, u"a.txt"), file_bytes());
    ASSERT_EQ(parse(raw, HFSLIB_NODE_LEAF), raw.size());
    EXPECT_EQ(rec.type, HFSLIB_REC_FILE);
    EXPECT_EQ(rec.file.cnid, 88u);
    EXPECT_EQ(rec.folder.cnid, 88u) << "the leading fields are shared";
    EXPECT_EQ(rec.file.perms.file_mode, 0100644);
    EXPECT_EQ(rec.file.user_info.file_type, 0x54455854u);
    EXPECT_EQ(rec.file.user_info.file_creator, 0x74747874u);
    EXPECT_EQ(rec.file.finder_info.ext_finder_flags, 0x0400);
    EXPECT_EQ(rec.file.data_fork.logical_size, 10000u);
    EXPECT_EQ(rec.file.data_fork.total_blocks, 3u);
    EXPECT_EQ(rec.file.data_fork.extents[0].start_block, 500u);
    EXPECT_EQ(rec.file.rsrc_fork.logical_size, 17u);
    EXPECT_EQ(rec.file.rsrc_fork.extents[7].start_block, 900u);
}

TEST_F(CatRecord, ThreadRecordAndLongNames) {
    std::vector<uint8_t> data(10 + 2 * 3, 0);
    put16(data, 0, HFSLIB_REC_FOLDER_THREAD);
    put32(data, 4, 2);
    put16(data, 8, 3);
    put16(data, 10, u'a');
    put16(data, 12, u'b');
    put16(data, 14, u'c');
    auto raw = with_data(cat_key_bytes(77, u""), data);
    ASSERT_EQ(parse(raw, HFSLIB_NODE_LEAF), raw.size());
    EXPECT_EQ(rec.thread.parent_cnid, 2u);
    EXPECT_EQ(rec.thread.name.length, 3);
    EXPECT_EQ(rec.thread.name.units[2], u'c');

    // A stored name length above 255 is cut to 255 units.
    std::u16string long_name(300, u'n');
    auto key_raw = cat_key_bytes(2, long_name);
    EXPECT_EQ(parse(key_raw, HFSLIB_NODE_INDEX, false), 8u + 2 * 255);
    EXPECT_EQ(key.name.length, 255);
}

TEST_F(CatRecord, UnknownTypeKeepsKeyAndType) {
    std::vector<uint8_t> data = {0x00, 0x05, 0xAA, 0xBB};
    auto raw = with_data(cat_key_bytes(2, u"x"), data);
    EXPECT_EQ(parse(raw, HFSLIB_NODE_LEAF), raw.size() - 2);
    EXPECT_EQ(rec.type, 5);
    EXPECT_EQ(kind_io, 5);
    EXPECT_EQ(key.name.units[0], u'x');
}

TEST_F(CatRecord, IndexRecordsAndOneByteKeyLengths) {
    vol.cat_keylen_size = 1;
    std::vector<uint8_t> raw = {6, 0, 0, 0, 2, 0, 0, 0, 0, 0x12, 0x34};
    EXPECT_EQ(parse(raw, HFSLIB_NODE_INDEX, false), 7u);
    EXPECT_EQ(key.key_len, 6);
    EXPECT_EQ(key.parent_cnid, 2u);
    EXPECT_EQ(parse(raw, HFSLIB_NODE_INDEX), 11u);
    EXPECT_EQ(rec.child, 0x1234u);
    vol.cat_keylen_size = 3;
    EXPECT_EQ(parse(raw, HFSLIB_NODE_INDEX), 0u);
}

TEST_F(CatRecord, KeyAloneFromALeafReadsTheType) {
    auto raw = with_data(cat_key_bytes(2, u"ab"), folder_bytes());
    EXPECT_EQ(parse(raw, HFSLIB_NODE_LEAF, false), 12u + 2);
    EXPECT_EQ(kind_io, HFSLIB_REC_FOLDER);
    EXPECT_EQ(parse(raw, HFSLIB_NODE_HEADER, false), 0u);
}

TEST_F(CatRecord, ShortRecordsAreRefusedWithoutReadingPastThem) {
    const std::vector<uint8_t> thread = {0, 3, 0, 0, 0, 0, 0, 2, 0, 1, 0, 'z'};
    struct sample {
        const char* what;
        std::vector<uint8_t> raw;
        int16_t kind;
    } samples[] = {
        {"folder", with_data(cat_key_bytes(2, u"Docs"), folder_bytes()), HFSLIB_NODE_LEAF},
        {"file", with_data(cat_key_bytes(2, u"a"), file_bytes()), HFSLIB_NODE_LEAF},
        {"thread", with_data(cat_key_bytes(9, u""), thread), HFSLIB_NODE_LEAF},
        {"index", with_data(cat_key_bytes(2, u"a"), {0, 0, 0, 9}), HFSLIB_NODE_INDEX},
    };
    for (const auto& s : samples) {
        SCOPED_TRACE(s.what);
        ASSERT_GT(parse(s.raw, s.kind), 0u);
        for (size_t len = 0; len < s.raw.size(); ++len) {
            // A copy of exactly `len` bytes: ASan sees any read past it.
            std::vector<uint8_t> cut(s.raw.begin(), s.raw.begin() + len);
            key.parent_cnid = 0xDEAD;
            rec.type = 0xBEEF;
            kind_io = s.kind;
            ASSERT_EQ(hfslib_parse_cat_record(cut.data(), cut.size(), &rec, &kind_io, &key, &vol),
                      0u)
                << len;
            EXPECT_EQ(key.parent_cnid, 0xDEADu);
            EXPECT_EQ(rec.type, 0xBEEF);
            EXPECT_EQ(kind_io, s.kind);
        }
    }
    // A name length claiming more units than the record holds.
    auto raw = cat_key_bytes(2, u"abc");
    put16(raw, 6, 200);
    EXPECT_EQ(parse(raw, HFSLIB_NODE_INDEX, false), 0u);
}

TEST_F(CatRecord, ArgumentFaults) {
    auto raw = with_data(cat_key_bytes(2, u"a"), folder_bytes());
    int16_t kind = HFSLIB_NODE_LEAF;
    EXPECT_EQ(hfslib_parse_cat_record(nullptr, raw.size(), &rec, &kind, &key, &vol), 0u);
    EXPECT_EQ(hfslib_parse_cat_record(raw.data(), raw.size(), &rec, nullptr, &key, &vol), 0u);
    EXPECT_EQ(hfslib_parse_cat_record(raw.data(), raw.size(), &rec, &kind, nullptr, &vol), 0u);
    EXPECT_EQ(hfslib_parse_cat_record(raw.data(), raw.size(), &rec, &kind, &key, nullptr), 0u);
    uint8_t block[16] = {};
    hfslib_perms perms{};
    EXPECT_EQ(hfslib_parse_perms(block, &perms), 16u);
    EXPECT_EQ(hfslib_parse_perms(nullptr, &perms), 0u);
    EXPECT_EQ(hfslib_parse_folder_info(block, nullptr), 0u);
    EXPECT_EQ(hfslib_parse_folder_xinfo(nullptr, nullptr), 0u);
    EXPECT_EQ(hfslib_parse_file_info(nullptr, nullptr), 0u);
    EXPECT_EQ(hfslib_parse_file_xinfo(block, nullptr), 0u);
}

} // namespace
