// Catalog searches and folder listings of a volume, without FUSE: the CPU
// cost of the metadata paths (cases 5 and 6 of bench/run) in isolation, for
// profiling (perf, valgrind --tool=callgrind) and for before/after figures.
//
//   bench_lookup IMAGE [ROUNDS]
//
// Lists every folder of the root folder, then searches the catalog for every
// child found (by key, as a path lookup does) ROUNDS times (default 3), and
// prints the time per listing entry and per search.
#include "access/device.h"
#include "access/options.h"
#include "libhfs/libhfs.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

double seconds_since(std::chrono::steady_clock::time_point t0) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s IMAGE [ROUNDS]\n", argv[0]);
        return 2;
    }
    const int rounds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 3;
    const hfslib_hooks hooks = hfs_device_hooks();
    hfslib_setup(&hooks);
    hfs_options options{};
    init_options(&options);
    hfslib_cbctx ctx;
    hfslib_clear_cbctx(&ctx);
    ctx.open_arg = &options;
    hfslib_vol vol{};
    if (hfslib_mount(argv[1], 1, &vol, &ctx) != 0) {
        std::fprintf(stderr, "bench_lookup: cannot open %s\n", argv[1]);
        return 1;
    }

    std::vector<hfslib_cat_key> keys;
    std::vector<uint32_t> folders{2};
    size_t listed = 0;
    const auto t0 = std::chrono::steady_clock::now();
    for (size_t f = 0; f < folders.size(); ++f) {
        hfslib_cat_rec* children = nullptr;
        hfslib_uname* names = nullptr;
        uint32_t count = 0;
        if (hfslib_list_folder(&vol, folders[f], &children, &names, &count, nullptr) != 0) {
            std::fprintf(stderr, "bench_lookup: cannot list folder %u\n", folders[f]);
            return 1;
        }
        for (uint32_t i = 0; i < count; ++i) {
            hfslib_cat_key key{};
            hfslib_make_cat_key(folders[f], names[i].length, names[i].units, &key);
            keys.push_back(key);
            if (children[i].type == HFSLIB_REC_FOLDER && f == 0)
                folders.push_back(children[i].folder.cnid);
        }
        listed += count;
        std::free(children);
        std::free(names);
    }
    const double list_time = seconds_since(t0);

    const auto t1 = std::chrono::steady_clock::now();
    hfslib_cat_rec rec{};
    for (int r = 0; r < rounds; ++r)
        for (const hfslib_cat_key& key : keys)
            if (hfslib_find_cat_record(&vol, &key, &rec, nullptr) != 0) {
                std::fprintf(stderr, "bench_lookup: a listed child is not found\n");
                return 1;
            }
    const double search_time = seconds_since(t1);
    const double searches = static_cast<double>(keys.size()) * rounds;
    std::printf("%zu folders listed, %zu entries: %.2f us per entry; %.0f searches: %.2f us each\n",
                folders.size(), listed, list_time / static_cast<double>(listed) * 1e6, searches,
                search_time / searches * 1e6);
    hfslib_unmount(&vol, nullptr);
    return 0;
}
