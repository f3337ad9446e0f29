// What the commands write: output that leaves holes for runs of zeros where
// it can, and the limit on how much they write.
#include "frontend/extract/extract.h"

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr char size_units[] = "KMGTPE";

bool all_zero(const uint8_t* data, size_t size) {
    return size == 0 || (data[0] == 0 && std::memcmp(data, data + 1, size - 1) == 0);
}

} // namespace

bool parse_size(std::string_view text, uint64_t& size) {
    uint64_t value = 0;
    size_t at = 0;
    for (; at < text.size() && text[at] >= '0' && text[at] <= '9'; ++at) {
        const uint64_t digit = static_cast<uint64_t>(text[at] - '0');
        if (value > (UINT64_MAX - digit) / 10) return false;
        value = value * 10 + digit;
    }
    if (at == 0) return false;
    if (at + 1 == text.size()) {
        const char* unit = std::strchr(size_units, text[at] & ~0x20);
        if (!unit || text[at] == 0) return false;
        for (const char* u = size_units; u <= unit; ++u) {
            if (value > UINT64_MAX / 1024) return false;
            value *= 1024;
        }
    } else if (at != text.size()) {
        return false;
    }
    size = value;
    return true;
}

std::string size_text(uint64_t size) {
    std::string text = std::to_string(size) + " bytes";
    if (size >= 1024) {
        double scaled = static_cast<double>(size);
        size_t unit = 0;
        for (scaled /= 1024; scaled >= 1024 && unit + 1 < sizeof size_units - 1; ++unit)
            scaled /= 1024;
        char short_form[32];
        std::snprintf(short_form, sizeof short_form, " (%.1f %ciB)", scaled, size_units[unit]);
        text += short_form;
    }
    return text;
}

std::string over_limit(uint64_t claimed, uint64_t limit) {
    return size_text(claimed) + ", more than the limit of " + size_text(limit) +
           " (--max-size SIZE raises it)";
}

sparse_output::sparse_output(int fd) : fd_(fd) {
    struct stat st {};
    const int flags = fcntl(fd, F_GETFL);
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || flags < 0 || (flags & O_APPEND)) return;
    at_ = lseek(fd, 0, SEEK_CUR);
    // Skipping a block leaves what the file holds there: only past its end,
    // where it reads as zeros.
    if (at_ < 0 || st.st_size > at_) return;
    holes_ = true;
    if (st.st_blksize >= 512 && st.st_blksize <= (1 << 20))
        block_ = static_cast<size_t>(st.st_blksize);
}

int sparse_output::write(std::span<const uint8_t> data) {
    while (!data.empty()) {
        // Without holes, all of it; else the next run of blocks that are
        // all zeros (skipped), or not (written).
        size_t take = data.size();
        bool zeros = false;
        if (holes_) {
            zeros = all_zero(data.data(), std::min(block_, data.size()));
            take = 0;
            while (take < data.size()) {
                const size_t block = std::min(block_, data.size() - take);
                if (all_zero(data.data() + take, block) != zeros) break;
                take += block;
            }
        }
        if (!zeros) {
            for (size_t done = 0; done < take;) {
                const ssize_t n = holes_ ? ::pwrite(fd_, data.data() + done, take - done, at_)
                                         : ::write(fd_, data.data() + done, take - done);
                if (n < 0 && errno == EINTR) continue;
                if (n <= 0) return n < 0 ? errno : EIO;
                done += static_cast<size_t>(n);
                if (holes_) at_ += n;
            }
        } else {
            at_ += static_cast<off_t>(take);
        }
        data = data.subspan(take);
    }
    return 0;
}

int sparse_output::finish() {
    if (!holes_) return 0;
    // A trailing hole still counts in the size; the position is left at the
    // end, as writing would have left it.
    struct stat st {};
    if (fstat(fd_, &st) != 0) return errno;
    if (st.st_size < at_ && ::ftruncate(fd_, at_) != 0) return errno;
    if (lseek(fd_, at_, SEEK_SET) < 0) return errno;
    return 0;
}
