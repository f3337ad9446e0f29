// Device read errors: a read hook that fails chosen reads stands between the
// library and a volume held in memory. Whatever read fails, every file, fork
// and attribute value the access layer serves (to the mount and the
// extractor alike) is either delivered exactly as on the sound device or
// refused with an error; never with other bytes. Errors are not remembered
// as data: once the device reads again, the same mount delivers everything.
#include "access/device.h"
#include "access/file_reader.h"
#include "access/folder_reader.h"
#include "access/options.h"
#include "access/stat.h"
#include "access/xattrs.h"
#include "libhfs/libhfs.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

// The fault: reads touching [fail_begin, fail_end) of the device fail, and
// so does read number fail_read (counted from 0) and every one after it
// when fail_sticky.
struct fault {
    uint64_t fail_begin = 0, fail_end = 0;
    uint64_t fail_read = UINT64_MAX;
    bool fail_sticky = false;
    uint64_t reads = 0;
    uint64_t failed = 0;
} current_fault;

int faulty_read(hfslib_vol* vol, void* buf, uint64_t size, uint64_t offset, hfslib_cbctx* ctx) {
    fault& f = current_fault;
    const uint64_t n = f.reads++;
    const uint64_t at = offset + vol->embedded_offset;
    const bool hit_range = at < f.fail_end && at + size > f.fail_begin;
    const bool hit_count = n == f.fail_read || (f.fail_sticky && n > f.fail_read);
    if (hit_range || hit_count) {
        ++f.failed;
        // What a failing disk leaves in the buffer is undefined: garbage.
        std::memset(buf, 0xA5, static_cast<size_t>(size));
        return -EIO;
    }
    return hfs_read_device(vol, buf, size, offset, ctx);
}

void quiet(const char*, const char*, int, va_list) {}

