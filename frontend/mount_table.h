// The kernel's table of mounts (/proc/self/mountinfo), and the read-ahead
// of a FUSE mount's own backing device.
#pragma once

#include <optional>
#include <string>
#include <string_view>

struct hfs_mount_entry {
    std::string device; // "MAJOR:MINOR" of the mounted file system
    std::string type;   // "fuse.quorvel", "ext4", ...
    std::string source; // what was mounted: the volume, "/dev/sda1", ...
};

// The last mount at `path` (as resolved by realpath), or nothing.
std::optional<hfs_mount_entry> hfs_find_mount(std::string_view path);

// Lets the kernel read ahead up to `kib` KiB at a time on the FUSE mount at
// `path`, when it reads ahead less now and this process may change it (root);
// else leaves it. The kernel starts every FUSE mount at 128 KiB, which caps
// each read request there whatever the request size the connection allows.
void hfs_raise_readahead(std::string_view path, unsigned kib);
