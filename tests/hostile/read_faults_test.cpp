// Device read errors: a read hook that fails chosen reads stands between the
// library and a volume held in memory. Whatever read fails, every file, fork
// and attribute value is either delivered exactly as on the sound device or
// refused with an error; never with other bytes. Errors are not remembered
// as data: once the device reads again, the same mount delivers everything.
#include "decmpfs.h"
#include "device.h"
#include "hard_links.h"
#include "libhfs.h"
#include "names.h"
#include "options.h"
#include "path_resolve.h"
#include "stat.h"

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
using free_ptr = std::unique_ptr<void, decltype(&std::free)>;

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

bool read_fork(hfslib_vol* vol, uint32_t cnid, uint8_t fork, uint64_t size,
               std::vector<uint8_t>& out) {
    hfslib_extent* raw = nullptr;
    const uint16_t count = hfslib_collect_fork_extents(vol, cnid, fork, &raw, nullptr);
    free_ptr extents(raw, std::free);
    out.assign(static_cast<size_t>(size), 0);
    uint64_t got = 0;
    return hfslib_read_fork_range(vol, out.data(), &got, size, 0, raw, count, nullptr) == 0 &&
           got == size;
}

bool read_compressed(hfslib_vol* vol, const hfslib_cat_rec& rec, std::vector<uint8_t>& out) {
    hfs_decmp_info info{};
    uint32_t attr_len = 0;
    uint8_t* attr_data = nullptr;
    if (hfs_decmp_probe(vol, &rec, &info, &attr_len, &attr_data) != 0) return false;
    free_ptr attribute(attr_data, std::free);
    hfs_decmp_ptr state;
    if (hfs_decmp_open(vol, rec.file.cnid, attr_len, attr_data, state) != 0) return false;
    out.assign(static_cast<size_t>(info.size), 0);
    uint64_t at = 0;
    while (at < info.size) {
        const int got =
            hfs_decmp_read(vol, state.get(), out.data() + at,
                           static_cast<size_t>(std::min<uint64_t>(info.size - at, 30000)),
                           static_cast<int64_t>(at));
        if (got <= 0) return false;
        at += static_cast<uint64_t>(got);
    }
    return true;
}

void read_attributes(hfslib_vol* vol, uint32_t cnid, const std::string& path, contents& out) {
    hfslib_attr_key* raw = nullptr;
    uint32_t count = 0;
    const int listed = hfslib_list_attr_keys(vol, cnid, &raw, &count, nullptr);
    free_ptr keys(raw, std::free);
    if (listed != 0) return;
    char text[HFS_NAME_TEXT_BUF];
    for (uint32_t i = 0; i < count; ++i) {
        const int len =
            hfs_uname_to_attr_name(raw[i].name, std::span<char, HFS_NAME_TEXT_BUF>(text));
        if (len <= 0) continue;
        hfslib_attr_rec attr{};
        uint8_t* inline_raw = nullptr;
        if (hfslib_lookup_attr(vol, &raw[i], &attr, &inline_raw, nullptr) != 0) {
            std::free(inline_raw);
            continue;
        }
        free_ptr inline_data(inline_raw, std::free);
        std::vector<uint8_t> value;
        if (attr.type == HFSLIB_ATTR_INLINE) {
            if (attr.inline_data.size && !inline_raw) continue;
            value.assign(inline_raw, inline_raw + attr.inline_data.size);
        } else if (attr.type == HFSLIB_ATTR_FORK) {
            hfslib_extent* ext = nullptr;
            uint16_t n = 0;
            if (hfslib_collect_attr_extents(vol, &raw[i], &attr, &n, &ext, nullptr) != 0) continue;
            free_ptr extents(ext, std::free);
            value.assign(static_cast<size_t>(attr.fork.logical_size), 0);
            uint64_t got = 0;
            if (hfslib_read_fork_range(vol, value.data(), &got, attr.fork.logical_size, 0, ext, n,
                                       nullptr) != 0 ||
                got != attr.fork.logical_size)
                continue;
        } else {
            continue;
        }
        out[path + "@" + std::string(text, static_cast<size_t>(len))] = std::move(value);
    }
}

// Everything the volume delivers: listed names (as "path/"), file contents,
// resource forks ("path/rsrc") and attribute values ("path@name").
contents walk(hfslib_vol* vol) {
    contents out;
    std::vector<std::string> folders{"/"};
    while (!folders.empty()) {
        const std::string path = folders.back();
        folders.pop_back();
        hfslib_cat_rec rec{};
        hfslib_cat_key key{};
        if (hfs_resolve_path(vol, path, &rec, &key, nullptr) != 0) continue;
        read_attributes(vol, hfs_record_cnid(rec), path, out);
        if (rec.type == HFSLIB_REC_FILE) {
            std::vector<uint8_t> bytes;
            hfs_decmp_info info{};
            const bool compressed = hfs_decmp_probe(vol, &rec, &info, nullptr, nullptr) == 0;
            if (compressed ? read_compressed(vol, rec, bytes)
                           : read_fork(vol, rec.file.cnid, HFSLIB_DATA_FORK,
                                       rec.file.data_fork.logical_size, bytes))
                out[path] = std::move(bytes);
            if (read_fork(vol, rec.file.cnid, HFSLIB_RSRC_FORK, rec.file.rsrc_fork.logical_size,
                          bytes))
                out[path + "/rsrc"] = std::move(bytes);
            continue;
        }
        if (rec.type != HFSLIB_REC_FOLDER || folders.size() > 1000) continue;
        hfslib_cat_rec* children = nullptr;
        hfslib_uname* names = nullptr;
        uint32_t count = 0;
        if (hfslib_list_folder(vol, rec.folder.cnid, &children, &names, &count, nullptr) != 0)
            continue;
        free_ptr kids(children, std::free), kid_names(names, std::free);
        char text[HFS_NAME_TEXT_BUF];
        for (uint32_t i = 0; i < count; ++i) {
            const int len =
                hfs_uname_to_path_name(names[i], std::span<char, HFS_NAME_TEXT_BUF>(text));
            if (len <= 0) continue;
            const std::string child = (path == "/" ? "/" : path + "/") + std::string(text, len);
            out[child + "/"] = {};
            // Hard-linked folders are walked through their own path only.
            if (hfs_is_folder_link(children[i])) continue;
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
