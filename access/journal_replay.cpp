// The journal walk, the replay overlay and the names of journaled blocks.
#include "access/journal_replay.h"

#include "libhfs/byte_order.h"
#include "libhfs/libhfs.h"

#include <algorithm>
#include <cerrno>
#include <map>
#include <new>

namespace {

constexpr uint64_t header_offset = 1024;
constexpr size_t checksum_chunk = 65536;

// The journal's bytes: offsets from its start, wrapping around its circular
// area [unit, size).
struct journal_bytes {
    const hfs_range_reader& read;
    uint64_t at = 0; // the journal's start, from the partition's start
    uint64_t unit = 0;
    uint64_t size = 0;

    uint64_t wrap(uint64_t offset) const {
        return offset >= size ? unit + (offset - size) % (size - unit) : offset;
    }
    // Reads `length` bytes (at most the circular area) at `offset`.
    int get(uint8_t* dst, uint64_t length, uint64_t offset) const {
        offset = wrap(offset);
        while (length != 0) {
            const uint64_t piece = std::min(length, size - offset);
            if (int err = read(dst, static_cast<size_t>(piece), at + offset)) return err;
            dst += piece;
            length -= piece;
            offset = unit;
        }
        return 0;
    }
};

// Why a list ended the walk.
enum class verdict { accepted, stop, damage };

std::string at_text(uint64_t offset) {
    return "the block list at journal offset " + std::to_string(offset);
}

struct walker {
    walker(const journal_bytes& bytes, uint64_t limit, hfs_journal_scan& scan)
        : j(bytes), h(scan.header), device_limit(limit), out(scan), header_bytes(h.blhdr_size) {}

    const journal_bytes& j;
    const hfslib::journal_header& h;
    uint64_t device_limit; // block ranges must end at or before it
    hfs_journal_scan& out;

    std::vector<uint8_t> header_bytes;
    std::vector<uint8_t> chunk;
    hfs_journal_transaction pending;
    uint32_t last = 0; // sequence number of the last accepted list
    bool any = false;

    void commit() {
        if (!pending.lists.empty()) out.transactions.push_back(std::move(pending));
        pending = {};
    }

    // The data checksum of a block, read in pieces.
    bool block_checksum_ok(const hfs_journal_block& b, std::string& why) {
        chunk.resize(checksum_chunk);
        uint32_t c = 0;
        for (uint64_t done = 0; done < b.size;) {
            const uint64_t piece = std::min<uint64_t>(checksum_chunk, b.size - done);
            if (j.get(chunk.data(), piece, b.data_offset + done) != 0) {
                why = "its data cannot be read";
                return false;
            }
            for (uint64_t i = 0; i < piece; ++i) c = (c << 8) ^ (c + chunk[i]);
            done += piece;
        }
        if (~c == b.cksum) return true;
        why = "the data of its block " + std::to_string(b.bnum) + " fails its checksum";
        return false;
    }

