// The option table and the argument callback of the option parser.
#include "frontend/frontend.h"

#include <fuse_lowlevel.h>

#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <unistd.h>

namespace {

// Whether mount(8) started this program: through FUSE's mount.fuse helper,
// which replaces itself with a shell that runs this program.
bool started_by_mount() {
    pid_t pid = getppid();
    for (int generation = 0; generation < 2 && pid > 1; ++generation) {
        std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
        std::string line;
        if (!std::getline(stat, line)) return false;
        // "PID (NAME) STATE PPID ...": the name may hold spaces and parentheses.
        const size_t open = line.find('('), close = line.rfind(')');
        if (open == std::string::npos || close == std::string::npos || close < open) return false;
        if (line.compare(open + 1, close - open - 1, "mount") == 0) return true;
        char state = 0;
        if (std::sscanf(line.c_str() + close + 1, " %c %d", &state, &pid) != 2) return false;
    }
    return false;
}

} // namespace

int process_arg(void* data, const char* arg, int key, struct fuse_args* outargs) {
    auto* options = static_cast<hfs_options*>(data);
    switch (key) {
    case FUSE_OPT_KEY_NONOPT:
        if (!options->volume) {
            options->volume = strdup(arg);
            return 0;
        }
        return 1;
    case KEY_HELP:
    case KEY_FULLHELP:
        show_help(outargs->argv[0], options);
#if FUSE_USE_VERSION >= 30
        std::printf("FUSE options:\n");
        std::fflush(stdout);
        fuse_cmdline_help();
        if (key == KEY_FULLHELP) fuse_lib_help(outargs);
#else
        {
            // libfuse 2 prints its help on standard error: all of it goes
            // to standard output, after ours.
            std::fflush(stdout);
            std::fflush(stderr);
            const int saved_stderr = dup(STDERR_FILENO);
            dup2(STDOUT_FILENO, STDERR_FILENO);
            fuse_opt_add_arg(outargs, "-ho");
            fuse_parse_cmdline(outargs, nullptr, nullptr, nullptr);
            if (key == KEY_FULLHELP) {
                if (fuse_chan* channel = fuse_mount("", outargs)) fuse_chan_destroy(channel);
                fuse_new(nullptr, outargs, nullptr, 0, nullptr);
            }
            std::fflush(stderr);
            if (saved_stderr >= 0) dup2(saved_stderr, STDERR_FILENO), close(saved_stderr);
        }
#endif
        std::fflush(stdout);
        fuse_opt_free_args(outargs);
        std::exit(0);
    case KEY_VERSION:
        show_version();
        fuse_opt_free_args(outargs);
        std::exit(0);
    case KEY_WHO_MAY_ACCESS:
        // Given by the user: passed on as it is (allow_other and allow_root
        // exclude each other), nothing added.
        options->noallow_other = 1;
        return 1;
    case KEY_DEBUG:
        options->verbose = 1;
        return 1;
    case KEY_READ_WRITE:
        // mount(8) hands its helpers "rw" unless told "ro": the mount is
        // read-only all the same.
        if (started_by_mount()) return 0;
        std::fprintf(stderr, "quorvel: quorvel mounts read-only; rw is not supported\n");
        return -1;
    default:
        return 1;
    }
}

bool fuse_conf_allows_other(std::string_view conf_text) {
    while (!conf_text.empty()) {
        const size_t end = conf_text.find('\n');
        std::string_view line = conf_text.substr(0, end);
        conf_text = end == std::string_view::npos ? std::string_view{} : conf_text.substr(end + 1);
        line = line.substr(0, line.find('#'));
        const size_t first = line.find_first_not_of(" \t\r");
        if (first == std::string_view::npos) continue;
        line = line.substr(first, line.find_last_not_of(" \t\r") - first + 1);
        if (line == "user_allow_other") return true;
    }
    return false;
}

bool fuse_conf_allows_other() {
    std::ifstream conf("/etc/fuse.conf");
    std::string text((std::istreambuf_iterator<char>(conf)), std::istreambuf_iterator<char>());
    return fuse_conf_allows_other(text);
}

// How long the kernel may keep names, attributes and missing names: the
// volume never changes while it is mounted. Given before the user's options,
// which may shorten them.
constexpr char cache_timeouts[] = "-oentry_timeout=86400,attr_timeout=86400,negative_timeout=86400";

#if FUSE_USE_VERSION >= 30
// Idle request threads are kept, up to libfuse's limit: what libfuse 3.12 and
// later do when the option is not given, except that 3.14 then complains
// "Ignoring invalid max threads value 4294967295" in the foreground (its
// unset value fails its own range check). Given before the user's options.
constexpr char idle_threads[] = "-omax_idle_threads=100000";
#endif

// Adds the fixed mount options. They come after every option given, and FUSE
// lets the last of "suid"/"nosuid" (and "dev"/"nodev") win: a volume from
// elsewhere never gets set-id programs or device nodes honoured, even when
// mount(8) passes "suid,dev" for root. Then "-s" unless -o threads is given:
// one thread serves the requests. Several (access/ and the handle registry
// lock what they share) measured slower on two cores: the kernel's
// read-ahead requests then arrive out of order, and the round trips of one
// reader wait on thread hand-overs.
void add_mount_options(struct fuse_args* args, const hfs_options* options) {
    fuse_opt_insert_arg(args, 1, cache_timeouts);
#if FUSE_USE_VERSION >= 30
    fuse_opt_insert_arg(args, 2, idle_threads);
#endif
    std::string fsname = std::string("fsname=") + options->volume;
    char* mount_options = nullptr;
    fuse_opt_add_opt(&mount_options, "ro");
    fuse_opt_add_opt(&mount_options, "nosuid");
    fuse_opt_add_opt(&mount_options, "nodev");
    if (!options->noallow_other) fuse_opt_add_opt(&mount_options, "allow_other");
#if FUSE_USE_VERSION < 30
    fuse_opt_add_opt(&mount_options, "use_ino"); // libfuse 3: set when the kernel connects
#endif
    fuse_opt_add_opt(&mount_options, "subtype=quorvel");
    fuse_opt_add_opt_escaped(&mount_options, fsname.c_str());
    fuse_opt_add_arg(args, "-o");
    fuse_opt_add_arg(args, mount_options);
    std::free(mount_options);
    if (!options->threads) fuse_opt_add_arg(args, "-s");
}