std::vector<uint8_t> build_volume(const std::string& manifest) {
    namespace fs = std::filesystem;
    fs::create_directories(QUORVEL_TEST_SCRATCH);
    // One file per process: the test runner runs tests in parallel, and two
    // may build the same volume at once.
    const std::string out = std::string(QUORVEL_TEST_SCRATCH) + "/" + manifest + "-" +
                            std::to_string(::getpid()) + ".img";
    const std::string cmd = std::string(QUORVEL_MKHFS) + " --quiet " + QUORVEL_HOSTILE_MANIFESTS +
                            "/" + manifest + ".json " + out;
    if (std::system(cmd.c_str()) != 0) return {};
    std::vector<uint8_t> bytes;
    {
        std::ifstream in(out, std::ios::binary);
        bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    std::error_code ignored;
    fs::remove(out, ignored);
    return bytes;
}

using contents = std::map<std::string, std::vector<uint8_t>>;

// One open volume on the faulty device.
struct mounted {
    hfs_options options{};
    hfs_memory_image image;
    hfslib_vol vol{};
    bool ok = false;

    explicit mounted(const std::vector<uint8_t>& bytes) {
        hfslib_hooks hooks = hfs_memory_device_hooks();
        hooks.read_hook = faulty_read;
        hooks.err_hook = quiet;
        hfslib_setup(&hooks);
        init_options(&options);
        image = {{bytes.data(), bytes.size()}, &options};
        hfslib_cbctx ctx;
        hfslib_clear_cbctx(&ctx);
        ctx.open_arg = &image;
        ok = hfslib_mount("memory", 1, &vol, &ctx) == 0;
    }
    ~mounted() {
        if (ok) hfslib_unmount(&vol, nullptr);
    }
    mounted(const mounted&) = delete;
    mounted& operator=(const mounted&) = delete;
};

// The whole of what `path` holds through the file reader (the data fork,
// decompressed, or the resource fork for a ".../rsrc" path).
bool read_file(hfslib_vol* vol, const std::string& path, std::vector<uint8_t>& out) {
    hfs_file_reader file;
    if (file.open(vol, path) != 0) return false;
    out.assign(static_cast<size_t>(file.size()), 0);
    for (uint64_t at = 0; at < out.size();) {
        const size_t want = static_cast<size_t>(std::min<uint64_t>(out.size() - at, 30000));
        const int got = file.read({out.data() + at, want}, static_cast<int64_t>(at));
        if (got <= 0) return false;
        at += static_cast<uint64_t>(got);
    }
    return true;
}

void read_attributes(hfslib_vol* vol, const std::string& path, contents& out) {
    const int size = hfs_list_xattrs(vol, path, {}, hfs_xattr_scope::every_item);
    if (size <= 0) return;
    std::vector<char> names(static_cast<size_t>(size));
    if (hfs_list_xattrs(vol, path, names, hfs_xattr_scope::every_item) != size) return;
    for (size_t at = 0; at < names.size(); at += std::strlen(&names[at]) + 1) {
        const std::string name = &names[at];
        const int length = hfs_get_xattr(vol, path, name, {});
        if (length < 0) continue;
        std::vector<char> value(static_cast<size_t>(length) + 1);
        const int got = hfs_get_xattr(vol, path, name, value);
        if (got < 0) continue;
        out[path + "@" + name].assign(value.begin(), value.begin() + got);
    }
}

struct children {
    std::vector<std::string> names;
};

int take_child(void* ctx, const char* name, const struct stat*, int64_t) {
    static_cast<children*>(ctx)->names.emplace_back(name);
    return 0;
}

// Everything the access layer delivers: listed names (as "path/"), file
// contents, resource forks ("path/rsrc") and attribute values ("path@name").
contents walk(hfslib_vol* vol) {
    contents out;
    std::vector<std::string> folders{"/"};
    while (!folders.empty()) {
        const std::string path = folders.back();
        folders.pop_back();
        struct stat st {};
        if (hfs_stat_path(vol, path, &st) != 0) continue;
        read_attributes(vol, path, out);
        if (!S_ISDIR(st.st_mode)) {
            std::vector<uint8_t> bytes;
            if (read_file(vol, path, bytes)) out[path] = std::move(bytes);
            if (S_ISREG(st.st_mode) && read_file(vol, path + "/rsrc", bytes))
                out[path + "/rsrc"] = std::move(bytes);
            continue;
        }
        if (folders.size() > 1000 || path.size() > 4096) continue;
        hfs_folder_reader folder;
        children listed;
        if (folder.open(vol, path) != 0 || folder.read(HFS_FIRST_CHILD, take_child, &listed) != 0)
            continue;
        for (const std::string& name : listed.names) {
            const std::string child = (path == "/" ? "/" : path + "/") + name;
            out[child + "/"] = {};
            folders.push_back(child);
        }
    }
    return out;
}

// Checks a walk under faults against the sound one: nothing but subsets.
void expect_subset(const contents& faulty, const contents& sound, const std::string& what) {
    for (const auto& [item, bytes] : faulty) {
        auto it = sound.find(item);
        ASSERT_NE(it, sound.end()) << what << ": " << item << " appeared";
        ASSERT_EQ(bytes.size(), it->second.size()) << what << ": " << item;
        ASSERT_TRUE(bytes == it->second) << what << ": other bytes for " << item;
    }
}

class ReadFaults : public ::testing::TestWithParam<const char*> {
protected:
    void SetUp() override {
        image = build_volume(GetParam());
        ASSERT_FALSE(image.empty()) << "mkhfs failed";
        current_fault = {};
        mounted m(image);
        ASSERT_TRUE(m.ok);
        sound = walk(&m.vol);
        sound_reads = current_fault.reads;
        ASSERT_GT(sound.size(), 10u);
    }

    // Walks once with the fault armed, then again on the same mount with
    // the device healed. Returns whether the fault took anything away.
    bool run(const fault& f, const std::string& what) {
        current_fault = f;
        mounted m(image);
        if (!m.ok) return true; // refused at mount: an error, not data
        const contents faulty = walk(&m.vol);
        expect_subset(faulty, sound, what);
        current_fault = {};
        const contents healed = walk(&m.vol);
        for (const auto& [item, bytes] : sound)
            EXPECT_TRUE(healed.count(item)) << what << ": an error was remembered: " << item;
        expect_subset(healed, sound, what + " (healed)");
        return faulty.size() < sound.size();
    }

    std::vector<uint8_t> image;
    contents sound;
    uint64_t sound_reads = 0;
};

TEST_P(ReadFaults, FailingBlocksGiveErrorsNeverOtherBytes) {
    const uint64_t block = 512;
    const uint64_t blocks = image.size() / block;
    const uint64_t step = std::max<uint64_t>(1, blocks / 160);
    int lost = 0, tried = 0;
    for (uint64_t b = 0; b < blocks; b += step) {
        fault f;
        f.fail_begin = b * block;
        f.fail_end = f.fail_begin + block;
        lost += run(f, "block " + std::to_string(b));
        ++tried;
        if (HasFatalFailure()) return;
    }
    // The faults did reach the walk (else the test would prove nothing).
    EXPECT_GT(lost, tried / 4);
}

TEST_P(ReadFaults, FailingReadNumberNGivesErrorsNeverOtherBytes) {
    const uint64_t step = std::max<uint64_t>(1, sound_reads / 120);
    int lost = 0, tried = 0;
    for (uint64_t n = 0; n < sound_reads; n += step) {
        for (bool sticky : {false, true}) {
            fault f;
            f.fail_read = n;
            f.fail_sticky = sticky;
            lost += run(f, "read #" + std::to_string(n) + (sticky ? " onwards" : ""));
            ++tried;
            if (HasFatalFailure()) return;
        }
    }
    EXPECT_GT(lost, tried / 4);
}

INSTANTIATE_TEST_SUITE_P(Volumes, ReadFaults, ::testing::Values("mixed", "hfsx"));

// The device held in memory ends where its bytes end: reads past it fail.
TEST(MemoryDevice, ReadsPastTheEndFail) {
    const std::vector<uint8_t> image = build_volume("hfsx");
    ASSERT_FALSE(image.empty());
    current_fault = {};
    mounted m(image);
    ASSERT_TRUE(m.ok);
    std::vector<uint8_t> buf(4096);
    EXPECT_EQ(hfs_read_device(&m.vol, buf.data(), 4096, image.size() - 4096, nullptr), 0);
    EXPECT_TRUE(std::equal(buf.begin(), buf.end(), image.end() - 4096));
    EXPECT_LT(hfs_read_device(&m.vol, buf.data(), 4096, image.size() - 4095, nullptr), 0);
    EXPECT_LT(hfs_read_device(&m.vol, buf.data(), 1, image.size(), nullptr), 0);
    EXPECT_LT(hfs_read_device(&m.vol, buf.data(), 1, UINT64_MAX - 1, nullptr), 0);
    EXPECT_LT(hfs_read_device(&m.vol, buf.data(), UINT64_MAX, 0, nullptr), 0);
}

// A volume cut short mounts no further than its bytes allow, and never
// reads beyond them.
TEST(MemoryDevice, TruncatedVolumesFailCleanly) {
    std::vector<uint8_t> image = build_volume("mixed");
    ASSERT_FALSE(image.empty());
    for (size_t cut : {size_t{0}, size_t{1024}, size_t{1500}, size_t{1536}, image.size() / 2}) {
        // A copy of exactly `cut` bytes, so that reading past it is caught.
        std::vector<uint8_t> part(image.begin(), image.begin() + static_cast<ptrdiff_t>(cut));
        current_fault = {};
        mounted m(part);
        if (m.ok) walk(&m.vol);
    }
}

} // namespace
