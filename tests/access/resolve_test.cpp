// Path resolution and folder listing through the access layer, on volumes
// built by mkhfs and opened with the program's own device hooks (the same
// block cache, lookup cache and mount settings as a real mount).
#include "access/device.h"
#include "access/folder_reader.h"
#include "access/listing.h"
#include "access/names.h"
#include "access/options.h"
#include "access/path_cache.h"
#include "access/path_resolve.h"
#include "access/stat.h"
#include "libhfs/libhfs.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <tuple>
#include <unistd.h>
#include <vector>

namespace {

// ---------------------------------------------------------------- volumes

// The images this process built (one set per process: the test runner may
// run tests in parallel), removed when it ends.
struct scratch_files {
    std::map<std::string, std::string> images;
    std::vector<std::string> files;
    ~scratch_files() {
        std::error_code ec;
        for (const auto& f : files) std::filesystem::remove(f, ec);
    }
};

// Writes the manifest into the scratch folder and builds NAME.img once.
std::string built_image(const std::string& name, const std::string& manifest) {
    static scratch_files scratch;
    if (auto it = scratch.images.find(name); it != scratch.images.end()) return it->second;
    std::filesystem::create_directories(QUORVEL_TEST_SCRATCH);
    const std::string base =
        std::string(QUORVEL_TEST_SCRATCH) + "/" + name + "-" + std::to_string(::getpid());
    const std::string json = base + ".json", image = base + ".img";
    scratch.files.push_back(json);
    scratch.files.push_back(image);
    std::ofstream(json) << manifest;
    const std::string cmd =
        std::string("'") + QUORVEL_MKHFS + "' --quiet '" + json + "' '" + image + "'";
    if (std::system(cmd.c_str()) != 0) return {};
    scratch.images[name] = image;
    return image;
}

struct mount_settings {
    std::string rsrc_ext;
    size_t cache_size = HFS_DEFAULT_CACHE_SIZE;
    bool rsrc_only = false;
};

// A volume opened as the program opens it: the device hooks and options.
struct volume {
    hfslib_vol vol{};
    bool ok = false;

    volume(const std::string& image, const mount_settings& s = {}) {
        const hfslib_hooks hooks = hfs_device_hooks();
        hfslib_setup(&hooks);
        hfs_options options{};
        init_options(&options);
        std::string ext = s.rsrc_ext;
        options.rsrc_ext = s.rsrc_ext.empty() ? nullptr : ext.data();
        options.cache_size = s.cache_size;
        options.rsrc_only = s.rsrc_only ? 1 : 0;
        hfslib_cbctx ctx;
        hfslib_clear_cbctx(&ctx);
        ctx.open_arg = &options;
        ok = !image.empty() && hfslib_mount(image.c_str(), 1, &vol, &ctx) == 0;
    }
    ~volume() {
        if (ok) hfslib_unmount(&vol, nullptr);
    }
    volume(const volume&) = delete;
    volume& operator=(const volume&) = delete;

    hfs_device& dev() { return *hfs_get_device(&vol); }

