// Budgets of the memory the caches of open files and folders may hold, one
// of each kind for the whole process (every mounted volume, every open
// file). A cache takes its bytes from the budget before it allocates them
// and gives them back when it frees them; what does not fit is not cached:
// the reader then works from the volume with a bounded buffer of its own.
//
//  - hfs_file_cache_budget, 64 MiB: the decoded contents of compressed files
//    kept whole (types 3, 7 and 11), the one-chunk cache of every chunked
//    compressed file and the chunk-table page it keeps;
//  - hfs_listing_budget, 256 MiB: the folder listings held by open folders.
//
// (Decode-ahead has a budget of its own, 16 MiB, in decmpfs.cpp.)
//
// Errors: none; a reservation that does not fit answers false.
#pragma once

#include <atomic>
#include <cstdint>
#include <utility>

class hfs_budget {
public:
    explicit constexpr hfs_budget(uint64_t limit) : limit_(limit) {}
    hfs_budget(const hfs_budget&) = delete;
    hfs_budget& operator=(const hfs_budget&) = delete;

    // Takes `bytes` when they fit under the limit.
    bool reserve(uint64_t bytes) {
        uint64_t now = used_.load(std::memory_order_relaxed);
        do {
            if (now > limit_ || bytes > limit_ - now) return false;
        } while (!used_.compare_exchange_weak(now, now + bytes, std::memory_order_relaxed));
        return true;
    }
    void release(uint64_t bytes) { used_.fetch_sub(bytes, std::memory_order_relaxed); }
    uint64_t used() const { return used_.load(std::memory_order_relaxed); }
    uint64_t limit() const { return limit_; }

private:
    const uint64_t limit_;
    std::atomic<uint64_t> used_{0};
};

// Bytes taken from a budget, given back when the charge goes.
class hfs_budget_charge {
public:
    hfs_budget_charge() = default;
    hfs_budget_charge(const hfs_budget_charge&) = delete;
    hfs_budget_charge& operator=(const hfs_budget_charge&) = delete;
    hfs_budget_charge(hfs_budget_charge&& other) noexcept
        : budget_(std::exchange(other.budget_, nullptr)), bytes_(std::exchange(other.bytes_, 0)) {}
    hfs_budget_charge& operator=(hfs_budget_charge&& other) noexcept {
        if (this != &other) {
            reset();
            budget_ = std::exchange(other.budget_, nullptr);
            bytes_ = std::exchange(other.bytes_, 0);
        }
        return *this;
    }
    ~hfs_budget_charge() { reset(); }

    // Replaces what is held by `bytes` of `budget`; false (holding nothing)
    // when they do not fit.
    bool take(hfs_budget& budget, uint64_t bytes) {
        reset();
        if (!budget.reserve(bytes)) return false;
        budget_ = &budget;
        bytes_ = bytes;
        return true;
    }
    // Adds `bytes` of the budget already held (or of `budget` when none
    // is); false, holding what it held, when they do not fit.
    bool grow(hfs_budget& budget, uint64_t bytes) {
        if (!budget_) return take(budget, bytes);
        if (!budget_->reserve(bytes)) return false;
        bytes_ += bytes;
        return true;
    }
    void reset() {
        if (budget_) budget_->release(bytes_);
        budget_ = nullptr;
        bytes_ = 0;
    }
    bool held() const { return budget_ != nullptr; }

private:
    hfs_budget* budget_ = nullptr;
    uint64_t bytes_ = 0;
};

inline constinit hfs_budget hfs_file_cache_budget{uint64_t{64} << 20};
inline constinit hfs_budget hfs_listing_budget{uint64_t{256} << 20};
