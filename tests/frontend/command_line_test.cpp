// The command line: option parsing into the options record, the fixed FUSE
// mount options, and the help text.
#include "frontend/frontend.h"

#include <gtest/gtest.h>
#include <string>
#include <utility>
#include <vector>

namespace {

struct parsed {
    fuse_args args;
    hfs_options options{};
    int result;

    explicit parsed(std::vector<const char*> argv) {
        argv.insert(argv.begin(), "quorvel");
        args = FUSE_ARGS_INIT(static_cast<int>(argv.size()), const_cast<char**>(argv.data()));
        init_options(&options);
        result = fuse_opt_parse(&args, &options, hfs_opts, process_arg);
    }
    ~parsed() {
        free(options.volume);
        free(options.rsrc_ext);
        fuse_opt_free_args(&args);
    }
    std::vector<std::string> fuse_argv() const { return {args.argv, args.argv + args.argc}; }
};

TEST(CommandLine, OptionsFillTheRecord) {
    parsed p({"-o", "cache_size=5,blksize=4096,noublio,ublio_items=9,ublio_grace=77", "-o",
              "rsrc_ext=.rsrc,rsrc_only,default_file_mode=4644,default_dir_mode=700", "-o",
              "default_uid=501,default_gid=20,disable_symlinks,noallow_other", "--force", "vol.img",
              "/mnt/x"});
    ASSERT_EQ(p.result, 0);
    const hfs_options& o = p.options;
    EXPECT_EQ(o.cache_size, 5u);
    EXPECT_EQ(o.blksize, 4096u);
    EXPECT_EQ(o.noublio, 1);
    EXPECT_EQ(o.ublio_items, 9);
    EXPECT_EQ(o.ublio_grace, 77u);
    EXPECT_STREQ(o.rsrc_ext, ".rsrc");
    EXPECT_EQ(o.rsrc_only, 1);
    EXPECT_EQ(o.default_file_mode, 04644) << "the set-id bit is dropped later, not here";
    EXPECT_EQ(o.default_dir_mode, 0700);
    EXPECT_EQ(o.default_uid, 501u);
    EXPECT_EQ(o.default_gid, 20u);
    EXPECT_EQ(o.disable_symlinks, 1);
    EXPECT_EQ(o.noallow_other, 1);
    EXPECT_EQ(o.force, 1);
    EXPECT_STREQ(o.volume, "vol.img");
    // The volume is consumed; the mount point goes on to FUSE.
    EXPECT_EQ(p.fuse_argv(), (std::vector<std::string>{"quorvel", "/mnt/x"}));
}

TEST(CommandLine, Defaults) {
    parsed p({});
    ASSERT_EQ(p.result, 0);
    EXPECT_EQ(p.options.cache_size, 1024u);
    EXPECT_EQ(p.options.ublio_items, 64);
    EXPECT_EQ(p.options.ublio_grace, 32u);
    EXPECT_EQ(p.options.default_file_mode, 0755);
    EXPECT_EQ(p.options.default_dir_mode, 0777);
    EXPECT_EQ(p.options.volume, nullptr);
}

TEST(CommandLine, PartitionAndBootOptions) {
    parsed p({"-o", "partition=3,nofail", "disk.img", "mnt"});
    ASSERT_EQ(p.result, 0);
    EXPECT_EQ(p.options.partition, 3u);
    EXPECT_EQ(p.fuse_argv(), (std::vector<std::string>{"quorvel", "mnt"}))
        << "nofail is for the boot process, not for FUSE";
}

TEST(CommandLine, UnknownOptionsGoToFuse) {
    parsed p({"-o", "kernel_cache", "-d", "vol", "mnt", "extra"});
    ASSERT_EQ(p.result, 0);
    EXPECT_EQ(p.fuse_argv(),
              (std::vector<std::string>{"quorvel", "-o", "kernel_cache", "-d", "mnt", "extra"}));
}

TEST(CommandLine, BadValueFailsTheParse) {
    parsed p({"-o", "cache_size=lots", "vol", "mnt"});
    EXPECT_EQ(p.result, -1);
}

// libfuse 2 is asked for the catalog's inode numbers; libfuse 3 turns them on
// when the kernel connects, and keeps idle request threads.
#if FUSE_USE_VERSION >= 30
constexpr char inode_numbers[] = "";
const std::vector<std::string> fixed_first = {
    "quorvel", "-oentry_timeout=86400,attr_timeout=86400,negative_timeout=86400",
    "-omax_idle_threads=100000"};
#else
constexpr char inode_numbers[] = "use_ino,";
const std::vector<std::string> fixed_first = {
    "quorvel", "-oentry_timeout=86400,attr_timeout=86400,negative_timeout=86400"};
#endif

// The FUSE arguments after the fixed ones at the front.
std::vector<std::string> after_fixed(const std::vector<std::string>& rest) {
    std::vector<std::string> all = fixed_first;
    all.insert(all.end(), rest.begin(), rest.end());
    return all;
}

TEST(MountOptions, FixedOptionsAndEscapedVolumeName) {
    parsed p({"/images/a,b\\c.img", "mnt"});
    add_mount_options(&p.args, &p.options);
    // One request thread unless -o threads is given.
    EXPECT_EQ(p.fuse_argv(),
              after_fixed({"mnt", "-o",
                           std::string("ro,nosuid,nodev,allow_other,") + inode_numbers +
                               "subtype=quorvel,fsname=/images/a\\,b\\\\c.img",
                           "-s"}));
}

TEST(MountOptions, NoAllowOtherAndThreads) {
    parsed p({"-o", "noallow_other,threads", "v.img", "mnt"});
    ASSERT_EQ(p.options.threads, 1);
    add_mount_options(&p.args, &p.options);
    EXPECT_EQ(p.fuse_argv(), after_fixed({"mnt", "-o",
                                          std::string("ro,nosuid,nodev,") + inode_numbers +
                                              "subtype=quorvel,fsname=v.img"}));
}

// allow_other or allow_root given by the user: passed on as given, and no
// allow_other added (libfuse refuses both together).
TEST(MountOptions, WhoMayAccessAsGiven) {
    for (const char* given : {"allow_root", "allow_other"}) {
        parsed p({"-o", given, "v.img", "mnt"});
        ASSERT_EQ(p.result, 0);
        add_mount_options(&p.args, &p.options);
        EXPECT_EQ(p.fuse_argv(), after_fixed({"-o", given, "mnt", "-o",
                                              std::string("ro,nosuid,nodev,") + inode_numbers +
                                                  "subtype=quorvel,fsname=v.img",
                                              "-s"}))
            << given;
    }
}

// /etc/fuse.conf as fusermount reads it.
TEST(MountOptions, FuseConfAllowsOther) {
    const std::pair<const char*, bool> cases[] = {
        {"", false},
        {"#user_allow_other\n", false},
        {"# user_allow_other - Using the allow_other mount option\n", false},
        {"user_allow_other", true},
        {"mount_max = 1000\nuser_allow_other\n", true},
        {"  user_allow_other  # for the media server\r\n", true},
        {"user_allow_others\n", false},
        {"\tuser_allow_other\t\n#mount_max = 10\n", true},
    };
    for (const auto& [text, allows] : cases)
        EXPECT_EQ(fuse_conf_allows_other(text), allows) << text;
}

TEST(Help, ShowsDefaultsOrEarlierOptions) {
    hfs_options options{};
    init_options(&options);
    options.cache_size = 5;
    options.default_uid = 99;
    testing::internal::CaptureStdout();
    show_help("prog", &options);
    std::string text = testing::internal::GetCapturedStdout();
    EXPECT_EQ(
        text.rfind("usage: prog [-hHv] [-o options] volume mountpoint\n\ngeneral options:\n", 0),
        0u);
    EXPECT_NE(text.find("    -o cache_size=N        size of lookup cache (5)\n"),
              std::string::npos);
    EXPECT_NE(text.find("Mac OS Classic files (755)\n"), std::string::npos);
    EXPECT_NE(text.find("Mac OS Classic directories (777)\n"), std::string::npos);
    EXPECT_NE(text.find("unix user ID for Mac OS Classic files (99)\n"), std::string::npos);
    EXPECT_NE(text.find("blocks the block cache keeps, 0 for none (64)\n"), std::string::npos);
    EXPECT_NE(text.find("dropped only after N reads without use (32)\n\n"), std::string::npos);
}

} // namespace
