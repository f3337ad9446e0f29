// Descriptors owned by the image readers, and whole positional reads.
#pragma once

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <unistd.h>

#include "access/full_read.h"

namespace dimg {

class unique_fd {
public:
    unique_fd() = default;
    explicit unique_fd(int fd) : fd_(fd) {}
    unique_fd(unique_fd&& other) noexcept : fd_(other.release()) {}
    unique_fd& operator=(unique_fd&& other) noexcept {
        if (this != &other) {
            reset();
            fd_ = other.release();
        }
        return *this;
    }
    unique_fd(const unique_fd&) = delete;
    unique_fd& operator=(const unique_fd&) = delete;
    ~unique_fd() { reset(); }

    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    int release() {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }
    void reset() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }

private:
    int fd_ = -1;
};

// All `size` bytes or a negative errno value (-EIO when the file ends
// first: the image is shorter than its own tables say).
inline int pread_exact(int fd, uint8_t* dst, size_t size, uint64_t offset) {
    size_t got = 0;
    if (int err = read_all_at(fd, dst, size, offset, got)) return err;
    return got == size ? 0 : -EIO;
}

} // namespace dimg
