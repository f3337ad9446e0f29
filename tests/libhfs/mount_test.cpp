// The open sequence on real volumes and on patched copies of them.
#include "test_support.h"

namespace {

using namespace qtest;

class RealMount : public ::testing::TestWithParam<const char*> {};

TEST_P(RealMount, MountsAndFindsRoot) {
    device dev;
    install_hooks(&dev);
    QTEST_LOAD_OR_SKIP(GetParam(), dev);
    hfslib_vol vol{};
    ASSERT_EQ(mount(dev, vol), 0) << all_messages();
    EXPECT_TRUE(messages().empty()) << all_messages();
    hfslib_cat_rec rec{};
    hfslib_cat_key key{};
    ASSERT_EQ(hfslib_find_cat_record_by_cnid(&vol, 2, &rec, &key, nullptr), 0) << all_messages();
    EXPECT_EQ(rec.type, HFSLIB_REC_FOLDER);
    EXPECT_EQ(key.parent_cnid, 1u);
    hfslib_unmount(&vol, nullptr);
    EXPECT_EQ(live_blocks(), 0);
}

INSTANTIATE_TEST_SUITE_P(Images, RealMount,
                         ::testing::Values("dfvfs-hfsplus", "hfsx-casesensitive-journaled",
                                           "xattrs-5651", "ramdisk-symlinks", "nps-hfsjtest1",
                                           "journal-dirty", "newfs-xattrs",
                                           "empty-no-attributes"));

} // namespace
