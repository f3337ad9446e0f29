// The decoded runs of a compressed image most recently read, up to a byte
// budget (always at least the run being read).
#pragma once

#include <cstddef>
#include <cstdint>
#include <list>
#include <memory>
#include <span>
#include <unordered_map>
#include <vector>

namespace dimg {

class run_cache {
public:
    using bytes = std::shared_ptr<const std::vector<uint8_t>>;

    explicit run_cache(uint64_t budget) : budget_(budget) {}

    // The decoded bytes of run `key`, or null when not cached.
    bytes find(size_t key) {
        auto it = index_.find(key);
        if (it == index_.end()) return nullptr;
        entries_.splice(entries_.begin(), entries_, it->second);
        return it->second->data;
    }

    // Keeps `data` as run `key`, dropping the least recently used runs
    // beyond the budget.
    void insert(size_t key, bytes data) {
        total_ += data->size();
        entries_.push_front({key, std::move(data)});
        index_[key] = entries_.begin();
        while (total_ > budget_ && entries_.size() > 1) {
            total_ -= entries_.back().data->size();
            index_.erase(entries_.back().key);
            entries_.pop_back();
        }
    }

    uint64_t held() const { return total_; }

private:
    struct entry {
        size_t key;
        bytes data;
    };
    uint64_t budget_;
    uint64_t total_ = 0;
    std::list<entry> entries_;
    std::unordered_map<size_t, std::list<entry>::iterator> index_;
};

} // namespace dimg