    struct result {
        int rc = 0;
        hfslib_cat_rec rec{};
        hfslib_cat_key key{};
        uint8_t fork = 0x55;
        uint32_t cnid() const { return hfs_record_cnid(rec); }
        bool operator==(const result& o) const {
            return rc == o.rc &&
                   (rc != 0 || (cnid() == o.cnid() && rec.type == o.rec.type && fork == o.fork &&
                                key.parent_cnid == o.key.parent_cnid));
        }
    };
    result resolve(const std::string& path) {
        result r;
        r.rc = hfs_resolve_path(&vol, path, &r.rec, &r.key, &r.fork);
        return r;
    }
    uint32_t cnid_of(const std::string& path) {
        auto r = resolve(path);
        EXPECT_EQ(r.rc, 0) << path;
        return r.cnid();
    }
    bool cached(const std::string& path) {
        hfslib_cat_rec rec{};
        hfslib_cat_key key{};
        return hfs_path_cache_lookup(dev().cache.get(), path, rec, key);
    }
};

std::u16string units_of(const hfslib_uname& n) {
    return std::u16string(n.units, n.units + n.length);
}

// ---------------------------------------------------------------- manifests

const char* const names_manifest = R"({
  "volume": {"format": "hfs+", "name": "Resolve", "journal": {"size": "64K"}},
  "items": [
    {"type": "folder", "name": "a", "cnid": 100, "children": [
      {"type": "folder", "name": "b", "cnid": 101, "children": [
        {"type": "file", "name": "c", "cnid": 102, "data": "c\n", "rsrc": "rc\n"}]}]},
    {"type": "file", "name": "a/b slash", "cnid": 110, "data": "slash\n"},
    {"type": "file", "name": "café", "cnid": 111},
    {"type": "file", "name": "emoji 😀 x", "cnid": 112},
    {"type": "file", "name": "ạ́ marks", "cnid": 113},
    {"type": "file", "name": "̣́́lead", "cnid": 114},
    {"type": "file", "name": "\u2126 ohm", "cnid": 115},
    {"type": "file", "name": "\uF900 compat", "cnid": 116},
    {"type": "file", "name": "Plain.TXT", "cnid": 117},
    {"type": "file", "name": "x", "cnid": 120, "data": "x\n", "rsrc": "rx\n"},
    {"type": "file", "name": "x.rsrc", "cnid": 121, "data": "on-disk x.rsrc\n"},
    {"type": "file", "name": ".rsrc", "cnid": 122, "data": "a file named .rsrc\n"},
    {"type": "folder", "name": "folder", "cnid": 130, "children": [
      {"type": "file", "name": "rsrc", "cnid": 131, "data": "a child named rsrc\n"}]},
    {"type": "folder", "name": "Links", "cnid": 140, "children": [
      {"type": "file", "name": "target", "id": "t", "cnid": 141, "data": "t\n", "rsrc": "rt\n"},
      {"type": "hardlink", "name": "second", "target": "t"},
      {"type": "folder", "name": "real", "id": "d", "cnid": 142, "children": [
        {"type": "file", "name": "inside", "cnid": 143}]},
      {"type": "hardlink", "name": "dir link", "target": "d"},
      {"type": "file", "name": "by number", "cnid": 144, "finder": {"type": "hlnk", "creator": "hfs+"},
       "perms": {"special": 141}},
      {"type": "file", "name": "number 0", "cnid": 145, "finder": {"type": "hlnk", "creator": "hfs+"},
       "perms": {"special": 0}},
      {"type": "file", "name": "number max", "cnid": 146, "finder": {"type": "hlnk", "creator": "hfs+"},
       "perms": {"special": 4294967295}},
      {"type": "file", "name": "dir number max", "cnid": 147, "finder": {"type": "fdrp", "creator": "MACS"},
       "perms": {"special": 4294967295}},
      {"type": "folder", "name": "marked folder", "cnid": 148, "finder": {"type": "hlnk", "creator": "hfs+"},
       "children": []},
      {"type": "file", "name": "wrong creator", "cnid": 149, "finder": {"type": "hlnk", "creator": "ttxt"},
       "perms": {"special": 141}}
    ]},
    {"type": "folder", "name": "sub", "cnid": 150, "children": [
      {"type": "file", "name": ".journal", "cnid": 151},
      {"type": "folder", "name": "empty", "cnid": 152, "children": []}]},
    {"type": "folder", "name": "big", "cnid": 160, "children": [{"type": "generate", "files": 10000}]},
    {"type": "folder", "name": "zz last", "cnid": 90000, "children": [
      {"type": "file", "name": "one", "cnid": 90001}, {"type": "file", "name": "two", "cnid": 90002}]}
  ]
})";

// No hard links at all: no private folders, so link records stand.
const char* const no_private_manifest = R"({
  "volume": {"format": "hfs+", "name": "NoPrivate"},
  "items": [
    {"type": "file", "name": "fake link", "cnid": 30, "finder": {"type": "hlnk", "creator": "hfs+"},
     "perms": {"special": 16}},
    {"type": "file", "name": "fake dir link", "cnid": 31, "finder": {"type": "fdrp", "creator": "MACS"},
     "perms": {"special": 16}}
  ]
})";

