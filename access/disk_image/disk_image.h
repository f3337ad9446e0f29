// Disk images recognised by their content (never by name): UDIF (.dmg,
// possibly segmented), sparse images and sparse bundles, decoded into the
// disk they hold; and encrypted images, which are only recognised.
// Errors: functions that can fail return 0 or a negative errno value, with
// a message in an out-parameter; the probes answer with a kind or a bool.
#pragma once

#include "access/disk_image/byte_source.h"

#include <cstdint>
#include <string>

enum class hfs_image_kind {
    none,
    udif,
    udif_truncated, // block tables near the end, but no trailer after them
    sparse_image,
    sparse_bundle,
    encrypted,
};

// What kind of disk image `path` is; for an encrypted one, `detail` gets its
// format ("encrcdsa, version 2").
hfs_image_kind hfs_probe_image(const char* path, std::string* detail = nullptr);

// Whether `path`, a file that is no disk image by its ends, still looks like
// the start of a UDIF image (.dmg) cut before its trailer: pieces of block
// tables or a trailer at its end, or a first bzip2, xz or zlib stream
// followed by other data, or by more streams in a file that does not end as
// a stream does (a truncated compressed file with one stream cannot be told
// from one). `evidence` gets what was seen ("it holds several bzip2 ...").
bool hfs_looks_like_cut_udif(const char* path, std::string& evidence);

// Opens `path` as a disk image with `cache_bytes` of decoded runs kept.
// Returns 0 with `out` set, or 0 with `out` null when the path is not a
// disk image this reader decodes (a plain file or device, an encrypted
// image, one that only looks like a truncated image); else a negative errno
// value and, in `error`, a sentence naming the path.
int hfs_open_disk_image(const char* path, uint64_t cache_bytes, hfs_byte_source_ptr& out,
                        std::string& error);

// Opens `path` whole as a byte source: the disk a disk image decodes to, or
// else the file or disk device itself. Returns 0 or a negative errno value
// with `error` naming the path.
int hfs_open_whole_disk(const char* path, uint64_t cache_bytes, hfs_byte_source_ptr& out,
                        std::string& error);

// A short name of an image kind ("UDIF (.dmg)", "sparse image", ...).
const char* hfs_image_kind_name(hfs_image_kind kind);

// Checks a UDIF image against its own checksums, decoding all of it (see
// dimg::verify_udif: -EIO on a mismatch, -ENODATA when it carries no
// checksum of its bytes); other images have none (-ENOTSUP). `report` gets
// one line per checksum, or why the image cannot be opened.
int hfs_verify_disk_image(const char* path, std::string& report);
