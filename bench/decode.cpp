// Decoding speed of our LZFSE and LZVN decoders against zlib's inflate, on
// the same contents (the shared reference vectors), in MB/s of output.
//
//   KIND/64KiB: the 65536-byte vectors: zlib inflates the content compressed
//               at setup; LZFSE and LZVN decode the given streams.
//   KIND/1MiB:  the 1 MiB vectors: zlib inflates 16 separately compressed
//               64 KiB chunks (as decmpfs stores them); LZFSE decodes the
//               given 1 MiB stream (there is no 1 MiB LZVN vector).
//
// The vector folder can be given as the first argument (default: the
// shared test data of the source tree).
#include "lzfse/lzfse.h"

#include <benchmark/benchmark.h>
#include <zlib.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;
namespace fs = std::filesystem;

fs::path g_dir = QUORVEL_COMPRESS_DIR;

Bytes read_file(const fs::path& p) {
    std::ifstream f(p, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(f), {});
}

void set_rate(benchmark::State& state, size_t bytes_per_iteration) {
    state.counters["MB/s"] = benchmark::Counter(static_cast<double>(bytes_per_iteration) *
                                                    static_cast<double>(state.iterations()) / 1e6,
                                                benchmark::Counter::kIsRate);
}

struct ZlibChunks {
    std::vector<Bytes> packed;
    std::vector<size_t> sizes;
};

ZlibChunks zlib_chunks(const Bytes& raw, size_t chunk) {
    ZlibChunks z;
    for (size_t at = 0; at < raw.size(); at += chunk) {
        const size_t n = std::min(chunk, raw.size() - at);
        uLongf len = compressBound(n);
        Bytes out(len);
        if (compress2(out.data(), &len, raw.data() + at, n, Z_DEFAULT_COMPRESSION) != Z_OK)
            throw std::runtime_error("compress2 failed");
        out.resize(len);
        z.packed.push_back(std::move(out));
        z.sizes.push_back(n);
    }
    return z;
}

void bench_zlib(benchmark::State& state, const Bytes& raw, size_t chunk) {
    const ZlibChunks z = zlib_chunks(raw, chunk);
    Bytes dst(chunk);
    for (auto _ : state) {
        for (size_t i = 0; i < z.packed.size(); ++i) {
            uLongf len = dst.size();
            if (uncompress(dst.data(), &len, z.packed[i].data(), z.packed[i].size()) != Z_OK ||
                len != z.sizes[i]) {
                state.SkipWithError("inflate failed");
                return;
            }
            benchmark::DoNotOptimize(dst.data());
        }
    }
    set_rate(state, raw.size());
}

void bench_lzfse(benchmark::State& state, const Bytes& raw, const Bytes& packed) {
    Bytes dst(raw.size() + 1);
    std::vector<uint64_t> scratch(lzfse_decode_scratch_size() / 8 + 1);
    if (lzfse_decode_buffer(dst.data(), dst.size(), packed.data(), packed.size(), scratch.data()) !=
            raw.size() ||
        std::memcmp(dst.data(), raw.data(), raw.size()) != 0) {
        state.SkipWithError("LZFSE stream does not decode to its content");
        return;
    }
    for (auto _ : state) {
        const size_t n = lzfse_decode_buffer(dst.data(), dst.size(), packed.data(), packed.size(),
                                             scratch.data());
        benchmark::DoNotOptimize(n);
        benchmark::DoNotOptimize(dst.data());
    }
    set_rate(state, raw.size());
}

void bench_lzvn(benchmark::State& state, const Bytes& raw, const Bytes& packed) {
    Bytes dst(raw.size() + 1);
    if (lzvn_decode_buffer(dst.data(), dst.size(), packed.data(), packed.size()) != raw.size() ||
        std::memcmp(dst.data(), raw.data(), raw.size()) != 0) {
        state.SkipWithError("LZVN stream does not decode to its content");
        return;
    }
    for (auto _ : state) {
        const size_t n = lzvn_decode_buffer(dst.data(), dst.size(), packed.data(), packed.size());
        benchmark::DoNotOptimize(n);
        benchmark::DoNotOptimize(dst.data());
    }
    set_rate(state, raw.size());
}

// The vectors live as long as the benchmarks run.
std::vector<std::unique_ptr<Bytes>> g_keep;

const Bytes* keep(Bytes b) {
    g_keep.push_back(std::make_unique<Bytes>(std::move(b)));
    return g_keep.back().get();
}

void register_all() {
    constexpr size_t kChunk = 65536;
    for (const char* kind : {"text", "matches", "runs", "pattern", "zeros", "random"}) {
        const std::string k = kind;
        const fs::path z = g_dir / "lzfse", v = g_dir / "lzvn";
        if (fs::exists(z / (k + "-65536.raw"))) {
            const Bytes* raw = keep(read_file(z / (k + "-65536.raw")));
            const Bytes* lzfse = keep(read_file(z / (k + "-65536.lzfse")));
            benchmark::RegisterBenchmark(("zlib/" + k + "/64KiB").c_str(), bench_zlib,
                                         std::cref(*raw), kChunk);
            benchmark::RegisterBenchmark(("lzfse/" + k + "/64KiB").c_str(), bench_lzfse,
                                         std::cref(*raw), std::cref(*lzfse));
        }
        if (fs::exists(v / (k + "-65536.lzvn"))) {
            const Bytes* raw = keep(read_file(v / (k + "-65536.raw")));
            const Bytes* lzvn = keep(read_file(v / (k + "-65536.lzvn")));
            benchmark::RegisterBenchmark(("lzvn/" + k + "/64KiB").c_str(), bench_lzvn,
                                         std::cref(*raw), std::cref(*lzvn));
        }
        if (fs::exists(z / (k + "-1048576.raw"))) {
            const Bytes* raw = keep(read_file(z / (k + "-1048576.raw")));
            const Bytes* lzfse = keep(read_file(z / (k + "-1048576.lzfse")));
            benchmark::RegisterBenchmark(("zlib/" + k + "/1MiB").c_str(), bench_zlib,
                                         std::cref(*raw), kChunk);
            benchmark::RegisterBenchmark(("lzfse/" + k + "/1MiB").c_str(), bench_lzfse,
                                         std::cref(*raw), std::cref(*lzfse));
        }
    }
}

} // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (argc > 1) g_dir = argv[1];
    if (!fs::is_directory(g_dir)) {
        std::cerr << "bench_decode: no vectors in " << g_dir << " (give the folder as argument)\n";
        return 1;
    }
    register_all();
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