std::string case_manifest(const std::string& format, const std::string& compare) {
    return R"({"volume": {"format": ")" + format + R"(", "key_compare": ")" + compare +
           R"("}, "items": [
      {"type": "file", "name": "Readme", "cnid": 40},
      {"type": "file", "name": "café", "cnid": 41},
      {"type": "file", "name_utf16": [99, 111, 109, 112, 233], "cnid": 42}
    ]})";
}

const std::string& names_image() {
    static const std::string image = built_image("resolve-names", names_manifest);
    return image;
}

// ---------------------------------------------------------------- resolution

TEST(Resolve, RootAndSlashes) {
    volume v(names_image());
    ASSERT_TRUE(v.ok);
    auto root = v.resolve("/");
    ASSERT_EQ(root.rc, 0);
    EXPECT_EQ(root.cnid(), 2u);
    EXPECT_EQ(root.key.parent_cnid, 1u);
    EXPECT_EQ(root.fork, HFSLIB_DATA_FORK);
    EXPECT_EQ(v.cnid_of("//"), 2u);
    EXPECT_EQ(v.cnid_of("///"), 2u);

    // Extra slashes resolve like the plain path and are cached byte for byte.
    auto odd = v.resolve("//a///b/");
    ASSERT_EQ(odd.rc, 0);
    EXPECT_EQ(odd.cnid(), 101u);
    EXPECT_EQ(odd.key.parent_cnid, 100u);
    EXPECT_TRUE(v.cached("//a///b/"));
    EXPECT_FALSE(v.cached("/a/b"));
    EXPECT_FALSE(v.cached("/a/b/"));
    EXPECT_EQ(v.cnid_of("/a/b/c"), 102u);
    EXPECT_EQ(v.cnid_of("/a/b/c/"), 102u);
    // The cached answer gives the same record and key.
    EXPECT_EQ(v.resolve("//a///b/"), odd);
}

TEST(Resolve, NamesAsStoredOnDisk) {
    volume v(names_image());
    ASSERT_TRUE(v.ok);
    // ':' stands for an on-disk '/'.
    auto slash = v.resolve("/a:b slash");
    ASSERT_EQ(slash.rc, 0);
    EXPECT_EQ(slash.cnid(), 110u);
    EXPECT_EQ(units_of(slash.key.name), u"a/b slash");
    // Precomposed and decomposed input both find the decomposed name.
    EXPECT_EQ(v.cnid_of("/caf\u00e9"), 111u);
    EXPECT_EQ(v.cnid_of("/cafe\u0301"), 111u);
    EXPECT_EQ(units_of(v.resolve("/caf\u00e9").key.name), u"cafe\u0301");
    // Beyond the BMP: searched as the surrogate pair, unchanged.
    auto emoji = v.resolve("/emoji \U0001F600 x");
    ASSERT_EQ(emoji.rc, 0);
    EXPECT_EQ(emoji.cnid(), 112u);
    EXPECT_EQ(units_of(emoji.key.name), u"emoji \xD83D\xDE00 x");
    // Combining marks in any order find the canonically ordered name: acute
    // (230) before dot below (220), and three leading marks.
    EXPECT_EQ(v.cnid_of("/a\u0301\u0323 marks"), 113u);
    EXPECT_EQ(v.cnid_of("/\u1EA1\u0301 marks"), 113u);
    EXPECT_EQ(v.cnid_of("/\u0301\u0301\u0323lead"), 114u);
    EXPECT_EQ(v.cnid_of("/\u0301\u0323\u0301lead"), 114u);
    // The excluded ranges are searched unchanged (U+2126 and U+F900 would
    // otherwise decompose to U+03A9 and U+8C48).
    auto ohm = v.resolve("/\u2126 ohm");
    ASSERT_EQ(ohm.rc, 0);
    EXPECT_EQ(ohm.cnid(), 115u);
    EXPECT_EQ(ohm.key.name.units[0], 0x2126);
    EXPECT_EQ(v.resolve("/\u03A9 ohm").rc, -ENOENT);
    EXPECT_EQ(v.cnid_of("/\uF900 compat"), 116u);
    EXPECT_EQ(v.resolve("/\u8C48 compat").rc, -ENOENT);
    // HFS+ compares case-insensitively.
    EXPECT_EQ(v.cnid_of("/plain.txt"), 117u);
    EXPECT_EQ(v.cnid_of("/PLAIN.txt"), 117u);
    EXPECT_EQ(v.cnid_of("/A/B/C"), 102u);
}

