// The library hooks of this program: memory from the C allocator, messages to
// standard error, and the volume file or disk device read through the block
// cache, plain positional reads, or block-aligned reads.
#include "access/device.h"

#include "access/disk_image/disk_image.h"
#include "access/disk_image/file_io.h"
#include "access/full_read.h"
#include "access/options.h"
#include "access/partition_map.h"
#include "access/volume_probe.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <new>
#include <span>
#include <sys/stat.h>
#include <unistd.h>

hfs_device::~hfs_device() {
    cache.reset();
    ublio.reset();
    if (fd >= 0) ::close(fd);
}

void hfs_print_error(const char* format, const char*, int, va_list args) {
    std::vfprintf(stderr, format, args);
    // Some messages end in a newline of their own.
    const size_t length = std::strlen(format);
    if (length == 0 || format[length - 1] != '\n') std::fputc('\n', stderr);
}

void* hfs_alloc(size_t size, hfslib_cbctx*) {
    return std::malloc(size);
}

void* hfs_realloc(void* block, size_t size, hfslib_cbctx*) {
    if (size == 0) return nullptr;
    return std::realloc(block, size);
}

void hfs_free(void* block, hfslib_cbctx*) {
    std::free(block);
}

hfslib_hooks hfs_device_hooks() {
    return {hfs_print_error, hfs_alloc,        hfs_realloc,    hfs_free,
            hfs_open_device, hfs_close_device, hfs_read_device};
}

hfslib_hooks hfs_memory_device_hooks() {
    hfslib_hooks hooks = hfs_device_hooks();
    hooks.open_hook = hfs_open_memory_device;
    return hooks;
}

namespace {

// The settings a device takes from the options, or their defaults.
hfs_options settings_from(const hfslib_cbctx* ctx) {
    if (ctx && ctx->open_arg) return *static_cast<const hfs_options*>(ctx->open_arg);
    hfs_options defaults{};
    init_options(&defaults);
    return defaults;
}

// The settings both kinds of device take from the options.
int apply_settings(hfs_device& dev, const hfs_options& options) {
    dev.default_fork = options.rsrc_only ? 0xFF : 0x00;
    // An empty suffix would make every path name the other fork: no suffix.
    if (options.rsrc_ext && options.rsrc_ext[0]) dev.rsrc_ext = options.rsrc_ext;
    if (options.cache_size != 0) {
        dev.cache.reset(hfs_path_cache_create(options.cache_size));
        if (!dev.cache) return -ENOMEM;
    }
    dev.default_file_mode = options.default_file_mode & 0777;
    dev.default_dir_mode = options.default_dir_mode & 0777;
    dev.default_uid = options.default_uid;
    dev.default_gid = options.default_gid;
    dev.disable_symlinks = options.disable_symlinks != 0;
    return 0;
}

// Copies `size` bytes at `offset` of a volume held in memory; a range past
// its end is -EINVAL, as for a file.
int read_memory(const hfs_device& dev, uint8_t* dst, uint64_t size, uint64_t offset) {
    const std::span<const uint8_t> bytes = dev.memory;
    if (offset > bytes.size() || size > bytes.size() - offset) return -EINVAL;
    std::memcpy(dst, bytes.data() + offset, static_cast<size_t>(size));
    return 0;
}

// What strerror_r gave: the GNU form returns the text, the POSIX form fills
// the buffer.
[[maybe_unused]] const char* error_text(const char* text, const char*) {
    return text;
}
[[maybe_unused]] const char* error_text(int, const char* buffer) {
    return buffer;
}

int fail_open(int err) {
    errno = err;
    return -err;
}

// Reads all `size` bytes; reaching the end of the device first is -EINVAL.
int read_exact(int fd, uint8_t* dst, size_t size, uint64_t offset) {
    size_t got = 0;
    if (int err = read_all_at(fd, dst, size, offset, got)) return err;
    return got == size ? 0 : -EINVAL;
}

// Copies `count` bytes at `within` of the block at `block_offset` through the
// bounce buffer. The block may end early at the end of the device as long as
// the bytes wanted are there.
int read_through_bounce(hfs_device& dev, uint8_t* dst, uint64_t block_offset, size_t within,
                        size_t count) {
    std::lock_guard lock(dev.bounce_lock);
    size_t got = 0;
    if (int err = read_all_at(dev.fd, dev.bounce.get(), dev.blksize, block_offset, got)) return err;
    if (got < within + count) return -EINVAL;
    std::memcpy(dst, dev.bounce.get() + within, count);
    return 0;
}

int read_aligned(hfs_device& dev, uint8_t* dst, uint64_t size, uint64_t offset) {
    const uint64_t block = dev.blksize;
    if (uint64_t head = offset % block; head != 0) {
        size_t count = static_cast<size_t>(std::min(block - head, size));
        if (int err =
                read_through_bounce(dev, dst, offset - head, static_cast<size_t>(head), count))
            return err;
        dst += count;
        offset += count;
        size -= count;
    }
    if (uint64_t body = size - size % block; body != 0) {
        if (int err = read_exact(dev.fd, dst, static_cast<size_t>(body), offset)) return err;
        dst += body;
        offset += body;
        size -= body;
    }
    if (size != 0) return read_through_bounce(dev, dst, offset, 0, static_cast<size_t>(size));
    return 0;
}

// The device's stored bytes at absolute offsets.
hfs_range_reader stored_reader(hfs_device& dev) {
    return [&dev](uint8_t* buf, size_t size, uint64_t offset) {
        return hfs_read_stored(dev, buf, size, offset);
    };
}

// Reads what the volume's journal holds and, when asked to replay it and it
// can be, builds the overlay that every later read goes through.
int attach_journal(hfs_device& dev, bool replay) {
    const hfs_range_reader stored = stored_reader(dev);
    const uint64_t base = dev.base_offset;
    dev.journal = hfs_scan_journal([&stored, base](uint8_t* buf, size_t size, uint64_t offset) {
        uint64_t at = 0;
        if (__builtin_add_overflow(offset, base, &at)) return -EINVAL;
        return stored(buf, size, at);
    });
    if (!replay || dev.journal.state != hfs_journal_state::dirty) return 0;
    dev.overlay = hfs_journal_overlay::build(dev.journal, base);
    return dev.overlay ? 0 : -ENOMEM;
}

} // namespace

