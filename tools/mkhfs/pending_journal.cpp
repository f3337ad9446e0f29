// Journals with pending transactions: the blocks that differ between two
// builds of the volume, laid out as block lists the way macOS writes them,
// with the cases a reader must get right (both byte orders, several lists
// per transaction, killed entries, later writes overriding earlier ones of
// other sizes, wrap-around, transactions past the header's end, a stale list
// after the last one, a damaged last transaction).
#include "pending_journal.h"

#include "bytes.h"

#include <algorithm>
#include <fstream>
#include <iterator>
#include <stdexcept>

namespace mkhfs {

namespace {

constexpr uint32_t check_checksums = 0x1, first_header = 0x2;

Bytes read_file(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + path.string());
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

uint32_t be32(const Bytes& b, uint64_t at) {
    return uint32_t(b[at]) << 24 | uint32_t(b[at + 1]) << 16 | uint32_t(b[at + 2]) << 8 | b[at + 3];
}
uint64_t be64(const Bytes& b, uint64_t at) {
    return uint64_t(be32(b, at)) << 32 | be32(b, at + 4);
}

// Where a volume's metadata lives, in allocation blocks.
struct Layout {
    uint32_t bs = 0, total = 0, info_block = 0;
    uint64_t journal_offset = 0, journal_size = 0;
    std::vector<bool> meta, journal, used;

