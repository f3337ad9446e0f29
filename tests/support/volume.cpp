#include "tests/support/volume.h"

#include <array>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>
#include <unistd.h>

namespace qtest {
namespace {

std::vector<std::string> captured;
long live = 0;
size_t alloc_budget = SIZE_MAX;
size_t closes = 0;
device* current = nullptr;

void err_hook(const char* format, const char*, int, va_list args) {
    char text[1024];
    vsnprintf(text, sizeof text, format, args);
    captured.emplace_back(text);
}

void* alloc_hook(size_t size, hfslib_cbctx*) {
    if (alloc_budget == 0) return nullptr;
    if (alloc_budget != SIZE_MAX) --alloc_budget;
    void* p = std::malloc(size ? size : 1);
    if (p) ++live;
    return p;
}

void* realloc_hook(void* block, size_t size, hfslib_cbctx*) {
    if (alloc_budget == 0) return nullptr;
    if (alloc_budget != SIZE_MAX) --alloc_budget;
    void* p = std::realloc(block, size ? size : 1);
    if (p && !block) ++live;
    return p;
}

void free_hook(void* block, hfslib_cbctx*) {
    if (block) --live;
    std::free(block);
}

int open_hook(hfslib_vol* vol, const char*, hfslib_cbctx*) {
    if (!current) return 1;
    vol->device = current;
    return 0;
}

void close_hook(hfslib_vol* vol, hfslib_cbctx*) {
    ++closes;
    vol->device = nullptr;
}

int read_hook(hfslib_vol* vol, void* buf, uint64_t size, uint64_t offset, hfslib_cbctx*) {
    auto* dev = static_cast<device*>(vol->device);
    if (!dev) return -EBADF;
    uint64_t at = 0;
    {
        // Compressed files are read ahead on background threads too.
        static std::mutex counting;
        std::lock_guard held(counting);
        ++dev->reads;
        if (__builtin_add_overflow(offset, vol->embedded_offset, &at)) return -EIO;
        dev->log.emplace_back(at, size);
        if (dev->reads > dev->fail_after) return -EIO;
    }
    if (dev->fd >= 0) {
        auto* out = static_cast<uint8_t*>(buf);
        uint64_t done = 0;
        while (done < size) {
            ssize_t got = pread(dev->fd, out + done, size - done, static_cast<off_t>(at + done));
            if (got <= 0) return -EIO;
            done += static_cast<uint64_t>(got);
        }
        return 0;
    }
    if (at > dev->bytes.size() || size > dev->bytes.size() - at) return -EIO;
    std::memcpy(buf, dev->bytes.data() + at, size);
    return 0;
}

std::string scratch_dir() {
    return QUORVEL_TEST_SCRATCH;
}

// --- SHA-256 ---------------------------------------------------------------
constexpr std::array<uint32_t, 64> K = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

uint32_t rotr(uint32_t x, int n) {
    return (x >> n) | (x << (32 - n));
}

void sha_block(std::array<uint32_t, 8>& h, const uint8_t* p) {
    uint32_t w[64];
    for (int i = 0; i < 16; ++i)
        w[i] = (uint32_t{p[4 * i]} << 24) | (uint32_t{p[4 * i + 1]} << 16) |
               (uint32_t{p[4 * i + 2]} << 8) | p[4 * i + 3];
    for (int i = 16; i < 64; ++i) {
        uint32_t s0 = rotr(w[i - 15], 7) ^ rotr(w[i - 15], 18) ^ (w[i - 15] >> 3);
        uint32_t s1 = rotr(w[i - 2], 17) ^ rotr(w[i - 2], 19) ^ (w[i - 2] >> 10);
        w[i] = w[i - 16] + s0 + w[i - 7] + s1;
    }
    uint32_t a = h[0], b = h[1], c = h[2], d = h[3], e = h[4], f = h[5], g = h[6], hh = h[7];
    for (int i = 0; i < 64; ++i) {
        uint32_t t1 =
            hh + (rotr(e, 6) ^ rotr(e, 11) ^ rotr(e, 25)) + ((e & f) ^ (~e & g)) + K[i] + w[i];
        uint32_t t2 = (rotr(a, 2) ^ rotr(a, 13) ^ rotr(a, 22)) + ((a & b) ^ (a & c) ^ (b & c));
        hh = g;
        g = f;
        f = e;
        e = d + t1;
        d = c;
        c = b;
        b = a;
        a = t1 + t2;
    }
    h[0] += a, h[1] += b, h[2] += c, h[3] += d, h[4] += e, h[5] += f, h[6] += g, h[7] += hh;
}

} // namespace

device::~device() {
    if (fd >= 0) close(fd);
}

void install_hooks(device* dev) {
    hfslib_hooks hooks{err_hook,  alloc_hook, realloc_hook, free_hook,
                       open_hook, close_hook, read_hook};
    hfslib_setup(&hooks);
    captured.clear();
    live = 0;
    alloc_budget = SIZE_MAX;
    closes = 0;
    current = dev;
}

void set_device(device* dev) {
    current = dev;
}

const std::vector<std::string>& messages() {
    return captured;
}
void clear_messages() {
    captured.clear();
}
bool has_message(const std::string& text) {
    for (const auto& m : captured)
        if (m == text) return true;
    return false;
}
std::string all_messages() {
    std::string s;
    for (const auto& m : captured) s += "[" + m + "] ";
    return s;
}
long live_blocks() {
    return live;
}
void set_alloc_budget(size_t allocations) {
    alloc_budget = allocations;
}
size_t close_calls() {
    return closes;
}

std::string shared_file(const std::string& name) {
    return std::string(QUORVEL_SHARED_IMAGES) + "/" + name;
}

std::optional<std::string> image_path(const std::string& name) {
    static std::mutex lock;
    std::lock_guard guard(lock);
    const std::string src = shared_file(name + ".img.xz");
    if (!std::filesystem::exists(src)) return std::nullopt;
    std::filesystem::create_directories(scratch_dir());
    const std::string dst = scratch_dir() + "/" + name + ".img";
    if (!std::filesystem::exists(dst)) {
        // Test processes may unpack the same image at once: each writes its
        // own file and renames it into place.
        const std::string tmp = dst + "." + std::to_string(getpid()) + ".part";
        const std::string cmd = "xz -dc '" + src + "' > '" + tmp + "'";
        if (std::system(cmd.c_str()) != 0) return std::nullopt;
        std::filesystem::rename(tmp, dst);
    }
    return dst;
}

std::optional<std::vector<uint8_t>> image_bytes(const std::string& name) {
    auto path = image_path(name);
    if (!path) return std::nullopt;
    std::ifstream in(*path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

bool load_image(const std::string& name, device& dev) {
    auto bytes = image_bytes(name);
    if (!bytes) return false;
    dev.bytes = std::move(*bytes);
    return true;
}

bool open_image_file(const std::string& name, device& dev) {
    auto path = image_path(name);
    if (!path) return false;
    dev.fd = ::open(path->c_str(), O_RDONLY);
    return dev.fd >= 0;
}

int mount(device& dev, hfslib_vol& vol) {
    set_device(&dev);
    vol = hfslib_vol{};
    return hfslib_mount("test-volume", 1, &vol, nullptr);
}

std::vector<truth> groundtruth(const std::string& name) {
    std::vector<truth> out;
    std::ifstream in(shared_file(name + ".groundtruth.tsv"));
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        truth t;
        std::string size;
        std::getline(fields, t.reader, '\t');
        std::getline(fields, t.kind, '\t');
        std::getline(fields, t.path, '\t');
        std::getline(fields, t.inode, '\t');
        std::getline(fields, size, '\t');
        std::getline(fields, t.sha256, '\t');
        t.size = std::strtoull(size.c_str(), nullptr, 10);
        out.push_back(t);
    }
    return out;
}

std::string sha256_hex(const uint8_t* data, size_t len) {
    std::array<uint32_t, 8> h = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                 0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
    size_t i = 0;
    for (; i + 64 <= len; i += 64) sha_block(h, data + i);
    uint8_t tail[128] = {};
    size_t rest = len - i;
    if (rest) std::memcpy(tail, data + i, rest);
    tail[rest] = 0x80;
    size_t tail_len = rest + 9 <= 64 ? 64 : 128;
    uint64_t bits = uint64_t{len} * 8;
    for (int k = 0; k < 8; ++k) tail[tail_len - 1 - k] = static_cast<uint8_t>(bits >> (8 * k));
    for (size_t k = 0; k < tail_len; k += 64) sha_block(h, tail + k);
    char hex[65];
    for (int k = 0; k < 8; ++k) std::snprintf(hex + 8 * k, 9, "%08x", h[k]);
    return std::string(hex, 64);
}

std::vector<uint8_t> make_node(uint16_t node_size, int8_t kind, uint8_t height, uint32_t flink,
                               uint32_t blink, const std::vector<std::vector<uint8_t>>& records) {
    std::vector<uint8_t> node(node_size, 0);
    put32(node, 0, flink);
    put32(node, 4, blink);
    node[8] = static_cast<uint8_t>(kind);
    node[9] = height;
    put16(node, 10, static_cast<uint16_t>(records.size()));
    size_t at = 14;
    for (size_t i = 0; i < records.size(); ++i) {
        put16(node, node_size - 2 * (i + 1), static_cast<uint16_t>(at));
        std::memcpy(node.data() + at, records[i].data(), records[i].size());
        at += records[i].size();
    }
    put16(node, node_size - 2 * (records.size() + 1), static_cast<uint16_t>(at));
    return node;
}

std::vector<uint8_t> cat_key_bytes(uint32_t parent, const std::u16string& name) {
    std::vector<uint8_t> b(8 + 2 * name.size());
    put16(b, 0, static_cast<uint16_t>(6 + 2 * name.size()));
    put32(b, 2, parent);
    put16(b, 6, static_cast<uint16_t>(name.size()));
    for (size_t i = 0; i < name.size(); ++i) put16(b, 8 + 2 * i, name[i]);
    return b;
}

hfslib_cat_key cat_key(uint32_t parent, const std::u16string& name) {
    hfslib_cat_key key{};
    std::vector<uint16_t> units(name.begin(), name.end());
    hfslib_make_cat_key(parent, static_cast<uint16_t>(units.size()), units.data(), &key);
    return key;
}

int lookup_path(hfslib_vol& vol, const std::string& path, hfslib_cat_rec& rec) {
    uint32_t parent = 2;
    std::istringstream parts(path);
    std::string part;
    int rc = hfslib_find_cat_record_by_cnid(&vol, 2, &rec, nullptr, nullptr);
    while (rc == 0 && std::getline(parts, part, '/')) {
        if (part.empty()) continue;
        std::u16string name(part.begin(), part.end());
        for (auto& u : name)
            if (u == u':') u = u'/';
        hfslib_cat_key key = cat_key(parent, name);
        rc = hfslib_find_cat_record(&vol, &key, &rec, nullptr);
        if (rc == 0 && rec.type == HFSLIB_REC_FOLDER) parent = rec.folder.cnid;
    }
    return rc;
}

} // namespace qtest