    // Reads and checks the list at `offset`, of at most `room` bytes.
    verdict take(uint64_t offset, uint64_t room, bool past_end, hfs_journal_list& list,
                 bool& trusted, std::string& why) {
        trusted = false;
        list.offset = offset;
        if (room < h.blhdr_size) {
            why = past_end ? "the journal's free space ends" : "a block list runs past `end`";
            return past_end ? verdict::stop : verdict::damage;
        }
        if (j.get(header_bytes.data(), h.blhdr_size, offset) != 0) {
            why = "it cannot be read";
            return verdict::damage;
        }
        list.header = hfslib::parse_journal_list(header_bytes, h.swapped);
        const hfslib::journal_list& l = list.header;
        if (!l.checksum_ok) {
            why = past_end ? "its checksum does not match (free space or old data)"
                           : "its header's checksum does not match";
            return past_end ? verdict::stop : verdict::damage;
        }
        trusted = true;
        const uint32_t s = l.sequence_num;
        if (past_end && (s != last && s != last + 1)) {
            why = "its sequence number " + std::to_string(s) + " does not follow " +
                  std::to_string(last);
            return verdict::stop;
        }
        if (any && last != 0 && s != 0 && s != last && s != last + 1) {
            why = "its sequence number " + std::to_string(s) + " is out of order after " +
                  std::to_string(last);
            return verdict::damage;
        }
        if (const char* bad = hfslib::check_journal_list(l, h)) {
            why = bad;
            return verdict::damage;
        }
        uint64_t data = 0;
        try {
            list.blocks.reserve(l.num_blocks - 1u);
        } catch (const std::bad_alloc&) {
            why = "memory is short";
            return verdict::damage;
        }
        for (size_t i = 1; i < l.num_blocks; ++i) {
            const hfslib::journal_block b = hfslib::journal_list_block(header_bytes, h.swapped, i);
            hfs_journal_block block{b.bnum, 0, b.bsize, b.cksum, 0};
            if (b.bsize == 0 || b.bsize % h.jhdr_size != 0 || b.bsize > h.size) {
                why =
                    "its block " + std::to_string(i) + " has a bad size " + std::to_string(b.bsize);
                return verdict::damage;
            }
            if (!block.killed()) {
                uint64_t end = 0;
                if (b.bnum < 0 ||
                    __builtin_mul_overflow(static_cast<uint64_t>(b.bnum), h.jhdr_size,
                                           &block.device_offset) ||
                    __builtin_add_overflow(block.device_offset, b.bsize, &end) ||
                    end > device_limit) {
                    why = "its block " + std::to_string(i) + " has a bad block number " +
                          std::to_string(b.bnum);
                    return verdict::damage;
                }
            }
            block.data_offset = j.wrap(offset + h.blhdr_size + data);
            data += b.bsize;
            if (data > l.bytes_used) break; // refused below
            list.blocks.push_back(block);
        }
        if (data + h.blhdr_size != l.bytes_used) {
            why = "its length (bytes_used " + std::to_string(l.bytes_used) +
                  ") is not its header and blocks";
            return verdict::damage;
        }
        if (l.bytes_used > room) {
            why = past_end ? "it would run into the oldest transaction"
                           : "it runs past the header's `end`";
            return verdict::damage;
        }
        if (l.flags & hfslib::blhdr_check_checksums) {
            for (const hfs_journal_block& b : list.blocks)
                if (!b.killed() && b.cksum != 0 && !block_checksum_ok(b, why))
                    return verdict::damage;
        }
        return verdict::accepted;
    }

    void run() {
        const uint64_t area = h.size - h.jhdr_size;
        uint64_t at = h.start;
        uint64_t consumed = 0;
        bool past_end = false;
        for (;;) {
            if (!past_end && at == h.end && consumed != 0) {
                if (last == 0) {
                    out.stop_offset = at;
                    out.stop_reason = "sequence numbers are not in use, so nothing past the "
                                      "header's end is replayed";
                    break;
                }
                past_end = true;
            }
            const uint64_t room = past_end ? area - consumed : (h.end + area - at) % area;
            hfs_journal_list list;
            bool trusted = false;
            std::string why;
            const verdict v = take(at, room, past_end, list, trusted, why);
            out.stop_offset = at;
            if (v == verdict::stop) {
                out.stop_reason = "the block list there ends the journal: " + why;
                break;
            }
            const hfslib::journal_list& l = list.header;
            const bool starts =
                trusted && (pending.lists.empty() || (l.flags & hfslib::blhdr_first_header) ||
                            (last != 0 && l.sequence_num == last + 1));
            if (v == verdict::damage) {
                // The damaged list's transaction goes, with what was read of it.
                if (starts) commit();
                out.damaged = true;
                out.dropped = std::move(pending.lists);
                pending = {};
                if (!trusted) list.blocks.clear();
                out.dropped.push_back(std::move(list));
                out.dropped_reason = at_text(at) + " is damaged: " + why;
                out.stop_reason = out.dropped_reason;
                return;
            }
            if (starts) commit();
            if (pending.lists.empty()) {
                pending.sequence_num = l.sequence_num;
                pending.past_end = past_end;
            }
            last = l.sequence_num;
            any = true;
            pending.lists.push_back(std::move(list));
            consumed += l.bytes_used;
            at = j.wrap(at + l.bytes_used);
            if (past_end && consumed >= area) {
                out.stop_offset = at;
                out.stop_reason = "the walk came back to the header's `start`";
                break;
            }
        }
        commit();
    }
};

} // namespace