TEST(Resolve, Errors) {
    volume v(names_image());
    ASSERT_TRUE(v.ok);
    EXPECT_EQ(v.resolve("/missing").rc, -ENOENT);
    EXPECT_EQ(v.resolve("/a/missing/c").rc, -ENOENT);
    EXPECT_EQ(v.resolve("/a/b/c/x").rc, -ENOTDIR);
    // Also when the file is already cached (exactly and as an ancestor).
    ASSERT_EQ(v.resolve("/a/b/c").rc, 0);
    ASSERT_TRUE(v.cached("/a/b/c"));
    EXPECT_EQ(v.resolve("/a/b/c/x").rc, -ENOTDIR);
    EXPECT_EQ(v.resolve("/a/b/c/x/y").rc, -ENOTDIR);
    EXPECT_EQ(v.resolve("/x/").rc, 0); // a trailing slash after a file is no component
    // Invalid UTF-8 in a component names nothing.
    EXPECT_EQ(v.resolve("/bad\xff").rc, -ENOENT);
    EXPECT_EQ(v.resolve("/a/\xc3").rc, -ENOENT);
    EXPECT_EQ(v.resolve("/a/\xed\xa0\x80").rc, -ENOENT); // an encoded surrogate
}

TEST(Resolve, ResourceForkSuffix) {
    volume v(names_image(), {.rsrc_ext = ".rsrc"});
    ASSERT_TRUE(v.ok);
    auto plain = v.resolve("/a/b/c");
    ASSERT_EQ(plain.rc, 0);
    EXPECT_EQ(plain.fork, HFSLIB_DATA_FORK);
    auto rsrc = v.resolve("/a/b/c.rsrc");
    ASSERT_EQ(rsrc.rc, 0);
    EXPECT_EQ(rsrc.cnid(), 102u);
    EXPECT_EQ(rsrc.fork, HFSLIB_RSRC_FORK);
    EXPECT_FALSE(v.cached("/a/b/c.rsrc")); // the other fork is never cached
    // "/.rsrc" (length n + 1) is an ordinary name.
    auto dot = v.resolve("/.rsrc");
    ASSERT_EQ(dot.rc, 0);
    EXPECT_EQ(dot.cnid(), 122u);
    EXPECT_EQ(dot.fork, HFSLIB_DATA_FORK);
    // "/x.rsrc" names x's resource fork, not the on-disk x.rsrc.
    auto xr = v.resolve("/x.rsrc");
    EXPECT_EQ(xr.cnid(), 120u);
    EXPECT_EQ(xr.fork, HFSLIB_RSRC_FORK);
    // The suffix after a folder names the folder (no fork to flip for the user).
    EXPECT_EQ(v.resolve("/folder.rsrc").cnid(), 130u);
    EXPECT_EQ(v.resolve("/missing.rsrc").rc, -ENOENT);
}

TEST(Resolve, ResourceOnlyFlipsBothWays) {
    volume v(names_image(), {.rsrc_ext = ".rsrc", .rsrc_only = true});
    ASSERT_TRUE(v.ok);
    auto plain = v.resolve("/a/b/c");
    EXPECT_EQ(plain.fork, HFSLIB_RSRC_FORK);
    auto suffixed = v.resolve("/a/b/c.rsrc");
    EXPECT_EQ(suffixed.cnid(), 102u);
    EXPECT_EQ(suffixed.fork, HFSLIB_DATA_FORK);
    EXPECT_EQ(v.resolve("/a/b/c/rsrc").fork, HFSLIB_DATA_FORK);
    EXPECT_EQ(v.resolve("/.rsrc").fork, HFSLIB_RSRC_FORK);
}

