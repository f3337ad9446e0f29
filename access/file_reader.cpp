#include "access/file_reader.h"

#include "access/device.h"
#include "access/library_results.h"
#include "access/path_resolve.h"
#include "access/stat.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <new>

int hfs_file_reader::open(hfslib_vol* vol, std::string_view path) {
    hfslib_cat_rec rec{};
    hfslib_cat_key key{};
    uint8_t fork = 0;
    if (int err = hfs_resolve_path(vol, path, &rec, &key, &fork)) return err;
    return open(vol, rec, fork);
}

int hfs_file_reader::open(hfslib_vol* vol, const hfslib_cat_rec& rec, uint8_t fork) {
    vol_ = vol;
    cnid_ = rec.file.cnid;
    fork_ = fork;
    if (rec.type == HFSLIB_REC_FILE)
        size_ = fork ? rec.file.rsrc_fork.logical_size : rec.file.data_fork.logical_size;

    if (rec.type == HFSLIB_REC_FILE && fork == HFSLIB_DATA_FORK) {
        hfs_decmp_info info{};
        uint32_t attr_len = 0;
        uint8_t* attr_data = nullptr;
        const int probe = hfs_decmp_probe(vol, &rec, &info, &attr_len, &attr_data);
        if (probe == -EOPNOTSUPP) return -EOPNOTSUPP;
        if (probe == 0) {
            hfs_malloc_ptr<uint8_t[]> attribute(attr_data);
            size_ = info.size;
            return hfs_decmp_open_shared(vol, cnid_, attr_len, attribute.get(), decmp_);
        }
        if (probe != -ENODATA) return -EIO;
    }
    if (rec.type != HFSLIB_REC_FILE) return 0;
    hfslib_extent* extents = nullptr;
    extent_count_ = hfslib_collect_fork_extents(vol, cnid_, fork, &extents, nullptr);
    extents_.reset(extents);
    // Reads find their first extent by binary search over the extent ends; a
    // fork whose ends cannot be summed keeps the plain walk (and its report).
    if (extents_ && extent_count_ > 1) {
        try {
            extent_ends_.resize(extent_count_);
        } catch (const std::bad_alloc&) {
            return -ENOMEM;
        }
        if (hfslib_index_fork_extents(vol, extents_.get(), extent_count_, extent_ends_.data()) != 0)
            extent_ends_.clear();
    }
    return 0;
}

int hfs_file_reader::read(std::span<uint8_t> buf, int64_t offset) const {
    if (offset < 0) return -EINVAL;
    const auto start = static_cast<uint64_t>(offset);
    if (start >= size_) return 0;
    const uint64_t n = std::min<uint64_t>(buf.size(), size_ - start);
    if (decmp_)
        return hfs_decmp_read(vol_, decmp_.get(), buf.data(), static_cast<size_t>(n), offset);
    if (n > INT_MAX) return -EINVAL;
    uint64_t got = 0;
    const int result =
        extent_ends_.empty()
            ? hfslib_read_fork_range(vol_, buf.data(), &got, n, start, extents_.get(),
                                     extent_count_, nullptr)
            : hfslib_read_fork_range_indexed(vol_, buf.data(), &got, n, start, extents_.get(),
                                             extent_ends_.data(), extent_count_, nullptr);
    if (int err = hfs_fork_read_result(result, got, n)) return err;
    return static_cast<int>(got);
}

bool hfs_file_reader::locate(int64_t offset, size_t size, hfs_stored_range& out) const {
    const hfs_device* dev = hfs_get_device(vol_);
    if (decmp_ || !extents_ || extent_count_ == 0 || !dev || dev->plain_size == 0 || offset < 0)
        return false;
    const auto start = static_cast<uint64_t>(offset);
    if (start >= size_ || size == 0) return false;
    const uint64_t block_size = vol_->vh.block_size;
    // The extent holding `start` and where it begins in the fork.
    uint16_t i = 0;
    uint64_t extent_start = 0;
    if (!extent_ends_.empty()) {
        i = static_cast<uint16_t>(
            std::upper_bound(extent_ends_.begin(), extent_ends_.end(), start) -
            extent_ends_.begin());
        if (i >= extent_count_) return false;
        extent_start = i == 0 ? 0 : extent_ends_[i - 1];
    } else if (extent_count_ != 1) {
        return false;
    }
    const hfslib_extent& e = extents_[i];
    const uint64_t extent_bytes = uint64_t{e.block_count} * block_size;
    const uint64_t within = start - extent_start;
    if (within >= extent_bytes) return false;
    const uint64_t length =
        std::min<uint64_t>({size, extent_bytes - within, size_ - start, INT_MAX});
    uint64_t position = 0;
    if (__builtin_mul_overflow(uint64_t{e.start_block}, block_size, &position) ||
        __builtin_add_overflow(position, within, &position) ||
        __builtin_add_overflow(position, vol_->embedded_offset, &position) ||
        __builtin_add_overflow(position, dev->base_offset, &position))
        return false;
    // Bytes past the device's end are left to read(), which reports them.
    if (position > dev->plain_size || length > dev->plain_size - position) return false;
    // Bytes the replayed journal replaces are read through the device hook.
    if (dev->overlay && dev->overlay->touches(position, length)) return false;
    out = {dev->fd, position, static_cast<size_t>(length)};
    return true;
}

int hfs_file_reader::stat(struct stat* st) const {
    hfslib_cat_rec rec{};
    hfslib_cat_key key{};
    if (int err =
            hfs_search_result(hfslib_find_cat_record_by_cnid(vol_, cnid_, &rec, &key, nullptr)))
        return err;
    hfs_decmp_info info{};
    const hfs_decmp_info* header = nullptr;
    if (fork_ == HFSLIB_DATA_FORK && decmp_) {
        info = decmp_->info();
        header = &info;
    }
    hfs_stat(vol_, &rec, st, fork_, header);
    return 0;
}

namespace {

int read_link(const hfs_file_reader& reader, std::span<char> target) {
    int got = 0;
    if (reader.size() != 0) {
        got = reader.read({reinterpret_cast<uint8_t*>(target.data()), target.size() - 1}, 0);
        if (got < 0) return got;
    }
    target[static_cast<size_t>(got)] = '\0';
    return 0;
}

} // namespace

int hfs_read_link(hfslib_vol* vol, std::string_view path, std::span<char> target) {
    if (target.empty()) return -EINVAL;
    hfs_file_reader reader;
    if (int err = reader.open(vol, path)) return err;
    return read_link(reader, target);
}

int hfs_read_link(hfslib_vol* vol, const hfslib_cat_rec& rec, uint8_t fork,
                  std::span<char> target) {
    if (target.empty()) return -EINVAL;
    hfs_file_reader reader;
    if (int err = reader.open(vol, rec, fork)) return err;
    return read_link(reader, target);
}