size_t hfs_journal_scan::block_count() const {
    size_t n = 0;
    for (const hfs_journal_transaction& t : transactions)
        for (const hfs_journal_list& l : t.lists)
            for (const hfs_journal_block& b : l.blocks) n += b.killed() ? 0 : 1;
    return n;
}

bool hfs_journal_scan::past_end() const {
    return !transactions.empty() && transactions.back().past_end;
}

hfs_journal_scan hfs_scan_journal(const hfs_range_reader& read) {
    hfs_journal_scan out;
    uint8_t vh_bytes[512];
    if (read(vh_bytes, sizeof vh_bytes, header_offset) != 0) return out;
    hfslib_vheader vh{};
    if (vh_bytes[0] == 0x42 && vh_bytes[1] == 0x44) {
        hfslib_mdb mdb{};
        hfslib_parse_mdb(vh_bytes, &mdb);
        if (mdb.embed_signature != HFSLIB_SIG_HFSPLUS) return out;
        out.embedded_offset = uint64_t{mdb.first_alloc_block} * 512 +
                              uint64_t{mdb.alloc_block_size} * mdb.embed_start_block;
        if (read(vh_bytes, sizeof vh_bytes, out.embedded_offset + header_offset) != 0) return out;
    }
    hfslib_parse_vheader(vh_bytes, &vh);
    if ((vh.signature != HFSLIB_SIG_HFSPLUS && vh.signature != HFSLIB_SIG_HFSX) ||
        !(vh.attributes & HFSLIB_VOL_JOURNALED) || vh.block_size == 0)
        return out;
    out.volume_block_size = vh.block_size;
    out.info_block = vh.journal_info_block;
    const uint64_t volume_size = uint64_t{vh.block_size} * vh.total_blocks;
    auto unusable = [&out](std::string why) {
        out.state = hfs_journal_state::unusable;
        out.problem = std::move(why);
        return std::move(out);
    };

    uint8_t info_bytes[hfslib::jinfo_size];
    const uint64_t info_at = uint64_t{vh.block_size} * vh.journal_info_block;
    if (info_at + sizeof info_bytes > volume_size ||
        read(info_bytes, sizeof info_bytes, out.embedded_offset + info_at) != 0)
        return unusable("the journal info block cannot be read");
    hfslib::parse_journal_info(info_bytes, out.info);
    if (out.info.flags & hfslib::jinfo_on_other_device)
        return unusable("the journal is on another device, which is not part of this image");
    if (out.info.flags & hfslib::jinfo_need_init)
        return unusable("the journal was never initialised (its info block says it needs "
                        "initialising): there is nothing to replay");
    if (!(out.info.flags & hfslib::jinfo_in_fs))
        return unusable("the journal info block does not place the journal in this volume");
    if (out.info.offset >= volume_size) return unusable("the journal lies outside the volume");

    uint8_t header_bytes[hfslib::journal_header_size];
    if (read(header_bytes, sizeof header_bytes, out.embedded_offset + out.info.offset) != 0)
        return unusable("the journal header cannot be read");
    if (const char* bad = hfslib::parse_journal_header(header_bytes, out.info.size,
                                                       volume_size - out.info.offset, out.header))
        return unusable(bad);
    out.header_read = true;
    if (out.header.start == out.header.end) {
        out.state = hfs_journal_state::clean;
        return out;
    }

    const journal_bytes j{read, out.embedded_offset + out.info.offset, out.header.jhdr_size,
                          out.header.size};
    walker w(j, out.embedded_offset + volume_size, out);
    w.run();
    if (out.transactions.empty())
        return unusable("nothing can be replayed: " +
                        (out.dropped_reason.empty() ? out.stop_reason : out.dropped_reason));
    out.state = hfs_journal_state::dirty;
    return out;
}

