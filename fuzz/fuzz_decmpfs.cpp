// Fuzz target for the compressed-file reader: hfs_decmp_open and
// hfs_decmp_read over an arbitrary decmpfs attribute and resource fork.
//
// Input: one byte L, then L bytes that follow the "fpmc" magic in the
// attribute (type, size, inline payload), then the resource fork. The fork
// is served from memory through a one-extent list on a volume of 4096-byte
// blocks, so every table and chunk read goes through the library's fork
// reader.
//
// Besides the sanitizers, the target checks that no read returns more than
// it was asked for or than the file holds, and that the same range read
// twice gives the same bytes.
#include "access/decmpfs.h"
#include "libhfs/libhfs.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

const uint8_t* fork_data = nullptr;
size_t fork_size = 0;

void check(bool ok) {
    if (!ok) std::abort();
}

void quiet(const char*, const char*, int, va_list) {}
void* alloc(size_t size, hfslib_cbctx*) {
    return std::malloc(size ? size : 1);
}
void* grow(void* block, size_t size, hfslib_cbctx*) {
    return size ? std::realloc(block, size) : nullptr;
}
void release(void* block, hfslib_cbctx*) {
    std::free(block);
}
int read_fork(hfslib_vol*, void* buf, uint64_t size, uint64_t offset, hfslib_cbctx*) {
    // Bytes past the fork's data but inside its last block read as zeros.
    const uint64_t blocks = (fork_size + 4095) / 4096;
    if (offset > blocks * 4096 || size > blocks * 4096 - offset) return -EIO;
    auto* out = static_cast<uint8_t*>(buf);
    std::memset(out, 0, size);
    if (offset < fork_size)
        std::memcpy(out, fork_data + offset, std::min<uint64_t>(size, fork_size - offset));
    return 0;
}

struct setup {
    setup() {
        hfslib_hooks hooks{quiet, alloc, grow, release, nullptr, nullptr, read_fork};
        hfslib_setup(&hooks);
    }
} installed;

// Reads [offset, offset + len) and checks the count against the file.
int read_range(hfslib_vol* vol, hfs_decmp* s, std::vector<uint8_t>& buf, uint64_t offset,
               size_t len) {
    buf.assign(len, 0xA5);
    const int rc = hfs_decmp_read(vol, s, buf.data(), len, static_cast<int64_t>(offset));
    if (rc >= 0) {
        check(static_cast<size_t>(rc) <= len);
        check(offset < s->size || rc == 0);
        if (offset < s->size) check(static_cast<uint64_t>(rc) <= s->size - offset);
    }
    return rc;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const size_t attr_rest = std::min<size_t>(data[0], size - 1);
    std::vector<uint8_t> attr{'f', 'p', 'm', 'c'};
    attr.insert(attr.end(), data + 1, data + 1 + attr_rest);
    fork_data = data + 1 + attr_rest;
    fork_size = size - 1 - attr_rest;

    hfslib_vol vol{};
    vol.vh.block_size = 4096;
    hfslib_extent extent{0, static_cast<uint32_t>((fork_size + 4095) / 4096)};
    vol.vh.total_blocks = extent.block_count;
    const std::span<const hfslib_extent> rsrc(&extent, extent.block_count ? 1 : 0);

    hfs_decmp_ptr s;
    const int err =
        hfs_decmp_open_extents(&vol, 77, static_cast<uint32_t>(attr.size()), attr.data(), rsrc, s);
    if (!s) {
        check(err < 0);
        return 0;
    }
    check(err == 0);

    // The first 256 KiB in reads of 64 KiB + 1, a read across the first
    // chunk boundary, and the last bytes of the file.
    std::vector<uint8_t> a, b;
    const uint64_t limit = std::min<uint64_t>(s->size, 256 * 1024);
    for (uint64_t at = 0; at < limit; at += 65537)
        if (read_range(&vol, s.get(), a, at, 65537) < 0) break;
    const int first = read_range(&vol, s.get(), a, 65530, 20);
    const int again = read_range(&vol, s.get(), b, 65530, 20);
    if (first >= 0 && again >= 0) {
        check(first == again);
        check(std::memcmp(a.data(), b.data(), static_cast<size_t>(first)) == 0);
    }
    if (s->size > 10) read_range(&vol, s.get(), a, s->size - 10, 100);
    check(hfs_decmp_read(&vol, s.get(), a.data(), 1, -1) == -EINVAL);
    return 0;
}