hfs_range_reader hfs_source_reader(hfs_byte_source& source) {
    return [&source](uint8_t* buf, size_t size, uint64_t offset) {
        return source.read_exact({buf, size}, offset);
    };
}

int hfs_open_image_source(const char* path, const hfs_options& options, hfs_byte_source_ptr& out,
                          std::string& error) {
    return hfs_open_disk_image(path, uint64_t{options.image_cache} << 20, out, error);
}

int hfs_open_device(hfslib_vol* vol, const char* path, hfslib_cbctx* ctx) {
    if (!vol || !path) return fail_open(EINVAL);
    vol->device = nullptr;

    std::unique_ptr<hfs_device> dev;
    try {
        dev = std::make_unique<hfs_device>();
    } catch (const std::bad_alloc&) {
        return fail_open(ENOMEM);
    }
    const hfs_options options = settings_from(ctx);

    {
        // Without waiting: a FIFO given as the volume is refused, not read.
        dimg::unique_fd fd;
        struct stat st {};
        std::string why;
        if (int err = dimg::open_volume_path(path, fd, st, why)) {
            if (err == -EINVAL) hfslib_report("%s %s", nullptr, 0, path, why.c_str());
            return fail_open(-err);
        }
        dev->fd = fd.release();
    }

    // A disk image (UDIF, sparse image, sparse bundle): its decoded disk is
    // read instead of the file, under the block cache.
    std::string where_error;
    if (int err = hfs_open_image_source(path, options, dev->image, where_error)) {
        hfslib_report("%s", nullptr, 0, where_error.c_str());
        return fail_open(-err);
    }

    // A whole-disk image: the volume is one of its partitions.
    if (dev->image
            ? hfs_find_volume(hfs_source_reader(*dev->image), dev->image->size(), options.partition,
                              dev->base_offset, where_error) != 0
            : hfs_volume_start(dev->fd, options.partition, dev->base_offset, where_error) != 0) {
        hfslib_report("%s%s%s", nullptr, 0, dev->image ? path : "", dev->image ? ": " : "",
                      where_error.c_str());
        return fail_open(EINVAL);
    }

    if (int err = apply_settings(*dev, options)) return fail_open(-err);

    if (options.blksize != 0) {
        dev->blksize = options.blksize;
    } else {
        struct stat st {};
        if (::fstat(dev->fd, &st) != 0) return fail_open(errno);
        dev->blksize = S_ISCHR(st.st_mode) ? 512 : 0;
        // A file or block device read as it is: its bytes may be handed to
        // the kernel straight from the descriptor.
        if (!dev->image && dev->blksize == 0) {
            const off_t end = S_ISREG(st.st_mode)   ? st.st_size
                              : S_ISBLK(st.st_mode) ? ::lseek(dev->fd, 0, SEEK_END)
                                                    : 0;
            dev->plain_size = end > 0 ? static_cast<uint64_t>(end) : 0;
        }
    }

    dev->use_ublio = options.noublio == 0;

    if (dev->use_ublio) {
        dev->ublio = block_cache::open(dev->fd, dev->blksize ? dev->blksize : 512,
                                       options.ublio_items, options.ublio_grace);
        if (!dev->ublio) return fail_open(ENOMEM);
        dev->ublio->read_from(dev->image.get());
    } else if (dev->blksize != 0) {
        try {
            dev->bounce = std::make_unique_for_overwrite<uint8_t[]>(dev->blksize);
        } catch (const std::bad_alloc&) {
            return fail_open(ENOMEM);
        }
    }

    if (int err = attach_journal(*dev, options.replay != 0)) return fail_open(-err);
    vol->device = dev.release();
    return 0;
}

