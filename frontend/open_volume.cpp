#include "frontend/open_volume.h"

#include "access/device.h"
#include "access/disk_image/disk_image.h"
#include "access/disk_image/file_io.h"
#include "access/partition_map.h"
#include "access/volume_probe.h"

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <climits>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <type_traits>
#include <unistd.h>
#include <vector>

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

// An article for a file system's name: "an ext4", "a FAT32".
const char* article(std::string_view name) {
    return !name.empty() && std::string_view("aeiouAEIOUNX").find(name[0]) != std::string_view::npos
               ? "an"
               : "a";
}

constexpr char apfs_sentence[] =
    "quorvel reads HFS+ and HFSX only, not APFS (the file system of macOS 10.13 and later, and "
    "of most .dmg files made by recent macOS)";

// What the disk at `path` (decoded, for a disk image) holds instead of an
// HFS+ or HFSX volume, found by the signatures of other file systems, as
// the rest of a sentence starting with the path ("holds an ext4 file
// system, not HFS+ or HFSX"); empty when they tell nothing.
std::string other_file_system(const char* path, const hfs_options& options) {
    hfs_byte_source_ptr disk;
    std::string error;
    if (hfs_open_whole_disk(path, uint64_t{options.image_cache} << 20, disk, error) != 0 || !disk)
        return "";
    const hfs_range_reader read = hfs_source_reader(*disk);
    const std::string name = hfs_file_system_at(read, 0);
    if (name == "APFS") return std::string("holds an APFS volume; ") + apfs_sentence;
    if (name.starts_with("HFS ("))
        return "holds a plain HFS volume (Mac OS Standard); quorvel reads HFS+ and HFSX only";
    if (name != "no known file system" && name != "HFS+" && name != "HFSX")
        return std::string("holds ") + article(name) + " " + name +
               " file system, not HFS+ or HFSX";
    uint64_t offset = 0;
    if (name != "no known file system" ||
        hfs_find_volume(read, disk->size(), 0, offset, error) != -EINVAL)
        return "";
    // "no HFS+ or HFSX volume on this disk; its ... holds:" and a line per
    // partition, ending in the file system found there.
    constexpr std::string_view on_disk = " on this disk";
    if (const size_t at = error.find(on_disk); at != std::string::npos)
        error.erase(at, on_disk.size());
    if (error.find(", APFS\n") != std::string::npos || error.ends_with(", APFS"))
        error += std::string("\n") + apfs_sentence;
    return "holds " + error;
}

// The line saying why the file at `path` cannot be opened as a volume, when
// it tells more than the library's messages: it is missing, a folder, a
// compressed file, an Apple disk image, another file system, or a file too
// small for any volume. Empty otherwise. `image` is set when the path is a
// disk image whose own messages say why.
std::string explain_unopenable(const char* path, const hfs_options& options, bool& image_reasons) {
    image_reasons = false;
    const char* program = program_invocation_short_name;
    auto line = [program](const std::string& text) { return std::string(program) + ": " + text; };
    struct stat st {};
    if (::stat(path, &st) != 0) {
        const int err = errno;
        if (err == ENOENT) return line(std::string("there is no file ") + path);
        return line(std::string("cannot open ") + path + ": " + std::strerror(err));
    }
    std::string encryption;
    const hfs_image_kind image = hfs_probe_image(path, &encryption);
    if (S_ISDIR(st.st_mode) && image == hfs_image_kind::none)
        return line(std::string(path) +
                    " is a folder, not a volume (the volume comes first on the command line)");
    dimg::unique_fd fd;
    if (std::string why; int err = dimg::open_volume_path(path, fd, st, why)) {
        if (err == -EINVAL) return line(std::string(path) + " " + why);
        return line(std::string("cannot open ") + path + ": " + std::strerror(-err));
    }
    char head[8] = {};
    const ssize_t head_length = ::pread(fd.get(), head, sizeof head, 0);
    const off_t size = ::lseek(fd.get(), 0, SEEK_END);
    fd.reset();

    const std::string_view start(head, head_length > 0 ? static_cast<size_t>(head_length) : 0);
    // The start of a .dmg cut before its trailer may begin like a compressed
    // file: its first run's stream.
    if (std::string evidence;
        image == hfs_image_kind::none && hfs_looks_like_cut_udif(path, evidence)) {
        return line(std::string(path) +
                    " looks like a truncated or damaged Apple disk image (.dmg) whose trailer is "
                    "missing: " +
                    evidence);
    }
    // A disk image may start with its first run's compressed stream.
    for (const compression& c : compressions) {
        if (image == hfs_image_kind::none && start.starts_with(c.magic))
            return line(std::string(path) + " is compressed with " + c.program +
                        "; decompress it first");
    }
    // Disk images are decoded; the device says why one could not be
    // mounted. Encrypted ones start with "encrcdsa" (version 2) or end in
    // "cdsaencr" (version 1).
    const char* image_name = image == hfs_image_kind::sparse_image    ? ".sparseimage"
                             : image == hfs_image_kind::sparse_bundle ? ".sparsebundle"
                                                                      : ".dmg";
    switch (image) {
    case hfs_image_kind::encrypted:
        return line(std::string(path) + " is an encrypted Apple disk image (" + encryption +
                    "), which is not supported; decrypt it first (on a Mac: hdiutil convert)");
    case hfs_image_kind::udif_truncated:
        return line(std::string(path) +
                    " is a truncated Apple disk image (.dmg): its block tables are there, but not "
                    "the 512-byte trailer that ends one");
    case hfs_image_kind::udif:
    case hfs_image_kind::sparse_image:
    case hfs_image_kind::sparse_bundle:
        if (const std::string other = other_file_system(path, options); !other.empty())
            return line(std::string(path) + " is an Apple disk image (" + image_name + ") that " +
                        other);
        image_reasons = true;
        return line(std::string(path) + " is an Apple disk image (" + image_name +
                    "); the lines below say why it cannot be mounted");
    case hfs_image_kind::none:
        break;
    }
    if (const std::string other = other_file_system(path, options); !other.empty())
        return line(std::string(path) + " " + other);
    if (S_ISREG(st.st_mode) && size >= 0 && size < smallest_volume)
        return line(std::string(path) + " is too small to hold a volume (" +
                    std::to_string(static_cast<intmax_t>(size)) + " bytes)");
    return "";
}