    explicit Layout(const Bytes& img) {
        if (img.size() < 1536) throw std::runtime_error("pending journal: volume too small");
        bs = be32(img, 1024 + 40);
        total = be32(img, 1024 + 44);
        info_block = be32(img, 1024 + 12);
        if (bs == 0 || uint64_t(bs) * total != img.size())
            throw std::runtime_error("pending journal: the volume must fill its image");
        meta.assign(total, false);
        journal.assign(total, false);
        used.assign(total, false);
        meta[1024 / bs] = meta[1535 / bs] = true;
        meta[(img.size() - 1024) / bs] = meta[(img.size() - 513) / bs] = true;
        Bytes bitmap;
        for (uint64_t fork : {112, 192, 272, 352}) {
            for (int e = 0; e < 8; ++e) {
                const uint64_t at = 1024 + fork + 16 + 8 * e;
                const uint32_t start = be32(img, at), count = be32(img, at + 4);
                for (uint32_t b = start; b < start + count && b < total; ++b) {
                    meta[b] = true;
                    if (fork == 112)
                        bitmap.insert(bitmap.end(), img.begin() + uint64_t(b) * bs,
                                      img.begin() + uint64_t(b + 1) * bs);
                }
            }
        }
        for (uint32_t b = 0; b < total && b / 8 < bitmap.size(); ++b)
            used[b] = bitmap[b / 8] & (0x80 >> (b % 8));
        const uint64_t info = uint64_t(info_block) * bs;
        journal_offset = be64(img, info + 36);
        journal_size = be64(img, info + 44);
        journal[info_block] = true;
        for (uint64_t b = journal_offset / bs; b < (journal_offset + journal_size) / bs; ++b)
            journal[b] = true;
    }
};

struct Entry {
    int64_t bnum = -1; // -1: killed
    Bytes data;
};

struct List {
    std::vector<Entry> entries;
    uint32_t flags = 0;
    uint32_t sequence = 0;
    std::string damage; // how this list is spoiled, or ""
};

// The journal's fields in its byte order.
struct Order {
    bool little;
    void put16(uint8_t* p, uint16_t v) const {
        if (little)
            p[0] = uint8_t(v), p[1] = uint8_t(v >> 8);
        else
            put_be16(p, v);
    }
    void put32(uint8_t* p, uint32_t v) const { little ? put_le32(p, v) : put_be32(p, v); }
    void put64(uint8_t* p, uint64_t v) const { little ? put_le64(p, v) : put_be64(p, v); }
};

// A list's header and data, as stored.
// A reader takes no list of more entries than the journal has units.
Bytes encode(const List& l, uint32_t blhdr_size, uint64_t units, const Order& o) {
    const uint16_t max_blocks = uint16_t(std::min<uint64_t>(blhdr_size / 16 - 1, units));
    if (l.entries.size() + 1 > max_blocks)
        throw std::runtime_error("pending journal: too many blocks for one list");
    Bytes out(blhdr_size, 0);
    uint64_t bytes = blhdr_size;
    for (const Entry& e : l.entries) bytes += e.data.size();
    o.put16(out.data(), max_blocks);
    o.put16(out.data() + 2, uint16_t(l.damage == "counts" ? max_blocks + 1 : l.entries.size() + 1));
    o.put32(out.data() + 4, uint32_t(bytes));
    const bool sums = (l.flags & check_checksums) != 0;
    o.put32(out.data() + 12, l.flags);
    o.put32(out.data() + 16 + 12, l.sequence);
    for (size_t i = 0; i < l.entries.size(); ++i) {
        const Entry& e = l.entries[i];
        uint8_t* p = out.data() + 16 + 16 * (i + 1);
        o.put64(p, uint64_t(l.damage == "block_number" && i == 0 ? -7 : e.bnum));
        o.put32(p + 8, uint32_t(e.data.size()));
        uint32_t sum = sums && e.bnum >= 0 ? journal_checksum(e.data) : 0;
        if (l.damage == "block_checksum" && i == 0) sum += 1;
        o.put32(p + 12, sum);
    }
    o.put32(out.data() + 8,
            journal_checksum(std::span(out).first(32)) + (l.damage == "header_checksum" ? 1 : 0));
    for (const Entry& e : l.entries) out.insert(out.end(), e.data.begin(), e.data.end());
    return out;
}

// `lists` copies of `entries` spread in turn (each list gets at least one).
std::vector<std::vector<Entry>> spread(const std::vector<Entry>& entries, size_t parts) {
    std::vector<std::vector<Entry>> out(parts);
    const size_t n = entries.size();
    for (size_t p = 0; p < parts; ++p) {
        for (size_t i = p * n / parts; i < (p + 1) * n / parts; ++i) out[p].push_back(entries[i]);
        if (out[p].empty()) out[p].push_back(entries[p % n]);
    }
    return out;
}

} // namespace

BuildSummary build_pending_journal(const Manifest& m, const std::filesystem::path& output) {
    const Journal& jr = *m.volume.journal;
    const Pending& p = *jr.pending;
    if (m.volume.wrapper) throw ManifestError("volume.journal.pending: not with a wrapper");

    // S1, then S0 in a volume of the same size.
    Manifest m1 = m;
    m1.volume.journal->pending.reset();
    m1.volume.journal->dirty = false;
    const std::filesystem::path s1_path = output.string() + ".s1.tmp",
                                s0_path = output.string() + ".s0.tmp";
    const BuildSummary summary = build_volume(m1, s1_path);
    Manifest m0 = m1;
    m0.root = p.before;
    m0.volume.size = summary.image_bytes;
    build_volume(m0, s0_path);
    const Bytes s1 = read_file(s1_path), s0 = read_file(s0_path);
    std::filesystem::remove(s1_path);
    std::filesystem::remove(s0_path);
    const Layout l1(s1), l0(s0);
    if (s0.size() != s1.size() || l0.journal_offset != l1.journal_offset)
        throw std::runtime_error("pending journal: the two states differ in layout");
    const uint64_t bs = l1.bs;

    // S0 on disk, with S1's file contents where S0 leaves blocks free.
    Bytes disk = s0;
    auto same = [&](uint64_t b) {
        return std::equal(disk.begin() + b * bs, disk.begin() + (b + 1) * bs, s1.begin() + b * bs);
    };
    for (uint64_t b = 0; b < l1.total; ++b) {
        if (!l1.used[b] || l1.meta[b] || l1.journal[b] || same(b)) continue;
        if (l0.used[b] || l0.meta[b])
            throw ManifestError("volume.journal.pending: S1's file data at block " +
                                std::to_string(b) +
                                " is used by S0; list the items S1 adds or changes last");
        std::copy_n(s1.begin() + b * bs, bs, disk.begin() + b * bs);
    }

    // The metadata blocks of S1 that differ, as journal entries of
    // jhdr_size units (runs of up to three blocks in one entry).
    const uint64_t unit = p.jhdr_size, step = std::max<uint64_t>(bs, unit);
    std::vector<Entry> changed;
    uint64_t last_end = 0;
    for (uint64_t b = 0; b < l1.total; ++b) {
        if (!l1.meta[b] || same(b)) continue;
        const uint64_t from = b * bs / step * step;
        if (from < last_end) continue;
        uint64_t to = from + step;
        while (to < s1.size() && to - from < 3 * step && l1.meta[to / bs] &&
               !std::equal(disk.begin() + to, disk.begin() + to + step, s1.begin() + to))
            to += step;
        changed.push_back({int64_t(from / unit), Bytes(s1.begin() + from, s1.begin() + to)});
        last_end = to;
    }
    if (changed.empty()) throw ManifestError("volume.journal.pending: S0 and S1 are the same");

    // The transactions, in journal order.
    const Bytes garbage_block(step, 0xEE);
    auto garbage = [&](uint64_t bytes) { return Bytes(bytes, 0xEE); };
    std::vector<std::vector<List>> transactions;
    auto add = [&](const std::vector<Entry>& entries, uint32_t lists) {
        std::vector<List> t;
        for (auto& part : spread(entries, lists)) {
            List l;
            l.entries = part;
            if (p.killed) l.entries.insert(l.entries.begin() + 1, Entry{-1, garbage_block});
            t.push_back(std::move(l));
        }
        transactions.push_back(std::move(t));
    };
    const Entry& first = changed.front();
    const uint64_t first_end = uint64_t(first.bnum) * unit + first.data.size();
    if (p.overridden) // garbage over the first entry and one unit more
        add({Entry{first.bnum, garbage(first.data.size() + step)}}, 1);
    std::vector<Entry> regular = changed;
    for (size_t t = 0; t < p.transactions; ++t) {
        std::vector<Entry> mine;
        const size_t n = regular.size();
        for (size_t i = t * n / p.transactions; i < (t + 1) * n / p.transactions; ++i)
            mine.push_back(regular[i]);
        if (mine.empty()) mine.push_back(regular[t % n]);
        if (p.overridden && t + 1 == p.transactions) // what the garbage covered past it
            mine.push_back({int64_t(first_end / unit),
                            Bytes(s1.begin() + first_end, s1.begin() + first_end + step)});
        add(mine, p.lists);
    }
    const size_t before_end = transactions.size() - p.past_end;
    if (p.damaged == "first") {
        transactions.front().front().damage = "header_checksum";
    } else if (!p.damaged.empty()) { // a last transaction of two lists, the second damaged
        add({Entry{first.bnum, garbage(first.data.size())}}, 2);
        transactions.back().back().damage = p.damaged;
        if (p.damaged == "block_checksum") transactions.back().back().flags |= check_checksums;
    }
    uint32_t sequence = p.sequence;
    for (auto& t : transactions) {
        for (List& l : t) {
            l.sequence = sequence;
            if (p.checksums) l.flags |= check_checksums;
        }
        t.front().flags |= first_header;
        if (sequence != 0) ++sequence;
    }
    // A stale list after them: its checksum holds, its sequence number is old.
    List stale;
    stale.entries = {Entry{first.bnum, garbage(first.data.size())}};
    stale.flags = first_header;
    stale.sequence = p.sequence > 3 ? p.sequence - 3 : 0;

    // Laid out in the circular area [unit, size).
    const uint32_t blhdr_size = uint32_t(std::max<uint64_t>(4096, unit));
    const Order order{jr.little_endian};
    std::vector<Bytes> encoded;
    size_t end_index = 0;
    for (size_t t = 0; t < transactions.size(); ++t) {
        if (t == (p.damaged.empty() || p.damaged == "first" ? before_end : transactions.size()))
            end_index = encoded.size();
        for (const List& l : transactions[t])
            encoded.push_back(encode(l, blhdr_size, jr.size / unit, order));
    }
    if (end_index == 0) end_index = encoded.size();
    encoded.push_back(encode(stale, blhdr_size, jr.size / unit, order));
    uint64_t written = 0;
    for (const Bytes& e : encoded) written += e.size();
    const uint64_t size = jr.size, area = size - unit;
    if (written + unit >= area)
        throw ManifestError("volume.journal.size: too small for the pending transactions (" +
                            std::to_string(written) + " bytes)");
    const uint64_t start = p.wrap ? size - (written / 2) / unit * unit : unit;
    uint8_t* journal = disk.data() + l1.journal_offset;
    std::fill(journal, journal + size, 0);
    uint64_t at = start, end = 0;
    for (size_t i = 0; i < encoded.size(); ++i) {
        if (i == end_index) end = at;
        for (uint8_t byte : encoded[i]) {
            journal[at] = byte;
            if (++at == size) at = unit;
        }
    }
    uint32_t last_sequence = 0;
    for (size_t t = 0, lists = 0; t < transactions.size() && lists < end_index; ++t) {
        last_sequence = transactions[t].front().sequence;
        lists += transactions[t].size();
    }

    Bytes hdr(unit, 0);
    order.put32(hdr.data(), 0x4A4E4C78);
    order.put32(hdr.data() + 4, 0x12345678);
    order.put64(hdr.data() + 8, start);
    order.put64(hdr.data() + 16, end);
    order.put64(hdr.data() + 24, size);
    order.put32(hdr.data() + 32, blhdr_size);
    order.put32(hdr.data() + 40, uint32_t(unit));
    order.put32(hdr.data() + 44, last_sequence);
    order.put32(hdr.data() + 36, journal_checksum(std::span(hdr).first(44)));
    std::copy(hdr.begin(), hdr.end(), journal);

    std::ofstream out(output, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(disk.data()), std::streamsize(disk.size()));
    if (!out.flush()) throw std::runtime_error("cannot write " + output.string());
    return summary;
}

} // namespace mkhfs
