#include "frontend/open_volume.h"

#include "access/device.h"
#include "access/disk_image/disk_image.h"
#include "access/partition_map.h"

#include <cerrno>
#include <cinttypes>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <type_traits>
#include <unistd.h>

namespace {

constexpr uint32_t root_folder_cnid = 2;
// The volume header ends 1536 bytes into the volume.
constexpr off_t smallest_volume = 1536;

// A value read by an unsigned conversion, shown as typed: "-1" is read as
// the largest value of its type and is shown as -1 again.
template <typename T>
std::string option_text(T value) {
    using S = std::make_signed_t<T>;
    if (static_cast<S>(value) < 0) return std::to_string(static_cast<S>(value));
    return std::to_string(value);
}

template <typename T>
bool within(const char* name, T value, T low, T high) {
    if (value >= low && value <= high) return true;
    std::fprintf(stderr, "Error: bad value for %s: %s (from %s to %s)\n", name,
                 option_text(value).c_str(), std::to_string(low).c_str(),
                 std::to_string(high).c_str());
    return false;
}

bool mode_within(const char* name, unsigned short mode) {
    if (mode <= 07777) return true;
    std::fprintf(stderr, "Error: bad value for %s: %o (an octal mode, at most 7777)\n", name, mode);
    return false;
}

bool valid_blksize(unsigned int blksize) {
    if (blksize == 0 || (blksize >= 512 && blksize <= 1048576 && (blksize & (blksize - 1)) == 0))
        return true;
    std::fprintf(stderr, "Error: bad value for blksize: %s (a power of two from 512 to 1048576)\n",
                 option_text(blksize).c_str());
    return false;
}

// The signature at the start of a compressed file, and the program that
// undoes it.
struct compression {
    std::string_view magic;
    const char* program;
};
constexpr compression compressions[] = {
    {"\3757zXZ", "xz"}, // 0xFD "7zXZ"
    {"\x1F\x8B", "gzip"},
    {"BZh", "bzip2"},
    {"\x28\xB5\x2F\xFD", "zstd"},
};

// Says what the file at `path` is when it cannot be opened as a volume and
// its first or last bytes tell why: a folder, a compressed file, an Apple
// disk image, or a file too small for any volume.
void explain_unopenable(const char* path) {
    const char* program = program_invocation_short_name;
    struct stat st {};
    if (::stat(path, &st) != 0) return;
    std::string encryption;
    const hfs_image_kind image = hfs_probe_image(path, &encryption);
    if (S_ISDIR(st.st_mode) && image == hfs_image_kind::none) {
        std::fprintf(stderr,
                     "%s: %s is a folder, not a volume (the volume comes first on the command "
                     "line)\n",
                     program, path);
        return;
    }
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return;
    char head[8] = {};
    const ssize_t head_length = ::pread(fd, head, sizeof head, 0);
    const off_t size = ::lseek(fd, 0, SEEK_END);
    ::close(fd);

    const std::string_view start(head, head_length > 0 ? static_cast<size_t>(head_length) : 0);
    // The start of a .dmg cut before its trailer may begin like a compressed
    // file: its first run's stream.
    if (std::string evidence;
        image == hfs_image_kind::none && hfs_looks_like_cut_udif(path, evidence)) {
        std::fprintf(stderr,
                     "%s: %s looks like a truncated or damaged Apple disk image (.dmg) whose "
                     "trailer is missing: %s\n",
                     program, path, evidence.c_str());
        return;
    }
    for (const compression& c : compressions) {
        if (start.starts_with(c.magic)) {
            std::fprintf(stderr, "%s: %s is compressed with %s; decompress it first\n", program,
                         path, c.program);
            return;
        }
    }
    // Disk images are decoded; the device has said why one could not be
    // mounted. Encrypted ones start with "encrcdsa" (version 2) or end in "cdsaencr"
    // (version 1).
    switch (image) {
    case hfs_image_kind::encrypted:
        std::fprintf(stderr,
                     "%s: %s is an encrypted Apple disk image (%s), which is not supported; "
                     "decrypt it first (on a Mac: hdiutil convert)\n",
                     program, path, encryption.c_str());
        return;
    case hfs_image_kind::udif_truncated:
        std::fprintf(stderr,
                     "%s: %s is a truncated Apple disk image (.dmg): its block tables are there, "
                     "but not the 512-byte trailer that ends one\n",
                     program, path);
        return;
    case hfs_image_kind::udif:
    case hfs_image_kind::sparse_image:
    case hfs_image_kind::sparse_bundle:
        std::fprintf(stderr,
                     "%s: %s is an Apple disk image (%s); the lines above say why it "
                     "cannot be mounted\n",
                     program, path,
                     image == hfs_image_kind::sparse_image    ? ".sparseimage"
                     : image == hfs_image_kind::sparse_bundle ? ".sparsebundle"
                                                              : ".dmg");
        return;
    case hfs_image_kind::none:
        break;
    }
    if (S_ISREG(st.st_mode) && size >= 0 && size < smallest_volume) {
        std::fprintf(stderr, "%s: %s is too small to hold a volume (%jd bytes)\n", program, path,
                     static_cast<intmax_t>(size));
    }
}

// The root folder's record, through its thread, as every path lookup starts.
bool root_folder_readable(hfslib_vol& vol) {
    hfslib_cat_rec root{};
    hfslib_cat_key key{};
    return hfslib_find_cat_record_by_cnid(&vol, root_folder_cnid, &root, &key, nullptr) == 0 &&
           root.type == HFSLIB_REC_FOLDER;
}

// "N things" with the plural the count asks for.
std::string count_text(size_t n, const char* one, const char* many) {
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

// What the replay did, in one line (and one more for a dropped transaction).
void report_replay(const hfs_journal_scan& scan) {
    const char* program = program_invocation_short_name;
    const auto& t = scan.transactions;
    size_t past_end = 0;
    for (const hfs_journal_transaction& each : t) past_end += each.past_end ? 1 : 0;
    std::fprintf(stderr,
                 "%s: journal replayed in memory (the image is unchanged): %s, %s, sequence "
                 "numbers %" PRIu32 "-%" PRIu32 ", %zu past the header's end; stopped at journal "
                 "offset %" PRIu64 "%s: %s\n",
                 program, count_text(t.size(), "transaction", "transactions").c_str(),
                 count_text(scan.block_count(), "block", "blocks").c_str(), t.front().sequence_num,
                 t.back().sequence_num, past_end, scan.stop_offset,
                 scan.stop_offset == scan.header.end ? " (the header's end)" : "",
                 scan.stop_reason.c_str());
    if (!scan.dropped.empty())
        std::fprintf(stderr, "%s: dropped the damaged transaction after them (%s)\n", program,
                     count_text(scan.dropped.size(), "block list", "block lists").c_str());
}

// A dirty journal refuses the volume unless it was replayed or --force
// given: 0 to go on, else the exit status after the messages.
int check_journal(const hfs_options& options, hfslib_vol& vol) {
    const hfs_device* dev = hfs_get_device(&vol);
    if (dev && dev->overlay) {
        report_replay(dev->journal);
        return 0;
    }
    if (hfslib_journal_clean(&vol)) return 0;
    const hfs_journal_scan* scan = dev ? &dev->journal : nullptr;
    const bool unusable = scan && scan->state == hfs_journal_state::unusable;
    std::fputs("Journal is dirty!", stderr);
    if (options.replay && unusable)
        std::fprintf(stderr, " It cannot be replayed: %s.", scan->problem.c_str());
    if (!options.force) {
        std::fputs(" Canceling mount. Use --force to ignore.\n", stderr);
        if (scan && scan->state == hfs_journal_state::dirty)
            std::fprintf(stderr,
                         "%s: %s pending in the journal; -o replay applies them in memory "
                         "without changing the image, --force ignores them\n",
                         program_invocation_short_name,
                         count_text(scan->transactions.size(), "transaction is", "transactions are")
                             .c_str());
        else if (!options.replay && unusable)
            std::fprintf(stderr, "%s: the journal cannot be replayed: %s\n",
                         program_invocation_short_name, scan->problem.c_str());
        return 5;
    }
    std::fputs(" Attempting to mount anyway (--force).\n", stderr);
    return 0;
}

} // namespace

int hfs_check_options(const hfs_options& options) {
    if (options.rsrc_ext && std::strchr(options.rsrc_ext, '/')) {
        std::fprintf(stderr, "Error: rsrc_ext option may not include path separator: %s\n",
                     options.rsrc_ext);
        return 1;
    }
    // Values no volume can be read with, or that wrapped around from a
    // negative number, are mistakes on the command line.
    if (!within<size_t>("cache_size", options.cache_size, 0, 1048576) ||
        !within("ublio_items", options.ublio_items, 0, 65536) ||
        !within<unsigned long>("ublio_grace", options.ublio_grace, 0, UINT32_MAX) ||
        !within<unsigned>("default_uid", options.default_uid, 0, UINT32_MAX - 1) ||
        !within<unsigned>("default_gid", options.default_gid, 0, UINT32_MAX - 1) ||
        !within<unsigned>("image_cache", options.image_cache, 0, 65536) ||
        !valid_blksize(options.blksize) ||
        !mode_within("default_file_mode", options.default_file_mode) ||
        !mode_within("default_dir_mode", options.default_dir_mode))
        return 1;
    // A partition that cannot be used is a mistake on the command line.
    if (options.partition != 0) {
        std::string error;
        uint64_t offset = 0;
        hfs_byte_source_ptr image;
        int fd = open(options.volume, O_RDONLY | O_CLOEXEC);
        bool usable = fd >= 0 && hfs_open_image_source(options.volume, options, image, error) == 0;
        if (usable)
            usable = (image ? hfs_volume_start(hfs_source_reader(*image), image->size(),
                                               options.partition, offset, error)
                            : hfs_volume_start(fd, options.partition, offset, error)) == 0;
        if (fd >= 0) close(fd);
        if (fd >= 0 && !usable) {
            std::fprintf(stderr, "Error: %s\n", error.c_str());
            return 1;
        }
    }
    return 0;
}

int hfs_open_volume(hfs_options& options, hfslib_vol& vol) {
    const hfslib_hooks hooks = hfs_device_hooks();
    hfslib_setup(&hooks);

    hfslib_cbctx ctx;
    hfslib_clear_cbctx(&ctx);
    ctx.open_arg = &options;

    vol = {};
    errno = 0;
    if (hfslib_mount(options.volume, 1, &vol, &ctx) != 0) {
        // A failure the device did not explain still must not read as success.
        const int status = errno != 0 ? errno : EINVAL;
        explain_unopenable(options.volume);
        errno = status;
        std::perror("Couldn't open volume");
        return status;
    }

    if (int status = check_journal(options, vol)) {
        hfslib_unmount(&vol, nullptr);
        return status;
    }

    // Every path starts at the root folder: a volume without a readable one
    // would fail every request.
    if (!root_folder_readable(vol)) {
        std::fprintf(stderr, "%s: the root folder of %s cannot be read; the volume is damaged\n",
                     program_invocation_short_name, options.volume);
        hfslib_unmount(&vol, nullptr);
        errno = EIO;
        std::perror("Couldn't open volume");
        return EIO;
    }
    return 0;
}