TEST(Resolve, RsrcComponent) {
    volume v(names_image());
    ASSERT_TRUE(v.ok);
    auto r = v.resolve("/a/b/c/rsrc");
    ASSERT_EQ(r.rc, 0);
    EXPECT_EQ(r.cnid(), 102u);
    EXPECT_EQ(r.fork, HFSLIB_RSRC_FORK);
    EXPECT_FALSE(v.cached("/a/b/c/rsrc"));
    // Components after it are not examined.
    EXPECT_EQ(v.resolve("/a/b/c/rsrc/anything/at/all").fork, HFSLIB_RSRC_FORK);
    // Exact and case-sensitive.
    EXPECT_EQ(v.resolve("/a/b/c/RSRC").rc, -ENOTDIR);
    // After a folder it is an ordinary child name.
    auto child = v.resolve("/folder/rsrc");
    ASSERT_EQ(child.rc, 0);
    EXPECT_EQ(child.cnid(), 131u);
    EXPECT_EQ(child.fork, HFSLIB_DATA_FORK);
    // After a file hard link: the target's resource fork.
    auto linked = v.resolve("/Links/second/rsrc");
    EXPECT_EQ(linked.cnid(), 141u);
    EXPECT_EQ(linked.fork, HFSLIB_RSRC_FORK);
}

TEST(Resolve, HardLinks) {
    volume v(names_image());
    ASSERT_TRUE(v.ok);
    // A file link at the end: the target's record, CNID and link count.
    auto second = v.resolve("/Links/second");
    ASSERT_EQ(second.rc, 0);
    EXPECT_EQ(second.cnid(), 141u);
    EXPECT_EQ(second.rec.file.perms.special, 2u);
    EXPECT_EQ(second.key.parent_cnid, 140u);
    EXPECT_EQ(units_of(second.key.name), u"second");
    EXPECT_EQ(v.resolve("/Links/target").cnid(), 141u);
    // A hand-made link record with the same number finds the same target.
    EXPECT_EQ(v.resolve("/Links/by number").cnid(), 141u);
    // A folder link in the middle of a path continues inside the target.
    auto inside = v.resolve("/Links/dir link/inside");
    ASSERT_EQ(inside.rc, 0);
    EXPECT_EQ(inside.cnid(), 143u);
    EXPECT_EQ(inside.key.parent_cnid, 142u);
    auto dir = v.resolve("/Links/dir link");
    EXPECT_EQ(dir.cnid(), 142u);
    EXPECT_EQ(dir.rec.type, HFSLIB_REC_FOLDER);
    EXPECT_EQ(dir.key.parent_cnid, 140u); // the folder holding the link
    // Also through the cache: the folder link is now an ancestor entry.
    EXPECT_EQ(v.resolve("/Links/dir link/inside").cnid(), 143u);
    // Link numbers 0 and 4294967295 name no target: the link record stands.
    auto zero = v.resolve("/Links/number 0");
    ASSERT_EQ(zero.rc, 0);
    EXPECT_EQ(zero.cnid(), 145u);
    auto max = v.resolve("/Links/number max");
    ASSERT_EQ(max.rc, 0);
    EXPECT_EQ(max.cnid(), 146u);
    EXPECT_EQ(max.rec.file.perms.special, 4294967295u);
    auto dmax = v.resolve("/Links/dir number max");
    ASSERT_EQ(dmax.rc, 0);
    EXPECT_EQ(dmax.cnid(), 147u);
    EXPECT_EQ(dmax.rec.type, HFSLIB_REC_FILE);
    // Marks on a folder, or with another creator, are no link.
    EXPECT_EQ(v.resolve("/Links/marked folder").cnid(), 148u);
    EXPECT_EQ(v.resolve("/Links/wrong creator").cnid(), 149u);
    // A file link is not followed mid-path: what follows is ENOTDIR.
    EXPECT_EQ(v.resolve("/Links/second/x").rc, -ENOTDIR);
}

TEST(Resolve, LinksWithoutPrivateFolders) {
    volume v(built_image("resolve-noprivate", no_private_manifest));
    ASSERT_TRUE(v.ok);
    auto f = v.resolve("/fake link");
    ASSERT_EQ(f.rc, 0);
    EXPECT_EQ(f.cnid(), 30u);
    auto d = v.resolve("/fake dir link");
    ASSERT_EQ(d.rc, 0);
    EXPECT_EQ(d.cnid(), 31u);
    EXPECT_EQ(v.resolve("/fake dir link/x").rc, -ENOTDIR);
}

