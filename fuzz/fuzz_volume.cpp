// Whole-volume fuzz target: the input is a volume image, served from memory
// through the device hooks (hfs_memory_device_hooks). The target mounts it,
// then walks it the way the mounted file system does, with bounded effort:
// resolves every path it lists, lists folders (hfslib_list_folder), follows
// hard links, stats every entry (hfs_stat), reads every file's data fork (or
// its compressed contents through decmpfs) and resource fork, and lists and
// reads every extended attribute.
//
// Bounds: at most max_entries paths, max_depth levels, read_cap bytes read
// from any one fork or attribute (its start and its end) and total_cap bytes
// in all.
#include "fuzz_common.h"

#include "access/decmpfs.h"
#include "access/device.h"
#include "access/hard_links.h"
#include "access/names.h"
#include "access/options.h"
#include "access/path_resolve.h"
#include "access/stat.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <deque>
#include <memory>
#include <string>
#include <vector>

namespace {

constexpr size_t max_entries = 300;
constexpr size_t max_depth = 24;
constexpr uint64_t read_cap = 160 * 1024;
constexpr uint64_t total_cap = 1024 * 1024;
constexpr size_t piece = 65536 + 17; // not a multiple of any block size

struct walk {
    hfslib_vol* vol;
    std::vector<uint8_t> buf = std::vector<uint8_t>(piece);
    uint64_t budget = total_cap;

    // Bytes of [0, size) to read: the start and the end, within the caps.
    template <class Read>
    void read_ends(uint64_t size, Read read) {
        const uint64_t head = std::min<uint64_t>({size, read_cap / 2, budget});
        for (uint64_t at = 0; at < head; at += piece)
            if (!read(at, std::min<uint64_t>(piece, head - at))) return;
        budget -= head;
        if (size > head) {
            const uint64_t tail = std::min<uint64_t>({size - head, read_cap / 2, budget, piece});
            if (tail) read(size - tail, tail);
            budget -= tail;
        }
    }

    void read_fork(uint32_t cnid, uint8_t fork, uint64_t size) {
        hfslib_extent* raw = nullptr;
        const uint16_t count = hfslib_collect_fork_extents(vol, cnid, fork, &raw, nullptr);
        std::unique_ptr<hfslib_extent, decltype(&std::free)> extents(raw, std::free);
        read_ends(size, [&](uint64_t at, uint64_t n) {
            uint64_t got = 0;
            const int rc =
                hfslib_read_fork_range(vol, buf.data(), &got, n, at, extents.get(), count, nullptr);
            qfuzz::check(got <= n);
            return rc == 0;
        });
    }

    void read_compressed(const hfslib_cat_rec& rec) {
        hfs_decmp_info info{};
        uint32_t attr_len = 0;
        uint8_t* attr_data = nullptr;
        if (hfs_decmp_probe(vol, &rec, &info, &attr_len, &attr_data) != 0) return;
        std::unique_ptr<uint8_t, decltype(&std::free)> attribute(attr_data, std::free);
        hfs_decmp_ptr state;
        const int err = hfs_decmp_open(vol, rec.file.cnid, attr_len, attribute.get(), state);
        if (!state) {
            qfuzz::check(err < 0);
            return;
        }
        read_ends(info.size, [&](uint64_t at, uint64_t n) {
            const int got =
                hfs_decmp_read(vol, state.get(), buf.data(), n, static_cast<int64_t>(at));
            qfuzz::check(got <= static_cast<int64_t>(n));
            return got > 0;
        });
    }

    void attributes(uint32_t cnid) {
        hfslib_attr_key* raw = nullptr;
        uint32_t count = 0;
        const int listed = hfslib_list_attr_keys(vol, cnid, &raw, &count, nullptr);
        std::unique_ptr<hfslib_attr_key, decltype(&std::free)> keys(raw, std::free);
        if (listed != 0) return;
        char text[HFS_NAME_TEXT_BUF];
        for (uint32_t i = 0; i < count && i < 64; ++i) {
            hfs_uname_to_attr_name(keys.get()[i].name, std::span<char, HFS_NAME_TEXT_BUF>(text));
            hfslib_attr_rec attr{};
            uint8_t* inline_raw = nullptr;
            if (hfslib_lookup_attr(vol, &keys.get()[i], &attr, &inline_raw, nullptr) != 0) {
                std::free(inline_raw);
                continue;
            }
            std::unique_ptr<uint8_t, decltype(&std::free)> inline_data(inline_raw, std::free);
            if (attr.type == HFSLIB_ATTR_INLINE && inline_data && attr.inline_data.size > 0) {
                // The whole value must be there to read.
                volatile uint8_t last = inline_data.get()[attr.inline_data.size - 1];
                (void)last;
            }
            if (attr.type != HFSLIB_ATTR_FORK) continue;
            hfslib_extent* ext_raw = nullptr;
            uint16_t ext_count = 0;
            if (hfslib_collect_attr_extents(vol, &keys.get()[i], &attr, &ext_count, &ext_raw,
                                            nullptr) != 0) {
                qfuzz::check(ext_raw == nullptr && ext_count == 0);
                continue;
            }
            std::unique_ptr<hfslib_extent, decltype(&std::free)> extents(ext_raw, std::free);
            read_ends(attr.fork.logical_size, [&](uint64_t at, uint64_t n) {
                uint64_t got = 0;
                return hfslib_read_fork_range(vol, buf.data(), &got, n, at, extents.get(),
                                              ext_count, nullptr) == 0;
            });
        }
    }

