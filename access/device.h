// The device behind an open volume: the library's hooks for this program and
// the per-volume record they keep (descriptor, read block size, block cache,
// lookup cache and the mount settings the other access-layer parts read).
//
// Errors: the hooks follow libhfs's hook contract, which is this layer's
// rule too: 0 or a negative errno value (the open hooks also set errno).
#pragma once

#include "access/block_cache.h"
#include "access/decmpfs.h"
#include "access/disk_image/byte_source.h"
#include "access/journal_replay.h"
#include "access/listing.h"
#include "access/partition_map.h"
#include "access/path_cache.h"
#include "libhfs/libhfs.h"

#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <string>

struct hfs_options;

struct hfs_device {
    int fd = -1;
    std::span<const uint8_t> memory; // the volume's bytes when held in memory (fd < 0)
    uint32_t blksize = 0;            // read size and alignment; 0 = no alignment needed
    uint64_t base_offset = 0;        // where the volume's partition begins on the device
    // The size of `fd` when its bytes are the device's as they stand (no
    // disk image, no alignment needed); 0 otherwise.
    uint64_t plain_size = 0;
    hfs_path_cache_ptr cache; // null when caching is off
    std::string rsrc_ext;     // resource-fork file-name suffix; empty = none
    uint8_t default_fork = 0x00;
    uint16_t default_file_mode = 0;
    uint16_t default_dir_mode = 0;
    uint32_t default_uid = 0;
    uint32_t default_gid = 0;
    std::unique_ptr<uint8_t[]> bounce; // one block for unaligned reads without the cache
    std::mutex bounce_lock;
    bool disable_symlinks = false;
    bool use_ublio = false;
    hfs_byte_source_ptr image; // a decoded disk image read instead of fd, or null
    std::unique_ptr<block_cache> ublio;
    std::mutex ublio_lock;
    hfs_recent_listings listings; // consulted only with the lookup cache on
    hfs_live_listings live_listings;
    hfs_live_files live_files; // compressed files open, shared between their opens
    // What the volume's journal holds (read at open), and the replayed
    // blocks every read is patched with (-o replay), or null.
    hfs_journal_scan journal;
    std::unique_ptr<hfs_journal_overlay> overlay;

    hfs_device() = default;
    hfs_device(const hfs_device&) = delete;
    hfs_device& operator=(const hfs_device&) = delete;
    ~hfs_device();
};

// The device record of an open volume, or null.
inline hfs_device* hfs_get_device(const hfslib_vol* vol) {
    return vol ? static_cast<hfs_device*>(vol->device) : nullptr;
}

// A volume held in memory: what the open hook of hfs_memory_device_hooks
// finds in the open_arg slot. The bytes are not copied and must outlive the
// mount; `options` (null: the defaults) supplies the settings, of which only
// the lookup cache, the resource-fork suffix, the default fork, modes and
// owners and disable_symlinks apply.
struct hfs_memory_image {
    std::span<const uint8_t> bytes;
    const hfs_options* options = nullptr;
};

// Opens `path` as a disk image with the cache size of `options`: 0 with
// `out` null when it is none, else a negative errno value (see
// hfs_open_disk_image).
int hfs_open_image_source(const char* path, const hfs_options& options, hfs_byte_source_ptr& out,
                          std::string& error);
// Reads a decoded image as the partition probe does.
hfs_range_reader hfs_source_reader(hfs_byte_source& source);

// The seven hooks, in the order of hfslib_hooks.
void hfs_print_error(const char* format, const char* file, int line, va_list args);
void* hfs_alloc(size_t size, hfslib_cbctx* ctx);
void* hfs_realloc(void* block, size_t size, hfslib_cbctx* ctx);
void hfs_free(void* block, hfslib_cbctx* ctx);
int hfs_open_device(hfslib_vol* vol, const char* path, hfslib_cbctx* ctx);
void hfs_close_device(hfslib_vol* vol, hfslib_cbctx* ctx);
int hfs_read_device(hfslib_vol* vol, void* buf, uint64_t size, uint64_t offset, hfslib_cbctx* ctx);

// Reads [offset, offset + size) of the device (absolute offsets) as stored,
// without the replayed journal: 0 or a negative errno value.
int hfs_read_stored(hfs_device& dev, uint8_t* dst, uint64_t size, uint64_t offset);

// Opens the hfs_memory_image of ctx->open_arg instead of a file (the path
// is ignored). Reads are served by hfs_read_device.
int hfs_open_memory_device(hfslib_vol* vol, const char* path, hfslib_cbctx* ctx);

// The hook table with the functions above.
hfslib_hooks hfs_device_hooks();
// The same table opening volumes held in memory.
hfslib_hooks hfs_memory_device_hooks();