int hfs_open_memory_device(hfslib_vol* vol, const char*, hfslib_cbctx* ctx) {
    if (!vol) return fail_open(EINVAL);
    vol->device = nullptr;
    const auto* image = ctx ? static_cast<const hfs_memory_image*>(ctx->open_arg) : nullptr;
    if (!image) return fail_open(EINVAL);

    std::unique_ptr<hfs_device> dev;
    try {
        dev = std::make_unique<hfs_device>();
    } catch (const std::bad_alloc&) {
        return fail_open(ENOMEM);
    }
    hfs_options defaults{};
    init_options(&defaults);
    if (int err = apply_settings(*dev, image->options ? *image->options : defaults))
        return fail_open(-err);
    dev->memory = image->bytes;
    if (int err = attach_journal(*dev, image->options && image->options->replay != 0))
        return fail_open(-err);
    vol->device = dev.release();
    return 0;
}

void hfs_close_device(hfslib_vol* vol, hfslib_cbctx*) {
    if (!vol || !vol->device) return;
    std::unique_ptr<hfs_device> dev(hfs_get_device(vol));
    vol->device = nullptr;
}

int hfs_read_stored(hfs_device& dev, uint8_t* dst, uint64_t size, uint64_t offset) {
    if (size > SSIZE_MAX || offset > INT64_MAX - size) return -EINVAL;
    if (size == 0) return 0;
    if (dev.fd < 0) return read_memory(dev, dst, size, offset);
    if (dev.use_ublio) {
        std::lock_guard lock(dev.ublio_lock);
        ssize_t got = dev.ublio->read_at({dst, static_cast<size_t>(size)}, offset);
        if (got < 0) return static_cast<int>(got);
        return static_cast<uint64_t>(got) < size ? -EINVAL : 0;
    }
    if (dev.image) return dev.image->read_exact({dst, static_cast<size_t>(size)}, offset);
    if (dev.blksize == 0) return read_exact(dev.fd, dst, static_cast<size_t>(size), offset);
    return read_aligned(dev, dst, size, offset);
}

int hfs_read_device(hfslib_vol* vol, void* buf, uint64_t size, uint64_t offset, hfslib_cbctx*) {
    hfs_device* dev = hfs_get_device(vol);
    if (!dev || !buf) return -EINVAL;
    auto* dst = static_cast<uint8_t*>(buf);

    int err = 0;
    uint64_t device_offset = 0;
    if (__builtin_add_overflow(offset, vol->embedded_offset, &device_offset) ||
        __builtin_add_overflow(device_offset, dev->base_offset, &device_offset) ||
        size > SSIZE_MAX || device_offset > INT64_MAX - size) {
        err = -EINVAL;
    } else if (size == 0) {
        return 0;
    } else {
        err = hfs_read_stored(*dev, dst, size, device_offset);
        // The replayed journal's blocks replace what is stored.
        if (err == 0 && dev->overlay && dev->overlay->touches(device_offset, size))
            err = dev->overlay->patch(dst, size, device_offset, stored_reader(*dev));
    }
    if (err == 0) return 0;
    // A disk image too small for the volume it holds.
    if (dev->image && device_offset < INT64_MAX - size &&
        device_offset + size > dev->image->size()) {
        hfslib_report("the volume reaches past the end of the disk image: a read of %lu bytes at "
                      "offset %lu, where the image's disk ends at byte %lu (the image records too "
                      "small a size for what it holds)",
                      nullptr, 0, size, device_offset, dev->image->size());
        return err;
    }
    // strerror_r: strerror may share its buffer between the request threads.
    char text[64];
    hfslib_report("read of %lu bytes at offset %lu failed (block size %u): %s", nullptr, 0, size,
                  device_offset, dev->blksize,
                  error_text(strerror_r(-err, text, sizeof text), text));
    return err;
}