    // Everything the file system does with one path short of listing it.
    void visit(const std::string& path, std::vector<std::string>& folders) {
        hfslib_cat_rec rec{};
        hfslib_cat_key key{};
        uint8_t fork = 0;
        if (hfs_resolve_path(vol, path, &rec, &key, &fork) != 0) return;
        struct stat st {};
        if (rec.type == HFSLIB_REC_FOLDER) {
            hfs_stat(vol, &rec, &st, HFSLIB_DATA_FORK, nullptr);
            folders.push_back(path);
        } else if (rec.type == HFSLIB_REC_FILE) {
            hfs_decmp_info info{};
            const int probe = hfs_decmp_probe(vol, &rec, &info, nullptr, nullptr);
            hfs_stat(vol, &rec, &st, fork, probe == 0 || probe == -EOPNOTSUPP ? &info : nullptr);
            if (probe == 0)
                read_compressed(rec);
            else
                read_fork(rec.file.cnid, HFSLIB_DATA_FORK, rec.file.data_fork.logical_size);
            read_fork(rec.file.cnid, HFSLIB_RSRC_FORK, rec.file.rsrc_fork.logical_size);
            // The resource fork by path, as "name/rsrc".
            hfslib_cat_rec other{};
            hfs_resolve_path(vol, path + "/rsrc", &other, &key, &fork);
        }
        attributes(hfs_record_cnid(rec));
    }

    void list(const std::string& path, std::deque<std::pair<std::string, size_t>>& queue,
              size_t depth, size_t& seen) {
        hfslib_cat_rec folder{};
        hfslib_cat_key key{};
        if (hfs_resolve_path(vol, path, &folder, &key, nullptr) != 0) return;
        if (folder.type != HFSLIB_REC_FOLDER) return;
        // The parent, as ".." is listed.
        hfslib_cat_rec parent{};
        hfslib_cat_key parent_key{};
        hfslib_find_cat_record_by_cnid(vol, key.parent_cnid, &parent, &parent_key, nullptr);

        hfslib_cat_rec* children = nullptr;
        hfslib_uname* names = nullptr;
        uint32_t count = 0;
        const int listed =
            hfslib_list_folder(vol, folder.folder.cnid, &children, &names, &count, nullptr);
        std::unique_ptr<hfslib_cat_rec, decltype(&std::free)> kids(children, std::free);
        std::unique_ptr<hfslib_uname, decltype(&std::free)> kid_names(names, std::free);
        if (listed != 0) {
            qfuzz::check(!children && !names);
            return;
        }
        const std::string prefix = path == "/" ? "/" : path + "/";
        char name[HFS_NAME_TEXT_BUF];
        for (uint32_t i = 0; i < count; ++i) {
            hfs_resolve_links(vol, kids.get()[i], true, true);
            const int len = hfs_uname_to_path_name(kid_names.get()[i],
                                                   std::span<char, HFS_NAME_TEXT_BUF>(name));
            if (len <= 0 || std::memchr(name, '\0', static_cast<size_t>(len))) continue;
            const std::string child = prefix + std::string(name, static_cast<size_t>(len));
            hfslib_cat_key child_key{};
            child_key.parent_cnid = folder.folder.cnid;
            child_key.name = kid_names.get()[i];
            child_key.key_len =
                static_cast<uint16_t>(6 + 2 * std::min<uint16_t>(child_key.name.length, 255));
            hfs_cache_record(vol, child, kids.get()[i], child_key);
            struct stat st {};
            hfs_stat(vol, &kids.get()[i], &st, HFSLIB_DATA_FORK, nullptr);
            if (seen >= max_entries) continue;
            ++seen;
            queue.emplace_back(child, depth + 1);
        }
    }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const hfslib_hooks hooks = hfs_memory_device_hooks();
    hfslib_setup(&hooks);
    hfslib_set_err_hook(qfuzz::quiet);

    hfs_options options{};
    init_options(&options);
    hfs_memory_image image{{data, size}, &options};
    hfslib_cbctx ctx;
    hfslib_clear_cbctx(&ctx);
    ctx.open_arg = &image;

    hfslib_vol vol{};
    if (hfslib_mount("memory", 1, &vol, &ctx) != 0) {
        qfuzz::check(vol.device == nullptr);
        return 0;
    }
    hfslib_journal_clean(&vol);

    walk w{&vol};
    std::deque<std::pair<std::string, size_t>> queue;
    queue.emplace_back("/", 0);
    size_t seen = 1;
    while (!queue.empty()) {
        auto [path, depth] = queue.front();
        queue.pop_front();
        std::vector<std::string> folders;
        w.visit(path, folders);
        if (!folders.empty() && depth < max_depth) w.list(path, queue, depth, seen);
    }
    // A path that is not there, and one through a file.
    hfslib_cat_rec rec{};
    hfslib_cat_key key{};
    hfs_resolve_path(&vol, "/no such name/x", &rec, &key, nullptr);

    hfslib_unmount(&vol, nullptr);
    return 0;
}
