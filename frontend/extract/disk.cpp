// quorvel-extract IMAGE disk > OUT.img: the whole disk an image decodes to
// (or the file itself when it is no disk image), on standard output, with a
// progress line on a terminal. Bytes that cannot be decoded stop it with an
// error: it never writes wrong bytes. Runs of zeros become holes in a
// regular file, and a disk larger than --max-size is refused before
// anything is written.
#include "frontend/extract/extract.h"

#include "access/disk_image/disk_image.h"

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <unistd.h>
#include <vector>

int command_disk(const hfs_options& options, const std::vector<std::string>& args,
                 const extract_options& how) {
    if (!args.empty()) {
        std::fputs("quorvel-extract: disk takes no arguments (the disk goes to standard "
                   "output)\n",
                   stderr);
        return 1;
    }
    if (::isatty(STDOUT_FILENO)) {
        std::fputs("quorvel-extract: not writing a disk to a terminal; redirect standard "
                   "output to a file\n",
                   stderr);
        return 1;
    }
    const hfs_byte_source_ptr disk = open_whole_disk(options);
    if (!disk) return 1;
    const uint64_t total = disk->size();
    if (total > how.max_size) {
        std::fprintf(stderr, "quorvel-extract: %s: the disk claims %s\n",
                     printable(options.volume).c_str(), over_limit(total, how.max_size).c_str());
        return 1;
    }
    const bool progress = !how.quiet && ::isatty(STDERR_FILENO);
    std::vector<uint8_t> chunk(size_t{1} << 20);
    sparse_output out(STDOUT_FILENO);
    time_t shown = 0;
    for (uint64_t at = 0; at < total;) {
        size_t got = 0;
        int err = disk->read(chunk, at, got);
        if (err == 0 && got == 0) err = -EIO;
        if (err != 0) {
            if (progress) std::fputc('\n', stderr);
            std::fprintf(
                stderr, "quorvel-extract: %s: the disk's bytes at %" PRIu64 " cannot be read: %s\n",
                printable(options.volume).c_str(), at, std::strerror(-err));
            return 1;
        }
        if (int werr = out.write(std::span(chunk).first(got))) {
            if (progress) std::fputc('\n', stderr);
            std::fprintf(stderr, "quorvel-extract: writing the disk: %s\n", std::strerror(werr));
            return 1;
        }
        at += got;
        if (progress && (::time(nullptr) != shown || at == total)) {
            shown = ::time(nullptr);
            std::fprintf(stderr, "\r%" PRIu64 " of %" PRIu64 " MiB (%d%%)", at >> 20, total >> 20,
                         total ? static_cast<int>(at * 100 / total) : 100);
        }
    }
    if (progress) std::fputc('\n', stderr);
    if (int werr = out.finish()) {
        std::fprintf(stderr, "quorvel-extract: writing the disk: %s\n", std::strerror(werr));
        return 1;
    }
    return 0;
}