TEST(Resolve, CaseRules) {
    for (auto [format, compare, folds] :
         {std::tuple{"hfs+", "folding", true}, std::tuple{"hfsx", "folding", true},
          std::tuple{"hfsx", "binary", false}}) {
        SCOPED_TRACE(std::string(format) + " " + compare);
        volume v(built_image(std::string("resolve-case-") + format + "-" + compare,
                             case_manifest(format, compare)));
        ASSERT_TRUE(v.ok);
        EXPECT_EQ(v.cnid_of("/Readme"), 40u);
        EXPECT_EQ(v.resolve("/README").rc, folds ? 0 : -ENOENT);
        EXPECT_EQ(v.resolve("/readme").rc, folds ? 0 : -ENOENT);
        EXPECT_EQ(v.cnid_of("/caf\u00e9"), 41u);
        EXPECT_EQ(v.resolve("/CAF\u00c9").rc, folds ? 0 : -ENOENT);
        // A name stored precomposed is found neither way: paths are searched
        // decomposed.
        EXPECT_EQ(v.resolve("/comp\u00e9").rc, -ENOENT);
        EXPECT_EQ(v.resolve("/compe\u0301").rc, -ENOENT);
    }
}

// The same answers with and without the lookup cache, in any order, and for
// suffix-shaped names whether they were listed first or resolved first.
TEST(Resolve, CacheChangesNothing) {
    const std::vector<std::string> paths = {"/",
                                            "//a//b/",
                                            "/a/b/c",
                                            "/a/b/c.rsrc",
                                            "/a/b/c/rsrc",
                                            "/a/b/c/x",
                                            "/x.rsrc",
                                            "/x",
                                            "/.rsrc",
                                            "/a:b slash",
                                            "/caf\u00e9",
                                            "/folder/rsrc",
                                            "/Links/second",
                                            "/Links/dir link/inside",
                                            "/Links/number max",
                                            "/missing",
                                            "/bad\xff",
                                            "/PLAIN.TXT",
                                            "/Links/dir link/inside.rsrc",
                                            "/Links/second.rsrc",
                                            "/sub/.journal"};
    volume plain(names_image(), {.rsrc_ext = ".rsrc", .cache_size = 0});
    volume cached(names_image(), {.rsrc_ext = ".rsrc"});
    ASSERT_TRUE(plain.ok && cached.ok);
    ASSERT_EQ(plain.dev().cache, nullptr);
    for (int round = 0; round < 3; ++round)
        for (const auto& p : paths) EXPECT_EQ(cached.resolve(p), plain.resolve(p)) << p;
    for (auto it = paths.rbegin(); it != paths.rend(); ++it)
        EXPECT_EQ(cached.resolve(*it), plain.resolve(*it)) << *it;

    // Listed first: a listing remembers the on-disk "x.rsrc" under its path;
    // resolving the path still names x's resource fork.
    volume listed(names_image(), {.rsrc_ext = ".rsrc"});
    ASSERT_TRUE(listed.ok);
    hfslib_cat_rec on_disk{};
    hfslib_cat_key key{};
    ASSERT_EQ(hfslib_find_cat_record_by_cnid(&listed.vol, 121, &on_disk, &key, nullptr), 0);
    hfslib_cat_key listed_key{};
    listed_key.parent_cnid = 2;
    ASSERT_EQ(hfs_path_to_uname("x.rsrc", listed_key.name), 0);
    hfs_cache_record(&listed.vol, "/x.rsrc", on_disk, listed_key);
    EXPECT_EQ(listed.resolve("/x.rsrc"), plain.resolve("/x.rsrc"));
    EXPECT_EQ(listed.resolve("/x.rsrc").cnid(), 120u);
    // Resolved first, then listed, then resolved again.
    volume resolved(names_image(), {.rsrc_ext = ".rsrc"});
    ASSERT_TRUE(resolved.ok);
    auto first = resolved.resolve("/x.rsrc");
    hfs_cache_record(&resolved.vol, "/x.rsrc", on_disk, listed_key);
    EXPECT_EQ(resolved.resolve("/x.rsrc"), first);
    EXPECT_EQ(first.fork, HFSLIB_RSRC_FORK);
}

