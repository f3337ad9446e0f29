// Where a device's bytes come from: a plain file or disk, or a disk image
// decoded on the fly (UDIF, sparse image, sparse bundle). The block cache,
// the device's read path and the partition probe read through this.
// Errors: 0 or a negative errno value.
#pragma once

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

class hfs_byte_source {
public:
    virtual ~hfs_byte_source() = default;

    // Size in bytes of what the source presents (the decoded disk).
    virtual uint64_t size() const = 0;

    // Copies the bytes at `offset` into `buf`, stopping early only at the
    // end of the source; `got` receives the count. Returns 0 or a negative
    // errno value (-EIO for bytes that cannot be decoded). Safe to call from
    // several threads at once.
    virtual int read(std::span<uint8_t> buf, uint64_t offset, size_t& got) = 0;

    // Reads all of buf; reaching the end first is -EINVAL.
    int read_exact(std::span<uint8_t> buf, uint64_t offset) {
        size_t got = 0;
        if (int err = read(buf, offset, got)) return err;
        return got == buf.size() ? 0 : -EINVAL;
    }
};

using hfs_byte_source_ptr = std::unique_ptr<hfs_byte_source>;
