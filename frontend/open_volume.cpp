#include "open_volume.h"

#include "device.h"
#include "partition_map.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <unistd.h>

int hfs_check_options(const hfs_options& options) {
    if (options.rsrc_ext && std::strchr(options.rsrc_ext, '/')) {
        std::fprintf(stderr, "Error: rsrc_ext option may not include path separator: %s\n",
                     options.rsrc_ext);
        return 1;
    }
    // A partition that cannot be used is a mistake on the command line.
    if (options.partition != 0) {
        std::string error;
        uint64_t offset = 0;
        int fd = open(options.volume, O_RDONLY | O_CLOEXEC);
        bool usable = fd >= 0 && hfs_locate_volume(fd, options.partition, offset, error);
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
        if (errno == 0) errno = EINVAL;
        int status = errno;
        std::perror("Couldn't open volume");
        return status;
    }

    if (!hfslib_journal_clean(&vol)) {
        std::fputs("Journal is dirty!", stderr);
        if (!options.force) {
            std::fputs(" Canceling mount. Use --force to ignore.\n", stderr);
            hfslib_unmount(&vol, nullptr);
            return 5;
        }
        std::fputs(" Attempting to mount anyway (--force).\n", stderr);
    }
    return 0;
}