// ---------------------------------------------------------------- listing

struct listing {
    int rc = 1;
    uint32_t count = 0;
    std::vector<std::u16string> names;
    std::vector<uint32_t> cnids;
};

listing list(volume& v, uint32_t folder) {
    listing out;
    hfslib_cat_rec* children = nullptr;
    hfslib_uname* names = nullptr;
    out.rc = hfslib_list_folder(&v.vol, folder, &children, &names, &out.count, nullptr);
    std::unique_ptr<hfslib_cat_rec, decltype(&std::free)> c(children, std::free);
    std::unique_ptr<hfslib_uname, decltype(&std::free)> n(names, std::free);
    for (uint32_t i = 0; out.rc == 0 && i < out.count; ++i) {
        out.names.push_back(units_of(names[i]));
        out.cnids.push_back(hfs_record_cnid(children[i]));
    }
    // Counting only gives the same number.
    uint32_t counted = 12345;
    EXPECT_EQ(hfslib_list_folder(&v.vol, folder, nullptr, nullptr, &counted, nullptr), out.rc);
    if (out.rc == 0) {
        EXPECT_EQ(counted, out.count);
    }
    return out;
}

TEST(Listing, FoldersOfEveryShape) {
    volume v(names_image());
    ASSERT_TRUE(v.ok);
    auto empty = list(v, 152);
    EXPECT_EQ(empty.rc, 0);
    EXPECT_EQ(empty.count, 0u);
    auto file = list(v, 102);
    EXPECT_EQ(file.rc, 0);
    EXPECT_EQ(file.count, 0u);
    auto nothing = list(v, 77777);
    EXPECT_EQ(nothing.rc, 0);
    EXPECT_EQ(nothing.count, 0u);

    // The root hides exactly the journal files and the two private folders.
    auto root = list(v, 2);
    ASSERT_EQ(root.rc, 0);
    const std::u16string hidden[] = {std::u16string(u"\0\0\0\0HFS+ Private Data", 21),
                                     u".HFS+ Private Directory Data\r", u".journal",
                                     u".journal_info_block"};
    for (const auto& h : hidden) EXPECT_EQ(std::count(root.names.begin(), root.names.end(), h), 0);
    hfslib_cat_key key{};
    hfslib_cat_rec rec{};
    for (const auto& h : hidden) { // they are there, though
        ASSERT_EQ(hfslib_make_cat_key(2, static_cast<uint16_t>(h.size()),
                                      reinterpret_cast<const uint16_t*>(h.data()), &key) != 0,
                  true);
        EXPECT_EQ(hfslib_find_cat_record(&v.vol, &key, &rec, nullptr), 0);
    }
    EXPECT_EQ(root.count, 17u); // the manifest's root items
    // A subfolder shows its own ".journal".
    auto sub = list(v, 150);
    EXPECT_EQ(sub.names, (std::vector<std::u16string>{u".journal", u"empty"}));

    // 10,000 children across many leaves, in key order, all there.
    auto big = list(v, 160);
    ASSERT_EQ(big.rc, 0);
    ASSERT_EQ(big.count, 10000u);
    for (uint32_t k = 0; k < big.count; ++k) {
        char name[16];
        std::snprintf(name, sizeof name, "f%07u", k);
        ASSERT_EQ(big.names[k], std::u16string(name, name + 8)) << k;
    }
    // The folder whose children end the catalog.
    auto last = list(v, 90000);
    ASSERT_EQ(last.rc, 0);
    EXPECT_EQ(last.cnids, (std::vector<uint32_t>{90001, 90002}));
    // A folder link's target lists through its own CNID.
    auto real = list(v, 142);
    EXPECT_EQ(real.cnids, (std::vector<uint32_t>{143}));
}

