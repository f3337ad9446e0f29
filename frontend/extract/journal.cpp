// quorvel-extract VOLUME journal [--json]: the journal header, each pending
// transaction (sequence number, block lists, each block's place on the
// device, its size and what it belongs to) and where a replay would stop and
// why. The volume is not mounted: a dirty journal is shown, not refused.
#include "frontend/extract/extract.h"

#include "access/device.h"
#include "access/journal_replay.h"

#include <cinttypes>
#include <cstdio>
#include <string>
#include <string_view>

namespace {

const char* state_name(hfs_journal_state state) {
    switch (state) {
    case hfs_journal_state::none:
        return "none";
    case hfs_journal_state::clean:
        return "clean";
    case hfs_journal_state::dirty:
        return "dirty";
    case hfs_journal_state::unusable:
        return "unusable";
    }
    return "none";
}

// `text` as a JSON string.
std::string json_string(std::string_view text) {
    std::string out = "\"";
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20) {
            char code[8];
            std::snprintf(code, sizeof code, "\\u%04x", c);
            out += code;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

std::string flags_text(uint32_t flags) {
    std::string out;
    if (flags & hfslib::blhdr_first_header) out += ", first list of its transaction";
    if (flags & hfslib::blhdr_check_checksums) out += ", block checksums";
    return out;
}

void print_list_text(const hfs_journal_list& l, const hfs_block_owner& owner) {
    const hfslib::journal_list& h = l.header;
    std::printf("  block list at journal offset %" PRIu64 ": %u of %u entries, %" PRIu32
                " bytes, flags 0x%" PRIx32 "%s\n",
                l.offset, h.num_blocks, h.max_blocks, h.bytes_used, h.flags,
                flags_text(h.flags).c_str());
    for (const hfs_journal_block& b : l.blocks) {
        if (b.killed()) {
            std::printf("    killed entry, %" PRIu32 " bytes of data stepped over\n", b.size);
            continue;
        }
        std::printf("    block %" PRId64 ": device offset %" PRIu64 ", %" PRIu32 " bytes: %s\n",
                    b.bnum, b.device_offset, b.size, owner(b.device_offset, b.size).c_str());
    }
}

std::string list_json(const hfs_journal_list& l, const hfs_block_owner& owner) {
    const hfslib::journal_list& h = l.header;
    std::string out = "{\"offset\": " + std::to_string(l.offset) +
                      ", \"flags\": " + std::to_string(h.flags) +
                      ", \"max_blocks\": " + std::to_string(h.max_blocks) +
                      ", \"num_blocks\": " + std::to_string(h.num_blocks) +
                      ", \"bytes_used\": " + std::to_string(h.bytes_used) +
                      ", \"sequence_num\": " + std::to_string(h.sequence_num) + ", \"blocks\": [";
    for (size_t i = 0; i < l.blocks.size(); ++i) {
        const hfs_journal_block& b = l.blocks[i];
        out += i ? ", " : "";
        out += "{\"bnum\": " + std::to_string(b.bnum) + ", \"size\": " + std::to_string(b.size) +
               ", \"killed\": " + (b.killed() ? "true" : "false");
        if (!b.killed())
            out += ", \"device_offset\": " + std::to_string(b.device_offset) +
                   ", \"belongs_to\": " + json_string(owner(b.device_offset, b.size));
        out += "}";
    }
    return out + "]}";
}

void print_json(const hfs_journal_scan& scan, const hfs_block_owner& owner) {
    const hfslib::journal_header& h = scan.header;
    std::printf("{\"state\": \"%s\", \"problem\": %s", state_name(scan.state),
                json_string(scan.problem).c_str());
    if (scan.state != hfs_journal_state::none)
        std::printf(", \"info\": {\"block\": %" PRIu32 ", \"flags\": %" PRIu32
                    ", \"offset\": %" PRIu64 ", \"size\": %" PRIu64 "}",
                    scan.info_block, scan.info.flags, scan.info.offset, scan.info.size);
    if (scan.header_read)
        std::printf(", \"header\": {\"magic\": %" PRIu32 ", \"byte_order\": \"%s\", \"start\": "
                    "%" PRIu64 ", \"end\": %" PRIu64 ", \"size\": %" PRIu64
                    ", \"blhdr_size\": %" PRIu32 ", \"jhdr_size\": %" PRIu32
                    ", \"sequence_num\": %" PRIu32 "}",
                    h.magic, h.swapped ? "little" : "big", h.start, h.end, h.size, h.blhdr_size,
                    h.jhdr_size, h.sequence_num);
    std::printf(", \"transactions\": [");
    for (size_t i = 0; i < scan.transactions.size(); ++i) {
        const hfs_journal_transaction& t = scan.transactions[i];
        std::printf("%s{\"sequence_num\": %" PRIu32 ", \"past_end\": %s, \"lists\": [",
                    i ? ", " : "", t.sequence_num, t.past_end ? "true" : "false");
        for (size_t k = 0; k < t.lists.size(); ++k)
            std::printf("%s%s", k ? ", " : "", list_json(t.lists[k], owner).c_str());
        std::printf("]}");
    }
    std::printf("], \"stop\": {\"offset\": %" PRIu64 ", \"reason\": %s, \"damaged\": %s}, "
                "\"dropped\": [",
                scan.stop_offset, json_string(scan.stop_reason).c_str(),
                scan.damaged ? "true" : "false");
    for (size_t k = 0; k < scan.dropped.size(); ++k)
        std::printf("%s%s", k ? ", " : "", list_json(scan.dropped[k], owner).c_str());
    std::printf("]}\n");
}

void print_text(const char* volume, const hfs_journal_scan& scan, const hfs_block_owner& owner) {
    const std::string name = printable(volume);
    if (scan.state == hfs_journal_state::none) {
        std::printf("%s: not a journaled HFS+ volume\n", name.c_str());
        return;
    }
    std::printf("%s: journal info block at allocation block %" PRIu32 ", flags 0x%" PRIx32
                "; journal at byte %" PRIu64 " of the volume, %" PRIu64 " bytes\n",
                name.c_str(), scan.info_block, scan.info.flags, scan.info.offset, scan.info.size);
    if (scan.header_read) {
        const hfslib::journal_header& h = scan.header;
        std::printf("header: %s, %s-endian, start %" PRIu64 ", end %" PRIu64 ", size %" PRIu64
                    ", block size (jhdr_size) %" PRIu32 ", block-list size %" PRIu32
                    ", sequence number %" PRIu32 "\n",
                    h.magic == hfslib::journal_magic ? "JNLx" : "JHDR",
                    h.swapped ? "little" : "big", h.start, h.end, h.size, h.jhdr_size, h.blhdr_size,
                    h.sequence_num);
    }
    switch (scan.state) {
    case hfs_journal_state::clean:
        std::printf("clean: nothing to replay\n");
        return;
    case hfs_journal_state::unusable:
        std::printf("dirty, and nothing can be replayed: %s\n", scan.problem.c_str());
        break;
    default:
        std::printf("dirty: %zu transactions (%zu blocks) to replay\n", scan.transactions.size(),
                    scan.block_count());
        break;
    }
    for (size_t i = 0; i < scan.transactions.size(); ++i) {
        const hfs_journal_transaction& t = scan.transactions[i];
        std::printf("transaction %zu: sequence number %" PRIu32 "%s\n", i + 1, t.sequence_num,
                    t.past_end ? " (past the header's end)" : "");
        for (const hfs_journal_list& l : t.lists) print_list_text(l, owner);
    }
    if (!scan.stop_reason.empty())
        std::printf("replay stops at journal offset %" PRIu64 "%s: %s\n", scan.stop_offset,
                    scan.stop_offset == scan.header.end ? " (the header's end)" : "",
                    scan.stop_reason.c_str());
    if (!scan.dropped.empty()) {
        std::printf("dropped (damaged transaction):\n");
        for (const hfs_journal_list& l : scan.dropped) print_list_text(l, owner);
    }
}

} // namespace

int command_journal(const hfs_options& options, const std::vector<std::string>& args) {
    const bool json = args.size() == 1 && args[0] == "--json";
    if (!args.empty() && !json) {
        std::fputs("quorvel-extract: journal takes no arguments but --json\n", stderr);
        return 1;
    }
    const hfslib_hooks hooks = hfs_device_hooks();
    hfslib_setup(&hooks);
    hfs_options reading = options;
    reading.replay = 0;
    hfslib_cbctx ctx;
    hfslib_clear_cbctx(&ctx);
    ctx.open_arg = &reading;
    hfslib_vol vol{};
    if (hfs_open_device(&vol, options.volume, &ctx) != 0) {
        std::perror("Couldn't open volume");
        return 1;
    }
    hfs_device& dev = *hfs_get_device(&vol);
    const hfs_journal_scan& scan = dev.journal;
    // Blocks are named after the volume as the replay leaves it (a B-tree
    // may have grown or moved).
    const uint64_t base = dev.base_offset;
    const std::unique_ptr<hfs_journal_overlay> overlay =
        scan.state == hfs_journal_state::dirty ? hfs_journal_overlay::build(scan, base) : nullptr;
    const hfs_range_reader stored = [&dev](uint8_t* buf, size_t size, uint64_t offset) {
        return hfs_read_stored(dev, buf, size, offset);
    };
    const hfs_block_owner owner(scan, [&](uint8_t* buf, size_t size, uint64_t offset) {
        const uint64_t at = base + offset;
        int err = hfs_read_stored(dev, buf, size, at);
        if (err == 0 && overlay && overlay->touches(at, size))
            err = overlay->patch(buf, size, at, stored);
        return err;
    });
    if (json)
        print_json(scan, owner);
    else
        print_text(options.volume, scan, owner);
    const int status = scan.state == hfs_journal_state::none ? 1 : 0;
    hfs_close_device(&vol, nullptr);
    hfslib_teardown();
    return status;
}
