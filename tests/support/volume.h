// Support of the library tests: hooks that serve a volume from an image file
// (pread) or from memory, count reads and allocations and capture messages;
// real images unpacked on demand; crafted node and record bytes; SHA-256.
#pragma once

#include "libhfs/byte_order.h"
#include "libhfs/libhfs.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace qtest {

// A device behind the test read hook: an image file read with pread, or
// bytes in memory. The hook adds the volume's embedded offset, as the
// program's hook does.
struct device {
    std::vector<uint8_t> bytes; // in-memory volume (used when fd < 0)
    int fd = -1;                // image file
    size_t reads = 0;
    std::vector<std::pair<uint64_t, uint64_t>> log; // (device offset, size)
    size_t fail_after = SIZE_MAX;                   // reads beyond this count fail
    ~device();
};

// Installs the test hooks, clears captured messages and counters, and makes
// `dev` the device the open hook hands to the next mount.
void install_hooks(device* dev);
void set_device(device* dev);

// Messages reported since the last install_hooks / clear_messages.
const std::vector<std::string>& messages();
void clear_messages();
bool has_message(const std::string& text);
std::string all_messages();

// Blocks obtained through the alloc and realloc hooks and not yet freed.
long live_blocks();
// Calls of the alloc hook still allowed to succeed (SIZE_MAX: unlimited).
void set_alloc_budget(size_t allocations);
size_t close_calls();

// Unpacks NAME.img.xz from the shared images into the build folder once and
// returns the image's path; nullopt when the shared folder is absent.
std::optional<std::string> image_path(const std::string& name);
std::optional<std::vector<uint8_t>> image_bytes(const std::string& name);
std::string shared_file(const std::string& name);

// Loads image `name` into dev (from memory). Sets skip when absent.
bool load_image(const std::string& name, device& dev);
bool open_image_file(const std::string& name, device& dev);

int mount(device& dev, hfslib_vol& vol);

// One line of NAME.groundtruth.tsv.
struct truth {
    std::string reader, kind, path, inode;
    uint64_t size = 0;
    std::string sha256;
};
std::vector<truth> groundtruth(const std::string& name);

std::string sha256_hex(const uint8_t* data, size_t len);

// Big-endian writers and readers of byte vectors.
inline void put16(std::vector<uint8_t>& b, size_t at, uint16_t v) {
    hfslib::store_be16(b, at, v);
}
inline void put32(std::vector<uint8_t>& b, size_t at, uint32_t v) {
    hfslib::store_be32(b, at, v);
}
inline void put64(std::vector<uint8_t>& b, size_t at, uint64_t v) {
    hfslib::store_be64(b, at, v);
}
inline uint16_t get16(const std::vector<uint8_t>& b, size_t at) {
    return hfslib::load_be16(b, at);
}
inline uint32_t get32(const std::vector<uint8_t>& b, size_t at) {
    return hfslib::load_be32(b, at);
}

// Builds a node of `node_size` bytes holding `records` (each at an even
// offset unless the record itself is odd-sized), with descriptor fields and a
// correct offset table.
std::vector<uint8_t> make_node(uint16_t node_size, int8_t kind, uint8_t height, uint32_t flink,
                               uint32_t blink, const std::vector<std::vector<uint8_t>>& records);

// A catalog key on disk (2-byte key length) for parent and ASCII name.
std::vector<uint8_t> cat_key_bytes(uint32_t parent, const std::u16string& name);
hfslib_cat_key cat_key(uint32_t parent, const std::u16string& name);

// Looks up a slash-separated ASCII path from the root; 0 on success.
int lookup_path(hfslib_vol& vol, const std::string& path, hfslib_cat_rec& rec);

} // namespace qtest

// Skips the test when the shared images are absent (a fresh clone).
#define QTEST_LOAD_OR_SKIP(name, dev)                                                              \
    do {                                                                                           \
        if (!qtest::load_image(name, dev)) GTEST_SKIP() << "shared image " << name << " absent";   \
    } while (0)