// Every open handle of a folder holds its listing: handles of the same folder
// share one, under whatever spelling of its path, so a user holding many
// handles on a large folder does not multiply the daemon's memory.
TEST(Listing, OpenHandlesShareOneListing) {
    volume v(names_image());
    ASSERT_TRUE(v.ok);
    auto big = v.resolve("/big");
    ASSERT_EQ(big.rc, 0);
    std::shared_ptr<const hfs_listing> first, second, other, again;
    ASSERT_EQ(hfs_list(&v.vol, big.rec, "/big", first), 0);
    ASSERT_EQ(first->entries.size(), 10000u);
    ASSERT_EQ(hfs_list(&v.vol, big.rec, "/big", second), 0);
    EXPECT_EQ(first.get(), second.get());
    // Another spelling of the same folder's path shares it as well.
    ASSERT_EQ(hfs_list(&v.vol, big.rec, "/BIG", other), 0);
    EXPECT_EQ(other.get(), first.get());
    // Once no one holds it, the folder is listed afresh, with the same children.
    first.reset();
    second.reset();
    other.reset();
    ASSERT_EQ(hfs_list(&v.vol, big.rec, "/big", again), 0);
    EXPECT_EQ(again->entries.size(), 10000u);
    EXPECT_EQ(again->name_text(9999), "f0009999");
}

// What a folder reader hands out: names, inode numbers and the position
// after each entry, read `batch` entries per call as readdir resumes.
struct folder_entries {
    std::vector<std::string> names;
    std::vector<ino_t> inodes;
    std::vector<int64_t> next;
    size_t room = 0;
};

std::vector<std::tuple<std::string, ino_t, int64_t>> read_folder(const hfs_folder_reader& reader,
                                                                 size_t batch) {
    folder_entries got;
    auto fill = [](void* ctx, const char* name, const struct stat* st, int64_t next) {
        auto& g = *static_cast<folder_entries*>(ctx);
        if (g.room == 0) return 1;
        --g.room;
        g.names.emplace_back(name);
        g.inodes.push_back(st ? st->st_ino : 0);
        g.next.push_back(next);
        return 0;
    };
    int64_t offset = 0;
    for (;;) {
        got.room = batch;
        const size_t before = got.names.size();
        EXPECT_EQ(reader.read(offset, fill, &got, hfs_folder_reader::detail::full), 0);
        if (got.names.size() == before) break;
        offset = got.next.back();
    }
    std::vector<std::tuple<std::string, ino_t, int64_t>> out;
    for (size_t i = 0; i < got.names.size(); ++i)
        out.emplace_back(got.names[i], got.inodes[i], got.next[i]);
    return out;
}

// A folder whose listing does not fit in the listings' budget still opens
// and reads the same entries at the same positions, straight from the
// catalog; its entries resolve as before.
TEST(Listing, FoldersBeyondTheBudgetReadFromTheCatalog) {
    volume listed(names_image());
    ASSERT_TRUE(listed.ok);
    hfs_folder_reader held;
    ASSERT_EQ(held.open(&listed.vol, "/big"), 0);
    const auto want = read_folder(held, 1000);
    ASSERT_EQ(want.size(), 10002u);

    volume walked(names_image());
    ASSERT_TRUE(walked.ok);
    auto big = walked.resolve("/Big");
    ASSERT_EQ(big.rc, 0);
    const uint64_t spent = hfs_listing_budget.limit() - hfs_listing_budget.used();
    ASSERT_TRUE(hfs_listing_budget.reserve(spent));
    std::shared_ptr<const hfs_listing> none;
    EXPECT_EQ(hfs_list(&walked.vol, big.rec, "/Big", none), 0);
    EXPECT_FALSE(none);
    hfs_folder_reader reader;
    const int opened = reader.open(&walked.vol, "/Big");
    const auto got = read_folder(reader, 777);
    hfs_listing_budget.release(spent);
    ASSERT_EQ(opened, 0);
    ASSERT_EQ(got.size(), want.size());
    for (size_t i = 0; i < got.size(); ++i) EXPECT_EQ(got[i], want[i]) << i;
    EXPECT_EQ(walked.resolve("/Big/f0004321"), listed.resolve("/big/f0004321"));
}

} // namespace
