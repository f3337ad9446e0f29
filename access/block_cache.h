// A small user-space block cache for device reads.
//
// The device is read in blocks of a fixed size; up to `items` blocks are kept.
// A block is reclaimed only when it has not been used for at least `grace`
// requests, so a burst of one-off reads cannot flush the blocks that are in
// steady use (B-tree nodes near the root). Runs of missing blocks are read
// with one system call, and requests larger than the cache bypass it, so a
// large read never turns into many small ones.
//
// Not thread-safe: the device serialises calls with its own lock.
//
// Errors: a count, or a negative errno value.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <sys/types.h>
#include <unordered_map>
#include <vector>

class hfs_byte_source;

#define QUORVEL_BLOCK_CACHE_VERSION_MAJOR 1
#define QUORVEL_BLOCK_CACHE_VERSION_MINOR 0

class block_cache {
public:
    // Returns null when the parameters are unusable (block size 0).
    static std::unique_ptr<block_cache> open(int fd, uint32_t block_size, int items,
                                             uint64_t grace);

    // Reads up to buf.size() bytes at offset. Returns the number of bytes
    // read (fewer only at the end of the device) or a negative errno value.
    ssize_t read_at(std::span<uint8_t> buf, uint64_t offset);

    // Reads the blocks from `source` (a decoded disk image) instead of the
    // descriptor; the source must outlive the cache.
    void read_from(hfs_byte_source* source) { source_ = source; }

    // Counters for tests and measurements.
    uint64_t device_reads() const { return device_reads_; }
    uint64_t hits() const { return hits_; }

    block_cache(int fd, uint32_t block_size, size_t items, uint64_t grace);

private:
    static constexpr uint32_t none = UINT32_MAX;
    struct slot {
        uint64_t block = 0;
        uint64_t last_use = 0;
        uint32_t valid = 0; // bytes of the block that exist on the device
        uint32_t newer = none;
        uint32_t older = none;
        bool used = false;
    };

    ssize_t read_device(uint8_t* dst, size_t size, uint64_t offset);
    ssize_t read_through(std::span<uint8_t> buf, uint64_t offset);
    uint32_t claim_slot();
    void touch(uint32_t index);
    void unlink(uint32_t index);
    void push_newest(uint32_t index);
    std::span<uint8_t> slot_data(uint32_t index) {
        return {data_.data() + size_t{index} * block_size_, block_size_};
    }

    int fd_;
    hfs_byte_source* source_ = nullptr;
    uint32_t block_size_;
    uint64_t grace_;
    uint64_t requests_ = 0;
    uint64_t device_reads_ = 0;
    uint64_t hits_ = 0;
    std::vector<slot> slots_;
    std::vector<uint8_t> data_;
    std::vector<uint8_t> scratch_;
    std::unordered_map<uint64_t, uint32_t> index_;
    uint32_t newest_ = none;
    uint32_t oldest_ = none;
    uint32_t unused_ = 0; // slots below this index have been used
};
