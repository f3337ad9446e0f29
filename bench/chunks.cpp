// The bare decoders on the chunks of a compressed file, in memory: the
// ceiling for reading a chunked decmpfs file (types 4, 8 and 12) through the
// mount. bench/run takes the resource fork of each compressed file of its
// volume and times this program on it.
//
//   bench_chunks TYPE RSRC_FORK_FILE [REPEATS]
//
// Loads the fork, reads its chunk table (the offsets layout where the type
// admits it, else the resource-header layout), decodes every chunk REPEATS
// times (default 1) with the driver's decoder into one buffer of a chunk and
// prints, on one line, the best seconds of one pass over all chunks, the
// uncompressed bytes of one pass and the chunk count. Exits 1 when a chunk
// does not decode, 2 for a type that is not chunked.
#include "access/decmpfs.h"
#include "libhfs/byte_order.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

struct Chunk {
    uint64_t offset;
    uint64_t length;
};

using hfslib::load_le32;

bool offsets_table(const Bytes& fork, std::vector<Chunk>& out) {
    if (fork.size() < 8) return false;
    const uint64_t first = load_le32(fork);
    if (first < 8 || first % 4 != 0 || first > fork.size()) return false;
    const uint64_t entries = first / 4;
    for (uint64_t i = 0; i + 1 < entries; ++i) {
        const uint64_t a = load_le32(fork, 4 * i), b = load_le32(fork, 4 * i + 4);
        if (b < a || b > fork.size()) return false;
        out.push_back({a, b - a});
    }
    return true;
}

bool resource_table(const Bytes& fork, std::vector<Chunk>& out) {
    const auto data = hfslib::try_load_be32(fork);
    if (!data) return false;
    const uint64_t base = uint64_t{*data} + 4;
    const auto count = hfslib::try_load_le32(fork, base);
    if (!count || base + 4 + uint64_t{*count} * 8 > fork.size()) return false;
    for (uint64_t i = 0; i < *count; ++i) {
        const uint64_t entry = base + 4 + 8 * i;
        const uint64_t offset = base + load_le32(fork, entry), length = load_le32(fork, entry + 4);
        if (offset + length > fork.size()) return false;
        out.push_back({offset, length});
    }
    return true;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s TYPE RSRC_FORK_FILE [REPEATS]\n", argv[0]);
        return 2;
    }
    const int type = std::atoi(argv[1]);
    const hfs_decmp_kind* kind = type >= 0 && type <= UINT8_MAX ? hfs_decmp_kind_of(type) : nullptr;
    if (!kind || kind->home != hfs_decmp_home::resource_fork) {
        std::fprintf(stderr, "bench_chunks: type %s is not a chunked type\n", argv[1]);
        return 2;
    }
    const int repeats = argc > 3 ? std::max(1, std::atoi(argv[3])) : 1;
    std::ifstream in(argv[2], std::ios::binary);
    const Bytes fork((std::istreambuf_iterator<char>(in)), {});

    std::vector<Chunk> chunks;
    if (!(kind->layouts.offsets && offsets_table(fork, chunks))) {
        chunks.clear();
        if (!resource_table(fork, chunks)) {
            std::fprintf(stderr, "bench_chunks: no chunk table in %s\n", argv[2]);
            return 1;
        }
    }

    Bytes dst(kind->chunk_size + 1);
    hfs_decmp_scratch scratch;
    double best = 1e30;
    uint64_t total = 0;
    for (int r = 0; r < repeats; ++r) {
        total = 0;
        const auto t0 = std::chrono::steady_clock::now();
        for (const Chunk& c : chunks) {
            size_t n = 0;
            const int rc = hfs_decmp_unpack(kind->type, dst.data(), dst.size(),
                                            fork.data() + c.offset, c.length, &n, &scratch);
            if (rc != 0 || n == 0 || n > kind->chunk_size) {
                std::fprintf(stderr, "bench_chunks: a chunk does not decode\n");
                return 1;
            }
            total += n;
        }
        const auto t1 = std::chrono::steady_clock::now();
        best = std::min(best, std::chrono::duration<double>(t1 - t0).count());
    }
    std::printf("%.6f %llu %zu\n", best, static_cast<unsigned long long>(total), chunks.size());
    return 0;
}
