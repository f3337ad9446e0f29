// quorvel-extract: lists, shows and copies out what is on an HFS+ or HFSX
// volume without mounting it, through the same access layer as the mount.
#include "frontend/extract/extract.h"
#include "frontend/library_versions.h"
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
    "usage: quorvel-extract [-o options] [--force] [--replay] [--quiet] [--verbose]\n"
    "                       [-p] [--max-size SIZE] VOLUME COMMAND [ARGS]\n"
    "       quorvel-extract -h|--help | -v|-V|--version\n"
    "\n"
    "commands:\n";
constexpr char usage_tail[] =
    "\n"
    "options (-o and --force before VOLUME):\n"
    "    -o opt[,opt...]          the options of quorvel(1) that concern reading:\n"
    "    -o rsrc_ext=SUFFIX       a file name followed by SUFFIX names its resource fork\n"
    "    -o rsrc_only             plain paths name resource forks\n"
    "    -o partition=N           read the N-th partition of a whole disk, from 1\n"
    "                             (default: the first HFS+ one)\n"
    "    -o default_file_mode=N   octal mode of files stored without one (755)\n"
    "    -o default_dir_mode=N    the same for folders (777)\n"
    "    -o default_uid=N         owner of such items (0)\n"
    "    -o default_gid=N         group of such items (0)\n"
    "    -o disable_symlinks      show symbolic links as regular files\n"
    "    -o cache_size=N          entries of the path lookup cache (1024)\n"
    "    -o blksize=N             read size and alignment in bytes (detected)\n"
    "    -o image_cache=N         MiB of decoded disk-image (.dmg) data kept in memory (64)\n"
    "    -o noublio               read without the block cache (the volume's recently\n"
    "                             read blocks kept in memory)\n"
    "    -o ublio_items=N         blocks the block cache keeps, 0 for none (64)\n"
    "    -o replay                the same as --replay\n"
    "    -o ublio_grace=N         a cached block is dropped only after N reads without use (32)\n"
    "    --replay                 apply the journal's pending transactions in memory\n"
    "                             (as macOS would; the image is not changed)\n"
    "    --force                  read a volume whose journal is dirty, ignoring them\n"
    "    --quiet                  no progress line\n"
    "    --max-size SIZE          disk, extract, cat: write at most SIZE bytes, in bytes\n"
    "                             or with a suffix K, M, G, T, P or E (powers of\n"
    "                             1024); default 64T\n"
    "    --verbose                for a volume that cannot be opened, also each step\n"
    "                             that failed\n"
    "    -p, --same-permissions   extract: keep set-user-ID, set-group-ID and sticky bits\n"
    "                             and create device nodes\n"
    "    -h, --help               this help\n"
    "    -v, -V, --version        the version and the libraries built in\n"
    "A volume whose journal has transactions pending is refused (status 5)\n"
    "unless --replay or --force is given. The volume is never written.\n"
    "\n"
    "extract never follows a symbolic link below DEST (what is in the way is\n"
    "replaced), leaves the mode, owner and times of an existing DEST and of the\n"
    "folders already in it alone, makes each new item other than a regular file\n"
    "in a staging folder of its own (.quorvel-extract.*, removed at the end) so\n"
    "that no one else can swap it before it gets its owner and mode, and\n"
    "copies a folder reached through several folder hard links once: the later\n"
    "names become relative symbolic links to the first copy. Without -p it drops\n"
    "set-user-ID, set-group-ID and sticky bits and does not create device nodes\n"
    "(they are listed, and the exit status is 1).\n"
    "\n"
    "disk, extract and cat write runs of zeros as holes where the output is a\n"
    "regular file, and refuse to write more than --max-size in all (what the\n"
    "image claims, holes included).\n"
    "\n"
    "verify exits with status 3 when the image carries no checksum of its data\n"
    "(nothing was verified), 1 on a mismatch.\n"
    "\n"
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
        if (words.empty() && (arg == "-v" || arg == "-V" || arg == "--version")) {
            std::printf("quorvel-extract version %s\n", QUORVEL_VERSION);
            hfs_print_library_versions(stdout);
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
        } else if (arg == "--verbose") {
            options.verbose = 1;
        } else if (arg == "--replay" && words.empty()) {
            options.replay = 1;
        } else if (arg == "--quiet") {
            how.quiet = true;
        } else if (arg == "-p" || arg == "--same-permissions") {
            how.same_permissions = true;
        } else if (arg == "--max-size" || arg.starts_with("--max-size=")) {
            const bool joined = arg.size() > 10;
            if (!joined && i + 1 == argc) {
                std::fputs("quorvel-extract: --max-size needs a size\n", stderr);
                return 1;
            }
            const std::string value = joined ? arg.substr(11) : argv[++i];
            if (!parse_size(value, how.max_size)) {
                std::fprintf(stderr, "quorvel-extract: --max-size: not a size: %s\n",
                             printable(value).c_str());
                return 1;
            }
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
