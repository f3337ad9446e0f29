// quorvel: mounts an HFS+ or HFSX volume read-only through FUSE.
#include "frontend/frontend.h"

#include "access/device.h"
#include "frontend/open_volume.h"
#include "frontend/ops_common.h"
#include "libhfs/libhfs.h"

#include <fuse_lowlevel.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

namespace {

// Owns what the option parser allocated.
struct parsed_command_line {
    fuse_args args;
    hfs_options options{};

    parsed_command_line(int argc, char** argv) : args(FUSE_ARGS_INIT(argc, argv)) {
        init_options(&options);
    }
#if FUSE_USE_VERSION >= 30
    // The connection options (max_readahead=, sync_read, readdirplus=, ...),
    // taken out of `args` by libfuse's own parser.
    fuse_conn_info_opts* connection_options = nullptr;
#endif
    ~parsed_command_line() {
#if FUSE_USE_VERSION >= 30
        std::free(connection_options);
#endif
        std::free(options.volume);
        std::free(options.rsrc_ext);
        fuse_opt_free_args(&args);
    }
    parsed_command_line(const parsed_command_line&) = delete;
    parsed_command_line& operator=(const parsed_command_line&) = delete;
};

// Undoes the octal escapes ("\040" for a space) of a path in
// /proc/self/mountinfo.
std::string unescape_mountinfo(const std::string& field) {
    auto octal = [](char c) { return c >= '0' && c <= '7'; };
    std::string path;
    for (size_t i = 0; i < field.size(); ++i) {
        if (field[i] == '\\' && i + 3 < field.size() && octal(field[i + 1]) &&
            octal(field[i + 2]) && octal(field[i + 3])) {
            path += static_cast<char>((field[i + 1] - '0') * 64 + (field[i + 2] - '0') * 8 +
                                      (field[i + 3] - '0'));
            i += 3;
        } else {
            path += field[i];
        }
    }
    return path;
}

// What is mounted at `path` already ("TYPE SOURCE"), or empty.
std::string mounted_at(const char* path) {
    std::ifstream mountinfo("/proc/self/mountinfo");
    std::string line;
    while (std::getline(mountinfo, line)) {
        std::istringstream fields(line);
        std::string id, parent, device, root, point;
        if (!(fields >> id >> parent >> device >> root >> point)) continue;
        if (unescape_mountinfo(point) != path) continue;
        std::string word, type, source;
        while (fields >> word && word != "-") {}
        fields >> type >> source;
        return type + " " + unescape_mountinfo(source);
    }
    return {};
}

// Refuses a mount point something is mounted on already, as FUSE resolves
// it. 0 when it is free (or FUSE will say what is wrong with it), else the
// exit status after a message.
int check_mount_point(const fuse_args& args) {
    fuse_args copy = FUSE_ARGS_INIT(0, nullptr);
    for (int i = 0; i < args.argc; ++i) fuse_opt_add_arg(&copy, args.argv[i]);
    char* mount_point = nullptr;
    int status = 0;
#if FUSE_USE_VERSION >= 30
    fuse_cmdline_opts parsed{};
    const int parse_result = fuse_parse_cmdline(&copy, &parsed);
    mount_point = parsed.mountpoint;
#else
    const int parse_result = fuse_parse_cmdline(&copy, &mount_point, nullptr, nullptr);
#endif
    if (parse_result == -1) {
        status = 1; // FUSE has said why
    } else if (mount_point) {
        const std::string what = mounted_at(mount_point);
        if (!what.empty()) {
            std::fprintf(stderr,
                         "quorvel: %s is already a mount point (%s); unmount it first or "
                         "choose another folder\n",
                         mount_point, what.c_str());
            status = 1;
        }
    }
    std::free(mount_point);
    fuse_opt_free_args(&copy);
    return status;
}

// Opens the volume, checks its journal and runs the file system.
int mount_and_serve(parsed_command_line& cl) {
    hfslib_vol vol{};
    if (int status = hfs_open_volume(cl.options, vol)) return status;
    hfslib_set_err_hook(log_syslog);
    hfs_mount mount{&vol};
#if FUSE_USE_VERSION >= 30
    mount.connection_options = cl.connection_options;
#endif
    return fuse_main(cl.args.argc, cl.args.argv, hfs_fuse_ops(), &mount);
}

} // namespace

int main(int argc, char** argv) {
    parsed_command_line cl(argc, argv);
    if (fuse_opt_parse(&cl.args, &cl.options, hfs_opts, process_arg) == -1) return 1;
#if FUSE_USE_VERSION >= 30
    cl.connection_options = fuse_parse_conn_info_opts(&cl.args);
    if (!cl.connection_options) return 1;
#endif

    hfs_options& options = cl.options;
    if (!options.volume) {
        std::fprintf(stderr, usage_format, cl.args.argv[0]);
        return 1;
    }
    if (int status = hfs_check_options(options)) return status;
    if (int status = check_mount_point(cl.args)) return status;

    add_mount_options(&cl.args, &options);
    int status = mount_and_serve(cl);
    hfslib_teardown();
    return status;
}
