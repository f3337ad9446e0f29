// quorvel: mounts an HFS+ or HFSX volume read-only through FUSE.
#include "frontend.h"

#include "device.h"
#include "libhfs.h"
#include "partition_map.h"

#include <fcntl.h>
#include <string>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// Owns what the option parser allocated.
struct parsed_command_line {
    fuse_args args;
    hfs_options options{};

    parsed_command_line(int argc, char** argv) : args(FUSE_ARGS_INIT(argc, argv)) {
        init_options(&options);
    }
    ~parsed_command_line() {
        std::free(options.volume);
        std::free(options.rsrc_ext);
        fuse_opt_free_args(&args);
    }
    parsed_command_line(const parsed_command_line&) = delete;
    parsed_command_line& operator=(const parsed_command_line&) = delete;
};

// Opens the volume, checks its journal and runs the file system.
int mount_and_serve(parsed_command_line& cl) {
    hfs_options& options = cl.options;
    const hfslib_hooks hooks = hfs_device_hooks();
    hfslib_setup(&hooks);

    hfslib_cbctx ctx;
    hfslib_clear_cbctx(&ctx);
    ctx.open_arg = &options;

    hfslib_vol vol{};
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

    hfslib_set_err_hook(log_syslog);
    return fuse_main_real(cl.args.argc, cl.args.argv, hfs_fuse_ops(), sizeof(fuse_operations),
                          &vol);
}

} // namespace

int main(int argc, char** argv) {
    parsed_command_line cl(argc, argv);
    if (fuse_opt_parse(&cl.args, &cl.options, hfs_opts, process_arg) == -1) return 1;

    hfs_options& options = cl.options;
    if (!options.volume) {
        std::fprintf(stderr, usage_format, cl.args.argv[0]);
        return 1;
    }
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

    add_mount_options(&cl.args, &options);
    int status = mount_and_serve(cl);
    hfslib_teardown();
    return status;
}
