// Descriptors owned by the image readers, the one place where the files of
// an image are opened, and whole positional reads.
// Errors: 0 or a negative errno value, with a message in an out-parameter.
#pragma once

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <string>
#include <sys/stat.h>
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

// "a FIFO", "a block device", "a folder", ... for messages.
const char* file_kind(mode_t mode);

// Opens a file an image is made of (a band of a sparse bundle, its
// Info.plist, a later segment of a .dmg): `name`, relative to the folder
// `dir` (AT_FDCWD: to the working folder), for reading. Only a regular file
// is accepted: a symbolic link is not followed, and a FIFO, socket or
// device is refused without ever being read or waited for. Returns 0 with
// `out` set and `st` describing it, or a negative errno value with `why`
// completing a sentence
// about the file: "is missing" (-ENOENT), "is a FIFO, not a regular file"
// (-EINVAL), "cannot be opened: ...".
int open_image_part(int dir, const char* name, unique_fd& out, struct stat& st, std::string& why);

// Opens the path a user gave as a disk, disk image or volume, following
// links, without waiting: a regular file, a block or character device or a
// folder (a sparse bundle). A FIFO or socket is refused (-EINVAL, `why`
// "is a FIFO, not a disk, disk image or volume file"). `st` receives what
// the descriptor is. Returns 0 or a negative errno value with `why` (the
// errno's text for any other failure).
int open_volume_path(const char* path, unique_fd& out, struct stat& st, std::string& why);

// All `size` bytes or a negative errno value (-EIO when the file ends
// first: the image is shorter than its own tables say).
inline int pread_exact(int fd, uint8_t* dst, size_t size, uint64_t offset) {
    size_t got = 0;
    if (int err = read_all_at(fd, dst, size, offset, got)) return err;
    return got == size ? 0 : -EIO;
}

} // namespace dimg
