// quorvel: mounts an HFS+ or HFSX volume read-only through FUSE.
#include "frontend/frontend.h"

#include "access/device.h"
#include "frontend/lowlevel_ops.h"
#include "frontend/mount_table.h"
#include "frontend/open_volume.h"
#include "libhfs/libhfs.h"

#include <fuse_lowlevel.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

namespace {

// FUSE's unmount program for ordinary users.
#if FUSE_USE_VERSION >= 30
constexpr char fusermount_program[] = "fusermount3";
#else
constexpr char fusermount_program[] = "fusermount";
#endif

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

// The mount point as given: the first argument FUSE's parser will take as
// a non-option (the volume has been taken out already).
const char* given_mount_point(const fuse_args& args) {
    for (int i = 1; i < args.argc; ++i) {
        const std::string_view arg = args.argv[i];
        if (arg == "-o") {
            ++i;
        } else if (arg == "--") {
            return i + 1 < args.argc ? args.argv[i + 1] : nullptr;
        } else if (!arg.starts_with('-')) {
            return args.argv[i];
        }
    }
    return nullptr;
}

// Says what is wrong with a mount point that is not a folder one can mount
// on: missing, not a folder, or left behind by a mount whose program has
// ended. True when it is a folder (or FUSE will say what is wrong with it).
bool mount_folder_usable(const char* path) {
    // The kernel may answer stat from its cache of a dead mount's
    // attributes; statfs always asks the file system.
    struct stat st {};
    struct statfs fs {};
    if (::stat(path, &st) == 0 && (!S_ISDIR(st.st_mode) || ::statfs(path, &fs) == 0)) {
        if (S_ISDIR(st.st_mode)) return true;
        std::fprintf(stderr, "quorvel: the mount point %s is not a folder; mount on a folder\n",
                     path);
        return false;
    }
    const int err = errno;
    if (err == ENOTCONN) {
        std::fprintf(stderr,
                     "quorvel: %s is still mounted, but the program serving it has ended "
                     "(%s); unmount it with: %s -u %s\n",
                     path, std::strerror(err), fusermount_program, path);
    } else if (err == ENOENT) {
        std::fprintf(stderr, "quorvel: the mount point %s does not exist; make the folder first\n",
                     path);
    } else {
        return true; // FUSE says why
    }
    return false;
}

// Refuses a mount point something is mounted on already, as FUSE resolves
// it. 0 when it is free (or FUSE will say what is wrong with it), else the
// exit status after a message.
int check_mount_point(const fuse_args& args, std::string& resolved, bool& foreground) {
    if (const char* given = given_mount_point(args); given && !mount_folder_usable(given)) return 1;
    fuse_args copy = FUSE_ARGS_INIT(0, nullptr);
    for (int i = 0; i < args.argc; ++i) fuse_opt_add_arg(&copy, args.argv[i]);
    char* mount_point = nullptr;
    int status = 0;
#if FUSE_USE_VERSION >= 30
    fuse_cmdline_opts parsed{};
    const int parse_result = fuse_parse_cmdline(&copy, &parsed);
    mount_point = parsed.mountpoint;
    foreground = parsed.foreground != 0;
#else
    int in_foreground = 0;
    const int parse_result = fuse_parse_cmdline(&copy, &mount_point, nullptr, &in_foreground);
    foreground = in_foreground != 0;
#endif
    if (parse_result == -1) {
        status = 1; // FUSE has said why
    } else if (!mount_point) {
#if FUSE_USE_VERSION >= 30
        if (parsed.show_version) return fuse_opt_free_args(&copy), 0; // -V: FUSE's version
#endif
        std::fprintf(stderr, "quorvel: no mount point given\n");
        status = 1;
    } else {
        resolved = mount_point;
        if (const auto what = hfs_find_mount(mount_point)) {
            std::fprintf(stderr,
                         "quorvel: %s is already a mount point (%s %s); unmount it first or "
                         "choose another folder\n",
                         mount_point, what->type.c_str(), what->source.c_str());
            status = 1;
        }
    }
    std::free(mount_point);
    fuse_opt_free_args(&copy);
    return status;
}

// Serves the mount through libfuse's low-level API until it is unmounted,
// with the exit statuses of libfuse 2's fuse_main (and of this program): 0
// when the file system was unmounted or stopped by a signal (SIGTERM,
// SIGINT, SIGHUP), 1 for any failure.
#if FUSE_USE_VERSION >= 30
int serve(fuse_args& args, hfs_mount& mount) {
    fuse_cmdline_opts opts{};
    if (fuse_parse_cmdline(&args, &opts) != 0) return 1;
    const std::unique_ptr<char, decltype(&std::free)> mount_point(opts.mountpoint, &std::free);
    if (opts.show_version) { // -V
        std::printf("FUSE library version %s\n", fuse_pkgversion());
        fuse_lowlevel_version();
        return 0;
    }
    if (!opts.mountpoint) return 1; // said already
    if (hfs_take_library_options(&args, &mount.settings) != 0) return 1;
    fuse_session* session =
        fuse_session_new(&args, hfs_lowlevel_ops(), sizeof(fuse_lowlevel_ops), &mount);
    if (!session) return 1;
    int status = 1;
    if (fuse_session_mount(session, opts.mountpoint) == 0) {
        if (fuse_daemonize(opts.foreground) == 0 && fuse_set_signal_handlers(session) == 0) {
            // A loop ended by a signal returns the signal's number; a
            // failure, a negative errno value.
            int result = 0;
            if (opts.singlethread) {
                result = fuse_session_loop(session);
            } else {
                fuse_loop_config config{};
                config.clone_fd = opts.clone_fd;
                config.max_idle_threads = opts.max_idle_threads;
                result = fuse_session_loop_mt(session, &config);
            }
            fuse_remove_signal_handlers(session);
            status = result >= 0 ? 0 : 1;
        }
        fuse_session_unmount(session);
    }
    fuse_session_destroy(session);
    return status;
}
#else
int serve(fuse_args& args, hfs_mount& mount) {
    char* raw_mount_point = nullptr;
    int multithreaded = 0;
    int foreground = 0;
    if (fuse_parse_cmdline(&args, &raw_mount_point, &multithreaded, &foreground) == -1) return 1;
    const std::unique_ptr<char, decltype(&std::free)> mount_point(raw_mount_point, &std::free);
    if (!raw_mount_point) return 1;
    if (hfs_take_library_options(&args, &mount.settings) != 0) return 1;
    fuse_chan* channel = fuse_mount(raw_mount_point, &args);
    if (!channel) return 1;
    int status = 1;
    fuse_session* session =
        fuse_lowlevel_new(&args, hfs_lowlevel_ops(), sizeof(fuse_lowlevel_ops), &mount);
    if (session) {
        fuse_session_add_chan(session, channel);
        if (fuse_daemonize(foreground) == 0 && fuse_set_signal_handlers(session) == 0) {
            const int result =
                multithreaded ? fuse_session_loop_mt(session) : fuse_session_loop(session);
            fuse_remove_signal_handlers(session);
            status = result == -1 ? 1 : 0;
        }
        fuse_session_remove_chan(channel);
        fuse_session_destroy(session);
    }
    fuse_unmount(raw_mount_point, channel);
    return status;
}
#endif

// Opens the volume, checks its journal and runs the file system.
int mount_and_serve(parsed_command_line& cl, const std::string& mount_point) {
    hfslib_vol vol{};
    if (int status = hfs_open_volume(cl.options, vol)) return status;
    hfslib_set_err_hook(log_syslog);
    hfs_mount mount;
    mount.vol = &vol;
    mount.mount_point = mount_point;
    mount.direct_io = cl.options.direct_io != 0;
#if FUSE_USE_VERSION >= 30
    mount.connection_options = cl.connection_options;
#endif
    const int status = serve(cl.args, mount);
    // The file system never started (a FUSE option refused, the mount
    // failed): its destroy handler, which closes the volume, did not run.
    if (mount.vol) hfslib_unmount(mount.vol, nullptr);
    return status;
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
    std::string mount_point;
    bool foreground = false;
    if (int status = check_mount_point(cl.args, mount_point, foreground)) return status;
    hfs_log_to_stderr_too(foreground);

    // fusermount refuses allow_other to ordinary users unless FUSE's
    // configuration lets them give it: their mounts are then theirs alone.
    if (!options.noallow_other && getuid() != 0 && !fuse_conf_allows_other()) {
        options.noallow_other = 1;
        std::fprintf(stderr,
                     "quorvel: only you can open %s, not other users nor root; to share it, "
                     "add the line user_allow_other to /etc/fuse.conf and mount again\n",
                     mount_point.c_str());
    }
    add_mount_options(&cl.args, &options);
    int status = mount_and_serve(cl, mount_point);
    hfslib_teardown();
    return status;
}
