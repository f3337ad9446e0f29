// quorvel: mounts an HFS+ or HFSX volume read-only through FUSE.
#include "frontend.h"

#include "device.h"
#include "libhfs.h"
#include "open_volume.h"

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
    hfslib_vol vol{};
    if (int status = hfs_open_volume(cl.options, vol)) return status;
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
    if (int status = hfs_check_options(options)) return status;

    add_mount_options(&cl.args, &options);
    int status = mount_and_serve(cl);
    hfslib_teardown();
    return status;
}
