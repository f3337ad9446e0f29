// The volume description read from a JSON manifest: volume options and the
// tree of items with every on-disk detail they carry.
#pragma once

#include "content.h"

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace mkhfs {

// Seconds since 1904-01-01 00:00:00 UTC, as the volume stores dates.
using HfsDate = uint32_t;

struct Dates {
    HfsDate create = 0, content_mod = 0, attribute_mod = 0, access = 0, backup = 0;
};

struct Perms {
    bool present = true; // false: the record carries no BSD permissions at all
    uint32_t owner = 501, group = 20;
    uint8_t admin_flags = 0, owner_flags = 0;
    std::optional<uint16_t> mode; // permission bits (type bits come from the item kind)
    std::optional<uint32_t> special;
};

struct Finder {
    uint32_t type = 0, creator = 0;
    uint16_t flags = 0, ext_flags = 0;
    int16_t v = 0, h = 0;
};

struct Xattr {
    std::string name; // UTF-8, stored as UTF-16 without decomposition
    Content value;
    bool fork = false; // stored as an attribute fork (0x20) instead of inline (0x10)
    uint32_t extents = 1;
};

struct Compression {
    enum class Unit { automatic, zlib, stored, lzvn, lzfse };
    uint32_t type = 4;
    Unit unit = Unit::automatic;
    bool offset_table = false; // types 8/12: table of chunk offsets instead of a resource header
    std::vector<std::filesystem::path> verbatim; // pre-encoded units, one per unit
};

enum class Kind { folder, file, symlink, chardev, blockdev, fifo, socket, hardlink };

struct Item {
    Kind kind = Kind::file;
    std::string name;                       // UTF-8 as shown in the manifest
    std::optional<std::u16string> raw_name; // "name_utf16": stored unchanged
    std::string id;                         // optional handle that hard links refer to
    std::optional<uint32_t> cnid;
    Perms perms;
    Finder finder;
    std::optional<Dates> dates;
    Content data, rsrc;
    uint32_t data_extents = 1, rsrc_extents = 1;
    std::vector<Xattr> xattrs;
    std::optional<Compression> compress;
    std::string symlink_target;
    uint32_t rdev = 0;
    std::string link_to; // hard link: id of the target item
    std::vector<Item> children;
};

// Transactions left pending in the journal: the volume on disk is `before`
// (state S0), and replaying the journal turns it into the manifest's own
// items (S1). The switches make the cases a journal reader must handle.
struct Pending {
    Item before;               // the root folder of S0
    uint32_t jhdr_size = 512;  // the journal's block size: unit of block numbers
    uint32_t transactions = 1; // the changed blocks spread over this many
    uint32_t lists = 1;        // block lists per transaction
    uint32_t sequence = 1000;  // of the first transaction; 0: no sequence numbers
    bool checksums = false;    // lists carry block checksums
    bool wrap = false;         // the transactions cross the journal's end
    uint32_t past_end = 0;     // the last N transactions lie past the header's end
    bool killed = false;       // each list holds a killed entry (its data is garbage)
    bool overridden = false;   // a first transaction writes garbage that later ones replace
    std::string damaged;       // "", or how the transaction after them is damaged
};

struct Journal {
    uint64_t size = 512 * 1024;
    bool dirty = false;
    bool little_endian = false;
    std::shared_ptr<Pending> pending; // null: none (dirty: one stand-in transaction)
};

struct Wrapper {
    uint32_t embed_start = 2; // wrapper allocation block where the HFS+ volume starts
};

struct Volume {
    bool hfsx = false;
    uint8_t key_compare = 0xCF; // 0xCF case-folding, 0xBC code-unit order
    uint32_t block_size = 4096;
    std::optional<uint64_t> size; // bytes; computed when absent
    std::string name = "untitled";
    uint32_t catalog_node = 4096, extents_node = 4096, attributes_node = 4096;
    int catalog_key_width = 2;
    bool attributes_file = true;
    HfsDate create = 0, modify = 0, backup = 0, check = 0;
    std::optional<uint32_t> file_count, folder_count, next_catalog_id;
    uint32_t write_count = 1;
    std::optional<Journal> journal;
    std::optional<Wrapper> wrapper;
};

// A second GPT partition beside the HFS+ one.
struct ExtraPartition {
    std::string type_guid = "EBD0A0A2-B9E5-4433-87C0-68B6B72699C7"; // basic data
    std::string name = "DATA";
    uint64_t size = 1 << 20; // bytes, a multiple of 512
    Content data;
};

// What the volume is wrapped in: nothing (the plain volume), a GPT-partitioned
// disk, and/or a disk-image container.
struct Container {
    enum class Format { raw, udif, sparseimage, sparsebundle };
    enum class Encoding { raw, zlib, bzip2, lzma };
    enum class BandOrder { disk, reverse, shuffled };
    Format format = Format::raw;
    bool gpt = false;
    std::string partition_name = "disk image"; // GPT name of the HFS+ partition
    std::optional<ExtraPartition> extra;
    // UDIF
    Encoding encoding = Encoding::zlib;
    uint32_t chunk_sectors = 2048;
    bool zero_as_ignore = false;  // all-zero file-system chunks as ignore runs
    bool table_offsets = false;   // run offsets counted from each table's data offset
    bool reverse_storage = false; // runs stored last to first in the data fork
    bool data_checksum = true;
    // sparseimage, sparsebundle
    std::optional<uint64_t> band_size; // bytes
    BandOrder band_order = BandOrder::shuffled;
    bool trim_bands = false;
};

struct Manifest {
    Volume volume;
    Container container;
    Item root; // the root folder; its name is the volume name
};

// Reads and checks a manifest. Relative file paths are resolved against base_dir.
// Throws ManifestError with a message naming the offending place.
Manifest load_manifest(const std::filesystem::path& path);
Manifest parse_manifest(std::string_view json_text, const std::filesystem::path& base_dir);

struct ManifestError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

} // namespace mkhfs
