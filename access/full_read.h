// Reading a byte range from a descriptor whole, through short reads and
// interruptions.
//
// Errors: 0 or a negative errno value.
#pragma once

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <unistd.h>

// Reads `size` bytes at `offset` unless the file or device ends first.
// Returns 0 or a negative errno value; `got` receives the bytes read.
inline int read_all_at(int fd, uint8_t* dst, size_t size, uint64_t offset, size_t& got) {
    got = 0;
    while (got < size) {
        const ssize_t n = ::pread(fd, dst + got, size - got, static_cast<off_t>(offset + got));
        if (n < 0) {
            if (errno == EINTR) continue;
            return -errno;
        }
        if (n == 0) break;
        got += static_cast<size_t>(n);
    }
    return 0;
}
