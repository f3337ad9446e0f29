// quorvel-extract: reads a volume through the access layer, as the mount
// shows it, without mounting it.
#pragma once

#include "access/disk_image/byte_source.h"
#include "access/options.h"
#include "libhfs/libhfs.h"

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <vector>

// Reads a comma-separated list of mount options into `options`, with the
// same option table as quorvel. False with a message for an unknown option
// or a bad value.
bool parse_mount_options(const char* list, hfs_options& options, std::string& error);

// One entry of a folder, as the mount lists it.
struct folder_entry {
    std::string name;
    struct stat st;
};

// The entries of a folder (without the "." and ".." every folder has); a
// negative errno value on failure. `skipped` (when given) counts entries the
// listing passed over because their names cannot be shown, as far as the
// listing tells (not those after the last entry shown).
int list_folder(hfslib_vol* vol, const std::string& path, std::vector<folder_entry>& entries,
                size_t* skipped = nullptr);

// `path` joined with `name` ("/" + name at the root).
std::string join_path(const std::string& path, const std::string& name);

// How the commands copy.
struct extract_options {
    bool quiet = false;
    // Keep set-user-ID, set-group-ID and sticky bits and create device nodes.
    bool same_permissions = false;
    // Resource forks are shown as the user.com.apple.ResourceFork attribute
    // (not with rsrc_only).
    bool resource_fork_attributes = true;
    // The most disk, extract and cat write (what the image claims, holes
    // included): a real disk fits, a small image claiming exabytes does not.
    static constexpr uint64_t default_max_size = uint64_t{64} << 40;
    uint64_t max_size = default_max_size;
};

// The commands about the disk rather than the volume (run without opening
// the volume): its partitions, the whole decoded disk, and a UDIF image's
// checksums.
int command_partitions(const hfs_options& options, const std::vector<std::string>& args);
int command_disk(const hfs_options& options, const std::vector<std::string>& args,
                 const extract_options& how);
int command_verify(const hfs_options& options, const std::vector<std::string>& args);
// The exit status of verify when the image carries no checksum of its data.
constexpr int verify_nothing_checked = 3;
// The journal and its pending transactions (journal.cpp).
int command_journal(const hfs_options& options, const std::vector<std::string>& args);

// Writes a stream to a descriptor from its current position. Where that is
// a regular file with nothing past the position (and not opened for
// appending), blocks of zeros are not written but left as holes, as
// `cp --sparse=auto` does; elsewhere (a pipe, a device) every byte is
// written.
class sparse_output {
public:
    explicit sparse_output(int fd);
    // 0 or an errno value.
    int write(std::span<const uint8_t> data);
    // Gives the file its full size when it ends in a hole; 0 or an errno
    // value.
    int finish();

private:
    int fd_;
    bool holes_ = false;
    size_t block_ = 4096;
    off_t at_ = 0; // the position, with holes
};

// A size with an optional K, M, G, T, P or E suffix (powers of 1024); false
// when it is not one or does not fit in 64 bits.
bool parse_size(std::string_view text, uint64_t& size);
// "N bytes (X.Y GiB)".
std::string size_text(uint64_t size);
// "N bytes (...), more than the limit of ...": why an output of `claimed`
// bytes is refused under `limit`.
std::string over_limit(uint64_t claimed, uint64_t limit);

// A command: its name, its synopsis and what it does (for the usage text),
// and how it runs: on the open volume (`run`), or on the disk, before any
// volume is opened (`run_on_disk`). Both return the exit status.
struct extract_command {
    const char* name;
    const char* synopsis;
    const char* summary;
    int (*run)(hfslib_vol* vol, const std::vector<std::string>& args, const extract_options& how);
    int (*run_on_disk)(const hfs_options& options, const std::vector<std::string>& args,
                       const extract_options& how) = nullptr;
};
// Every command, in the order the usage text shows them (commands.cpp).
std::span<const extract_command> extract_commands();

int command_extract(hfslib_vol* vol, const std::vector<std::string>& args,
                    const extract_options& how);

// `text` with backslashes and control characters escaped (\n, \t, \\, octal
// \033 and so on, as `ls -b` shows them), fit for a terminal.
std::string printable(std::string_view text);

// The whole disk `options.volume` holds, decoded when it is a disk image;
// null after saying why it cannot be read (partitions.cpp).
hfs_byte_source_ptr open_whole_disk(const hfs_options& options);

// Prints "quorvel-extract: WHAT: error text" to standard error (WHAT escaped).
void report_error(const std::string& what, int negative_errno);
