#include "access/block_cache.h"

#include "access/disk_image/byte_source.h"
#include "access/full_read.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>
#include <unistd.h>

std::unique_ptr<block_cache> block_cache::open(int fd, uint32_t block_size, int items,
                                               uint64_t grace) {
    if (block_size == 0) return nullptr;
    size_t count = items > 0 ? static_cast<size_t>(items) : 0;
    try {
        return std::make_unique<block_cache>(fd, block_size, count, grace);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

block_cache::block_cache(int fd, uint32_t block_size, size_t items, uint64_t grace)
    : fd_(fd), block_size_(block_size), grace_(grace), slots_(items),
      data_(items * size_t{block_size}) {
    index_.reserve(items);
}

ssize_t block_cache::read_device(uint8_t* dst, size_t size, uint64_t offset) {
    ++device_reads_;
    size_t got = 0;
    if (const int err = source_ ? source_->read({dst, size}, offset, got)
                                : read_all_at(fd_, dst, size, offset, got))
        return err;
    return static_cast<ssize_t>(got);
}

ssize_t block_cache::read_through(std::span<uint8_t> buf, uint64_t offset) {
    return read_device(buf.data(), buf.size(), offset);
}

void block_cache::unlink(uint32_t index) {
    slot& s = slots_[index];
    if (s.newer != none)
        slots_[s.newer].older = s.older;
    else
        newest_ = s.older;
    if (s.older != none)
        slots_[s.older].newer = s.newer;
    else
        oldest_ = s.newer;
    s.newer = s.older = none;
}

void block_cache::push_newest(uint32_t index) {
    slot& s = slots_[index];
    s.older = newest_;
    s.newer = none;
    if (newest_ != none) slots_[newest_].newer = index;
    newest_ = index;
    if (oldest_ == none) oldest_ = index;
}

void block_cache::touch(uint32_t index) {
    slots_[index].last_use = requests_;
    if (newest_ == index) return;
    unlink(index);
    push_newest(index);
}

uint32_t block_cache::claim_slot() {
    if (unused_ < slots_.size()) return unused_++;
    if (oldest_ == none) return none;
    slot& victim = slots_[oldest_];
    // The least recently used block is reclaimed only once it has sat unused
    // for the grace period; otherwise nothing is.
    if (victim.last_use + grace_ > requests_) return none;
    uint32_t index = oldest_;
    index_.erase(victim.block);
    unlink(index);
    victim.used = false;
    return index;
}

ssize_t block_cache::read_at(std::span<uint8_t> buf, uint64_t offset) {
    ++requests_;
    if (buf.empty()) return 0;
    if (offset > UINT64_MAX - buf.size()) return -EINVAL;
    const uint64_t end = offset + buf.size();
    const uint64_t first = offset / block_size_;
    const uint64_t last = (end - 1) / block_size_;
    const uint64_t count = last - first + 1;
    if (slots_.empty() || count > std::max<size_t>(1, slots_.size() / 2))
        return read_through(buf, offset);

    size_t done = 0;
    // Copies the part of block `block` (valid bytes at `data`) that the
    // request covers; returns false when the block ends early (end of device).
    auto take = [&](uint64_t block, const uint8_t* data, uint32_t valid) {
        uint64_t block_start = block * block_size_;
        uint64_t from = std::max(offset, block_start);
        uint64_t want_end = std::min(end, block_start + block_size_);
        uint64_t have_end = std::min(want_end, block_start + valid);
        if (have_end > from) {
            std::memcpy(buf.data() + (from - offset), data + (from - block_start), have_end - from);
            done += have_end - from;
        }
        return have_end == want_end;
    };

    uint64_t block = first;
    while (block <= last) {
        if (auto it = index_.find(block); it != index_.end()) {
            ++hits_;
            uint32_t s = it->second;
            touch(s);
            if (!take(block, slot_data(s).data(), slots_[s].valid))
                return static_cast<ssize_t>(done);
            ++block;
            continue;
        }
        // Read the whole run of missing blocks at once.
        uint64_t run_end = block;
        while (run_end < last && !index_.contains(run_end + 1)) ++run_end;
        size_t run_bytes = static_cast<size_t>(run_end - block + 1) * block_size_;
        if (scratch_.size() < run_bytes) scratch_.resize(run_bytes);
        ssize_t got = read_device(scratch_.data(), run_bytes, block * block_size_);
        if (got < 0) return got;
        for (uint64_t b = block; b <= run_end; ++b) {
            size_t at = static_cast<size_t>(b - block) * block_size_;
            uint32_t valid = static_cast<size_t>(got) > at
                                 ? static_cast<uint32_t>(
                                       std::min<size_t>(block_size_, static_cast<size_t>(got) - at))
                                 : 0;
            if (valid > 0) {
                if (uint32_t s = claim_slot(); s != none) {
                    slot& entry = slots_[s];
                    entry.block = b;
                    entry.valid = valid;
                    entry.used = true;
                    entry.last_use = requests_;
                    std::memcpy(slot_data(s).data(), scratch_.data() + at, valid);
                    push_newest(s);
                    index_[b] = s;
                }
            }
            if (!take(b, scratch_.data() + at, valid)) return static_cast<ssize_t>(done);
        }
        block = run_end + 1;
    }
    return static_cast<ssize_t>(done);
}
