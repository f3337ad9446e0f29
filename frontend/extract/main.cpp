// quorvel-extract: lists, shows and copies out what is on an HFS+ or HFSX
// volume without mounting it, through the same access layer as the mount.
#include "frontend/extract/extract.h"
#include "frontend/open_volume.h"

#include "access/device.h"
#include "libhfs/libhfs.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr char usage_head[] =
    "usage: quorvel-extract [-o options] [--force] [--replay] [--quiet] [-p] VOLUME COMMAND\n"
    "       [ARGS]\n"
    "\n"
    "commands:\n";
constexpr char usage_tail[] =
    "\n"
    "The mount options of quorvel that concern reading apply: rsrc_ext=SUFFIX,\n"
    "rsrc_only, partition=N, default_file_mode=N, default_dir_mode=N,\n"
    "default_uid=N, default_gid=N, disable_symlinks, cache_size=N, blksize=N,\n"
    "noublio, ublio_items=N, ublio_grace=N, image_cache=N, replay. The volume is\n"
    "never written.\n"
    "\n"
    "A volume whose journal has transactions pending is refused (status 5) unless\n"
    "    --replay (-o replay)     the transactions are applied in memory, as macOS\n"
    "                             would replay them (the image is not changed)\n"
    "    --force                  they are ignored: the volume is read as stored\n"
    "\n"
    "extract never follows a symbolic link below DEST (what is in the way is\n"
    "replaced), leaves an existing DEST's own mode, owner and times alone, and\n"
    "copies a folder reached through several folder hard links once: the later\n"
    "names become relative symbolic links to the first copy. By default it drops\n"
    "set-user-ID, set-group-ID and sticky bits and does not create device nodes\n"
    "(they are listed, and the exit status is 1);\n"
    "    -p, --same-permissions   keep those bits and create device nodes\n"
    "Names are shown with control characters and backslashes escaped.\n";

void print_usage(FILE* to) {
    std::fputs(usage_head, to);
    for (const extract_command& command : extract_commands())
        std::fprintf(to, "    %-22s %s\n", command.synopsis, command.summary);
    std::fputs(usage_tail, to);
}

const extract_command* find_command(const std::string& name) {
    for (const extract_command& command : extract_commands())
        if (name == command.name) return &command;
    return nullptr;
}

// Owns what the options hold.
struct options_guard {
    hfs_options options{};
    options_guard() { init_options(&options); }
    ~options_guard() {
        std::free(options.rsrc_ext);
        std::free(options.volume);
    }
    options_guard(const options_guard&) = delete;
    options_guard& operator=(const options_guard&) = delete;
};

} // namespace

int main(int argc, char** argv) {
    options_guard guard;
    hfs_options& options = guard.options;
    extract_options how;
    std::vector<std::string> words;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (words.empty() && (arg == "-h" || arg == "--help")) {
            print_usage(stdout);
            return 0;
        }
        if (words.empty() && arg == "-o" && i + 1 < argc) {
            std::string error;
            if (!parse_mount_options(argv[++i], options, error)) {
                std::fprintf(stderr, "quorvel-extract: %s\n", error.c_str());
                return 1;
            }
        } else if (words.empty() && arg.starts_with("-o") && arg.size() > 2) {
            std::string error;
            if (!parse_mount_options(arg.c_str() + 2, options, error)) {
                std::fprintf(stderr, "quorvel-extract: %s\n", error.c_str());
                return 1;
            }
        } else if (arg == "--force" && words.empty()) {
            options.force = 1;
        } else if (arg == "--replay" && words.empty()) {
            options.replay = 1;
        } else if (arg == "--quiet") {
            how.quiet = true;
        } else if (arg == "-p" || arg == "--same-permissions") {
            how.same_permissions = true;
        } else {
            words.push_back(arg);
        }
    }
    if (words.size() < 2) {
        print_usage(stderr);
        return 1;
    }
    options.volume = strdup(words[0].c_str());
    how.resource_fork_attributes = !options.rsrc_only;
    const std::string command = words[1];
    const std::vector<std::string> args(words.begin() + 2, words.end());

    const extract_command* run = find_command(command);
    if (run && run->run_on_disk) return run->run_on_disk(options, args, how);
    if (int status = hfs_check_options(options)) return status;
    hfslib_vol served{};
    if (int status = hfs_open_volume(options, served)) return status;

    int status = 1;
    if (run) {
        status = run->run(&served, args, how);
    } else {
        std::fprintf(stderr, "quorvel-extract: unknown command `%s'\n", printable(command).c_str());
        print_usage(stderr);
    }

    hfslib_unmount(&served, nullptr);
    hfslib_teardown();
    return status;
}