// The library's messages while a volume is opened, kept to be shown after
// the line that says what the file is.
struct kept_message {
    std::string text;
    bool from_library; // the reader's own steps, rather than the device's reasons
};
std::vector<kept_message> kept_messages;

void keep_message(const char* format, const char* file, int, va_list args) {
    char text[1024];
    std::vsnprintf(text, sizeof text, format, args);
    std::string_view line = text;
    if (line.ends_with('\n')) line.remove_suffix(1);
    kept_messages.push_back({std::string(line), file != nullptr});
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
    if (options.partition_given && options.partition == 0) {
        std::fprintf(stderr,
                     "Error: bad value for partition: 0 (partitions are numbered from 1; without "
                     "the option the first HFS+ one is used)\n");
        return 1;
    }
    // A partition that cannot be used is a mistake on the command line.
    if (options.partition != 0) {
        std::string error;
        uint64_t offset = 0;
        hfs_byte_source_ptr image;
        dimg::unique_fd fd;
        struct stat st {};
        std::string why;
        const bool opened = dimg::open_volume_path(options.volume, fd, st, why) == 0;
        bool usable = opened && hfs_open_image_source(options.volume, options, image, error) == 0;
        if (usable)
            usable = (image ? hfs_volume_start(hfs_source_reader(*image), image->size(),
                                               options.partition, offset, error)
                            : hfs_volume_start(fd.get(), options.partition, offset, error)) == 0;
        fd.reset();
        if (opened && !usable) {
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
    kept_messages.clear();
    hfslib_set_err_hook(keep_message);
    const int mounted = hfslib_mount(options.volume, 1, &vol, &ctx);
    // A failure the device did not explain still must not read as success.
    const int status = errno != 0 ? errno : EINVAL;
    hfslib_set_err_hook(hooks.err_hook);
    if (mounted != 0) {
        // The line saying what the file is first; then the device's reasons
        // when they are what explains it, and the reader's steps only when
        // asked for (--verbose, -d) or when nothing else explains it.
        bool image_reasons = false;
        std::string why = explain_unopenable(options.volume, options, image_reasons);
        auto device_reason = [](const kept_message& m) {
            return !m.from_library && !m.text.empty();
        };
        if (image_reasons &&
            std::none_of(kept_messages.begin(), kept_messages.end(), device_reason))
            why = why.substr(0, why.find("; the lines below")) +
                  " that cannot be read: " + std::strerror(status);
        if (!why.empty()) std::fprintf(stderr, "%s\n", why.c_str());
        for (const kept_message& message : kept_messages) {
            if (why.empty() || options.verbose || (image_reasons && device_reason(message)))
                std::fprintf(stderr, "%s\n", message.text.c_str());
        }
        kept_messages.clear();
        errno = status;
        std::perror("Couldn't open volume");
        return status;
    }
    // What the library said on the way (nothing, for a volume that opens).
    for (const kept_message& message : kept_messages)
        std::fprintf(stderr, "%s\n", message.text.c_str());
    kept_messages.clear();

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