// --- the overlay ---

std::unique_ptr<hfs_journal_overlay> hfs_journal_overlay::build(const hfs_journal_scan& scan,
                                                                uint64_t base) {
    std::unique_ptr<hfs_journal_overlay> overlay(new (std::nothrow) hfs_journal_overlay);
    if (!overlay) return nullptr;
    const hfslib::journal_header& h = scan.header;
    overlay->journal_start_ = base + scan.embedded_offset + scan.info.offset;
    overlay->journal_size_ = h.size;
    overlay->unit_ = h.jhdr_size;
    const uint64_t area = h.size - h.jhdr_size;
    auto advance = [&](uint64_t journal, uint64_t by) {
        const uint64_t o = journal + by;
        return o >= h.size ? h.jhdr_size + (o - h.size) % area : o;
    };
    try {
        // Device start -> {end, journal offset}; each write replaces what it
        // overlaps, cutting the ranges it meets partly.
        std::map<uint64_t, std::pair<uint64_t, uint64_t>> map;
        for (const hfs_journal_transaction& t : scan.transactions)
            for (const hfs_journal_list& l : t.lists)
                for (const hfs_journal_block& b : l.blocks) {
                    if (b.killed()) continue;
                    const uint64_t start = base + b.device_offset, end = start + b.size;
                    auto it = map.lower_bound(start);
                    if (it != map.begin()) {
                        auto before = std::prev(it);
                        const uint64_t before_end = before->second.first;
                        if (before_end > start) {
                            before->second.first = start;
                            if (before_end > end)
                                map[end] = {before_end,
                                            advance(before->second.second, end - before->first)};
                        }
                    }
                    it = map.lower_bound(start);
                    while (it != map.end() && it->first < end) {
                        const auto [seg_end, seg_journal] = it->second;
                        const uint64_t seg_start = it->first;
                        it = map.erase(it);
                        if (seg_end > end) {
                            map[end] = {seg_end, advance(seg_journal, end - seg_start)};
                            break;
                        }
                    }
                    map[start] = {end, b.data_offset};
                }
        overlay->segments_.reserve(map.size());
        for (const auto& [start, value] : map)
            overlay->segments_.push_back({start, value.first, value.second});
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
    if (!overlay->segments_.empty()) {
        overlay->min_start_ = overlay->segments_.front().start;
        overlay->max_end_ = overlay->segments_.back().end;
    }
    return overlay;
}

bool hfs_journal_overlay::touches_slow(uint64_t offset, uint64_t size) const {
    auto it = std::upper_bound(segments_.begin(), segments_.end(), offset,
                               [](uint64_t o, const segment& s) { return o < s.end; });
    return it != segments_.end() && it->start < offset + size;
}

int hfs_journal_overlay::patch(uint8_t* dst, uint64_t size, uint64_t offset,
                               const hfs_range_reader& raw) const {
    const uint64_t end = offset + size;
    auto it = std::upper_bound(segments_.begin(), segments_.end(), offset,
                               [](uint64_t o, const segment& s) { return o < s.end; });
    const journal_bytes j{raw, journal_start_, unit_, journal_size_};
    for (; it != segments_.end() && it->start < end; ++it) {
        const uint64_t from = std::max(offset, it->start), to = std::min(end, it->end);
        if (int err = j.get(dst + (from - offset), to - from, it->journal + (from - it->start)))
            return err;
    }
    return 0;
}

// --- what a block belongs to ---

hfs_block_owner::hfs_block_owner(const hfs_journal_scan& scan, const hfs_range_reader& read)
    : volume_start_(scan.embedded_offset), info_block_(scan.info_block),
      block_size_(scan.volume_block_size) {
    uint8_t vh_bytes[512];
    hfslib_vheader vh{};
    if (block_size_ == 0 || read(vh_bytes, sizeof vh_bytes, volume_start_ + header_offset) != 0)
        return;
    hfslib_parse_vheader(vh_bytes, &vh);
    volume_end_ = volume_start_ + uint64_t{vh.block_size} * vh.total_blocks;
    const struct {
        const char* name;
        const hfslib_fork* fork;
        bool tree;
    } forks[] = {{"allocation bitmap", &vh.allocation_file, false},
                 {"extents", &vh.extents_file, true},
                 {"catalog", &vh.catalog_file, true},
                 {"attributes", &vh.attributes_file, true}};
    for (const auto& f : forks) {
        file entry{f.name, 0, {}};
        for (const hfslib_extent& e : f.fork->extents)
            if (e.block_count != 0)
                entry.extents.push_back(
                    {volume_start_ + uint64_t{e.start_block} * vh.block_size,
                     volume_start_ + (uint64_t{e.start_block} + e.block_count) * vh.block_size});
        if (f.tree && !entry.extents.empty()) {
            uint8_t node[512];
            if (read(node, sizeof node, entry.extents.front().first) == 0)
                entry.node_size = hfslib::load_be16(node, 32);
        }
        files_.push_back(std::move(entry));
    }
}

hfs_block_owner::place hfs_block_owner::where(uint64_t device_offset, uint64_t size) const {
    const uint64_t in_volume = device_offset - volume_start_;
    if (device_offset >= volume_start_ && in_volume <= header_offset &&
        in_volume + size > header_offset)
        return {"volume header"};
    if (volume_end_ >= volume_start_ + header_offset &&
        device_offset < volume_end_ - header_offset &&
        device_offset + size > volume_end_ - header_offset)
        return {"alternate volume header"};
    if (block_size_ != 0 && device_offset >= volume_start_ &&
        in_volume / block_size_ == info_block_)
        return {"journal info block"};
    for (const file& f : files_) {
        uint64_t fork_offset = 0;
        for (const auto& [start, end] : f.extents) {
            if (device_offset >= start && device_offset < end) {
                const uint64_t within = fork_offset + (device_offset - start);
                if (f.node_size == 0) return {f.name};
                return {f.name, true, within / f.node_size, within % f.node_size, f.node_size};
            }
            fork_offset += end - start;
        }
    }
    return {"unknown"};
}

std::string hfs_block_owner::operator()(uint64_t device_offset, uint32_t size) const {
    const uint64_t step = block_size_ ? block_size_ : size;
    const place first = where(device_offset, std::min<uint64_t>(size, step));
    // Part of one node: which bytes.
    if (first.tree && first.in_node + size <= first.node_size && size < first.node_size)
        return first.name + " node " + std::to_string(first.node) + " (bytes " +
               std::to_string(first.in_node) + "-" + std::to_string(first.in_node + size - 1) + ")";
    // Block by block, runs of the same file joined: "catalog nodes 3-5,
    // allocation bitmap".
    std::string out;
    place run = first;
    uint64_t last_node = first.node;
    auto flush = [&] {
        out += out.empty() ? "" : ", ";
        out += run.name;
        if (run.tree)
            out += last_node > run.node
                       ? " nodes " + std::to_string(run.node) + "-" + std::to_string(last_node)
                       : " node " + std::to_string(run.node);
    };
    for (uint64_t at = device_offset + step; at < device_offset + size; at += step) {
        const place p = where(at, std::min<uint64_t>(step, device_offset + size - at));
        if (p.name == run.name && p.tree == run.tree) {
            last_node = p.node;
            continue;
        }
        flush();
        run = p;
        last_node = p.node;
    }
    flush();
    return out;
}
