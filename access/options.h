// The mount options, as the command line sets them. The front-end fills
// this record; the device open hook reads it through the open_arg slot of
// the library's call context.
#pragma once

#include <cstddef>
#include <cstdint>

// Field types match the option parser's conversions exactly.
struct hfs_options {
    size_t cache_size;                // "cache_size=%zu"
    unsigned int blksize;             // "blksize=%u"
    char* rsrc_ext;                   // "rsrc_ext=%s"
    int rsrc_only;                    // "rsrc_only"
    int noublio;                      // "noublio"
    int ublio_items;                  // "ublio_items=%d"
    unsigned long ublio_grace;        // "ublio_grace=%lu"
    unsigned short default_file_mode; // "default_file_mode=%ho"
    unsigned short default_dir_mode;  // "default_dir_mode=%ho"
    unsigned int default_uid;         // "default_uid=%u"
    unsigned int default_gid;         // "default_gid=%u"
    int disable_symlinks;             // "disable_symlinks"
    char* volume;                     // first non-option argument
    int noallow_other;                // "noallow_other"
    int force;                        // "--force"
    int verbose;                      // "--verbose" (quorvel: also -d): the reader's own messages
    unsigned int partition;           // "partition=%u": 0 = the first HFS+ partition
    int partition_given;              // "partition=": the option was given (0 is refused)
    unsigned int image_cache;         // "image_cache=%u": MiB of decoded disk-image runs
    int direct_io;                    // "direct_io": reads bypass the kernel's page cache
    int threads;                      // "threads": FUSE serves requests on several threads
    int replay;                       // "replay": a dirty journal is replayed in memory
};

constexpr size_t HFS_DEFAULT_CACHE_SIZE = 1024;
constexpr unsigned short HFS_DEFAULT_FILE_MODE = 0755;
constexpr unsigned short HFS_DEFAULT_DIR_MODE = 0777;
constexpr int HFS_DEFAULT_UBLIO_ITEMS = 64;
constexpr unsigned long HFS_DEFAULT_UBLIO_GRACE = 32;
constexpr unsigned int HFS_DEFAULT_IMAGE_CACHE = 64;

// Writes the defaults into a zeroed record.
void init_options(hfs_options* options);
