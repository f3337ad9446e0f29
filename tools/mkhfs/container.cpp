#include "container.h"

#include "codecs.h"
#include "image_file.h"

#include <zlib.h>

#include <algorithm>
#include <fstream>
#include <stdexcept>

namespace mkhfs {

namespace {

namespace fs = std::filesystem;

constexpr uint32_t run_zero = 0, run_raw = 1, run_ignore = 2, run_zlib = 0x80000005,
                   run_bzip2 = 0x80000006, run_lzma = 0x80000008, run_end = 0xFFFFFFFF;

uint64_t splitmix64(uint64_t x) {
    x += 0x9E3779B97F4A7C15ULL;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ULL;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBULL;
    return x ^ (x >> 31);
}

uint32_t crc_update(uint32_t crc, std::span<const uint8_t> b) {
    return uint32_t(crc32(crc, b.data(), uInt(b.size())));
}

// The CRC-32 of crc's bytes followed by n zero bytes (n a multiple of 512),
// without running over them: large zero areas cost nothing.
uint32_t crc_zeros(uint32_t crc, uint64_t n) {
    static const uint8_t zero[512] = {};
    uLong piece = crc32(crc32(0, nullptr, 0), zero, 512);
    for (uint64_t k = n / 512, len = 512; k; k >>= 1, len *= 2) {
        if (k & 1) crc = uint32_t(crc32_combine(crc, piece, z_off_t(len)));
        piece = crc32_combine(piece, piece, z_off_t(len));
    }
    return crc;
}

std::string xml_escape(const std::string& s) {
    std::string out;
    for (char ch : s) {
        if (ch == '&')
            out += "&amp;";
        else if (ch == '<')
            out += "&lt;";
        else if (ch == '>')
            out += "&gt;";
        else
            out += ch;
    }
    return out;
}

// Standard base64, broken into lines the way Apple's plist writer does.
std::string base64_lines(std::span<const uint8_t> in, const std::string& indent) {
    static const char alphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string flat;
    for (size_t i = 0; i < in.size(); i += 3) {
        uint32_t v = uint32_t(in[i]) << 16;
        if (i + 1 < in.size()) v |= uint32_t(in[i + 1]) << 8;
        if (i + 2 < in.size()) v |= in[i + 2];
        flat += alphabet[(v >> 18) & 63];
        flat += alphabet[(v >> 12) & 63];
        flat += i + 1 < in.size() ? alphabet[(v >> 6) & 63] : '=';
        flat += i + 2 < in.size() ? alphabet[v & 63] : '=';
    }
    std::string out;
    for (size_t i = 0; i < flat.size(); i += 52) out += indent + flat.substr(i, 52) + "\n";
    return out;
}

const char* plist_head = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                         "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
                         "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
                         "<plist version=\"1.0\">\n";

// ---------------------------------------------------------------- plain disk

ContainerSummary write_raw(const Disk& disk, const fs::path& output) {
    ImageFile img(output);
    img.set_size(disk.bytes());
    Bytes buf;
    for (uint64_t at = 0; at < disk.bytes(); at += buf.size()) {
        buf.resize(size_t(std::min<uint64_t>(1 << 20, disk.bytes() - at)));
        if (!disk.hole(at, buf.size()) && !disk.read(at, buf)) img.write(at, buf);
    }
    img.finish();
    return {disk.bytes(), 0};
}

// ---------------------------------------------------------------- UDIF

struct Run {
    uint32_t type = 0;
    uint64_t first = 0, count = 0;   // sectors, relative to the table
    uint64_t offset = 0, length = 0; // stored bytes, relative to the table's data offset
};

struct Table {
    const DiskArea* area = nullptr;
    std::vector<Run> runs;
    uint64_t base = 0; // data offset of the table
    uint64_t end = 0;  // end of its last stored run, relative to base
    uint32_t crc = 0;
    bool compressed = false;
};

bool stored(uint32_t type) {
    return type != run_zero && type != run_ignore;
}

Bytes encode_run(Container::Encoding e, std::span<const uint8_t> in) {
    switch (e) {
    case Container::Encoding::raw:
        return Bytes(in.begin(), in.end());
    case Container::Encoding::zlib:
        return zlib_encode(in);
    case Container::Encoding::bzip2:
        return bzip2_encode(in);
    case Container::Encoding::lzma:
        return xz_encode(in);
    }
    return {};
}

uint32_t run_type(Container::Encoding e) {
    switch (e) {
    case Container::Encoding::raw:
        return run_raw;
    case Container::Encoding::zlib:
        return run_zlib;
    case Container::Encoding::bzip2:
        return run_bzip2;
    case Container::Encoding::lzma:
        return run_lzma;
    }
    return run_raw;
}

Bytes mish(const Table& t, uint32_t index, bool partitioned, uint32_t chunk_sectors) {
    Bytes b;
    Writer w(b);
    w.text("mish");
    w.be32(1);
    w.be64(t.area->first);
    w.be64(t.area->count);
    w.be64(t.base);
    w.be32(t.compressed ? chunk_sectors + 8 : 0); // buffers needed
    w.be32(partitioned ? index : 0xFFFFFFFE);     // block descriptor
    w.zeros(24);
    w.be32(2); // CRC-32
    w.be32(32);
    w.be32(t.crc);
    w.zeros(124);
    w.be32(uint32_t(t.runs.size() + 1));
    for (const Run& r : t.runs) {
        w.be32(r.type);
        w.be32(0);
        w.be64(r.first);
        w.be64(r.count);
        w.be64(r.offset);
        w.be64(r.length);
    }
    w.be32(run_end);
    w.be32(0);
    w.be64(t.area->count);
    w.be64(0);
    w.be64(t.end);
    w.be64(0);
    return b;
}

ContainerSummary write_udif(const Container& c, const Disk& disk, const fs::path& output) {
    const uint64_t chunk = c.chunk_sectors;
    std::vector<Table> tables;
    Bytes buf;
    uint64_t run_count = 0;

    // Runs and checksums, in disk order. Ignore runs add nothing to the CRC.
    for (const DiskArea& a : disk.areas()) {
        Table t;
        t.area = &a;
        t.crc = crc_update(0, {});
        if (a.free) {
            t.runs.push_back({run_ignore, 0, a.count, 0, 0});
        } else {
            for (uint64_t s = 0; s < a.count; s += chunk) {
                const uint64_t n = std::min(chunk, a.count - s), at = (a.first + s) * 512;
                bool zero = disk.hole(at, n * 512);
                if (!zero) {
                    buf.resize(size_t(n * 512));
                    zero = disk.read(at, buf);
                }
                uint32_t type = run_type(c.encoding);
                if (zero) type = c.zero_as_ignore && a.file_system ? run_ignore : run_zero;
                if (type == run_zero) t.crc = crc_zeros(t.crc, n * 512);
                if (stored(type)) t.crc = crc_update(t.crc, buf);
                if (!stored(type) && !t.runs.empty() && t.runs.back().type == type)
                    t.runs.back().count += n;
                else
                    t.runs.push_back({type, s, n, 0, 0});
                if (stored(type) && type != run_raw) t.compressed = true;
            }
        }
        run_count += t.runs.size();
        tables.push_back(std::move(t));
    }

    // The data fork: stored runs in disk order or last to first.
    ImageFile img(output);
    uint64_t pos = 0;
    uint32_t data_crc = crc_update(0, {});
    std::vector<size_t> order(tables.size());
    for (size_t i = 0; i < order.size(); ++i)
        order[i] = c.reverse_storage ? order.size() - 1 - i : i;
    for (size_t ti : order) {
        Table& t = tables[ti];
        t.base = c.table_offsets ? pos : 0;
        std::vector<size_t> runs(t.runs.size());
        for (size_t i = 0; i < runs.size(); ++i)
            runs[i] = c.reverse_storage ? runs.size() - 1 - i : i;
        for (size_t ri : runs) {
            Run& r = t.runs[ri];
            r.offset = pos - t.base;
            if (!stored(r.type)) continue;
            buf.resize(size_t(r.count * 512));
            disk.read((t.area->first + r.first) * 512, buf);
            Bytes data = encode_run(c.encoding, buf);
            img.write(pos, data);
            data_crc = crc_update(data_crc, data);
            r.length = data.size();
            pos += data.size();
        }
        t.end = pos - t.base;
    }
    const uint64_t data_length = pos;

    // The property list with one blkx entry per table.
    std::string xml = plist_head;
    xml += "<dict>\n\t<key>resource-fork</key>\n\t<dict>\n\t\t<key>blkx</key>\n\t\t<array>\n";
    uint32_t master = crc_update(0, {});
    for (size_t i = 0; i < tables.size(); ++i) {
        const std::string name = xml_escape(tables[i].area->name);
        Bytes m = mish(tables[i], uint32_t(i), disk.partitioned(), c.chunk_sectors);
        const std::string id = std::to_string(disk.partitioned() ? int64_t(i) - 1 : 0);
        xml += "\t\t\t<dict>\n"
               "\t\t\t\t<key>Attributes</key>\n\t\t\t\t<string>0x0050</string>\n"
               "\t\t\t\t<key>CFName</key>\n\t\t\t\t<string>" +
               name +
               "</string>\n"
               "\t\t\t\t<key>Data</key>\n\t\t\t\t<data>\n" +
               base64_lines(m, "\t\t\t\t") +
               "\t\t\t\t</data>\n"
               "\t\t\t\t<key>ID</key>\n\t\t\t\t<string>" +
               id +
               "</string>\n"
               "\t\t\t\t<key>Name</key>\n\t\t\t\t<string>" +
               name + "</string>\n\t\t\t</dict>\n";
        uint8_t be[4];
        put_be32(be, tables[i].crc);
        master = crc_update(master, be);
    }
    xml += "\t\t</array>\n\t</dict>\n</dict>\n</plist>\n";
    img.write(pos, std::span(reinterpret_cast<const uint8_t*>(xml.data()), xml.size()));
    pos += xml.size();

    Bytes k(512, 0);
    uint8_t* p = k.data();
    std::memcpy(p, "koly", 4);
    put_be32(p + 4, 4);
    put_be32(p + 8, 512);
    put_be32(p + 12, 1); // flattened
    put_be64(p + 32, data_length);
    put_be32(p + 56, 1); // segment 1 of 1
    put_be32(p + 60, 1);
    put_be64(p + 64, splitmix64(master ^ (uint64_t(data_crc) << 32)));
    put_be64(p + 72, splitmix64(disk.sectors()));
    p[70] = uint8_t((p[70] & 0x0F) | 0x40);
    p[72] = uint8_t((p[72] & 0x3F) | 0x80);
    if (c.data_checksum) {
        put_be32(p + 80, 2);
        put_be32(p + 84, 32);
        put_be32(p + 88, data_crc);
    }
    put_be64(p + 216, data_length);
    put_be64(p + 224, xml.size());
    put_be32(p + 352, 2);
    put_be32(p + 356, 32);
    put_be32(p + 360, master);
    put_be32(p + 488, disk.partitioned() ? 1 : 2);
    put_be64(p + 492, disk.sectors());
    img.write(pos, k);
    pos += k.size();
    img.finish();
    return {pos, run_count};
}

// ---------------------------------------------------------------- bands

// Reads band n in slices; calls sink(offset in band, bytes) for the non-zero
// ones and returns the end of the last non-zero byte (0: the band is all zero).
template <class Sink>
uint64_t scan_band(const Disk& disk, uint64_t band_bytes, uint64_t n, Sink&& sink) {
    const uint64_t start = n * band_bytes;
    const uint64_t len = std::min(band_bytes, disk.bytes() - start);
    uint64_t last = 0;
    Bytes buf;
    for (uint64_t at = 0, n = 0; at < len; at += n) {
        n = std::min<uint64_t>(4 << 20, len - at);
        if (disk.hole(start + at, n)) continue;
        buf.resize(size_t(n));
        if (disk.read(start + at, buf)) continue;
        sink(at, std::span<const uint8_t>(buf));
        auto nz = std::find_if(buf.rbegin(), buf.rend(), [](uint8_t b) { return b != 0; });
        last = at + uint64_t(buf.rend() - nz);
    }
    return last;
}

ContainerSummary write_sparseimage(const Container& c, const Disk& disk, const fs::path& output) {
    const uint64_t band_bytes = c.band_size.value_or(1 << 20);
    const uint64_t bands = (disk.bytes() + band_bytes - 1) / band_bytes;
    if (bands > 1008)
        throw std::runtime_error("a sparse image holds at most 1008 bands; this disk needs " +
                                 std::to_string(bands) + " (raise container.band_size)");
    if (disk.sectors() > UINT32_MAX)
        throw std::runtime_error("a sparse image holds at most 2^32 - 1 sectors");
    std::vector<uint32_t> used;
    for (uint64_t n = 0; n < bands; ++n)
        if (scan_band(disk, band_bytes, n, [](uint64_t, std::span<const uint8_t>) {}) != 0)
            used.push_back(uint32_t(n));
    if (c.band_order == Container::BandOrder::reverse) std::reverse(used.begin(), used.end());
    if (c.band_order == Container::BandOrder::shuffled)
        for (size_t i = used.size(); i > 1; --i) std::swap(used[i - 1], used[splitmix64(i) % i]);

    ImageFile img(output);
    Bytes h(4096, 0);
    std::memcpy(h.data(), "sprs", 4);
    put_be32(h.data() + 4, 3);
    put_be32(h.data() + 8, uint32_t(band_bytes / 512));
    put_be32(h.data() + 12, 1);
    put_be32(h.data() + 16, uint32_t(disk.sectors()));
    for (size_t i = 0; i < used.size(); ++i) put_be32(h.data() + 64 + 4 * i, used[i] + 1);
    img.write(0, h);
    for (size_t i = 0; i < used.size(); ++i) {
        const uint64_t at = 4096 + i * band_bytes;
        scan_band(disk, band_bytes, used[i],
                  [&](uint64_t off, std::span<const uint8_t> b) { img.write(at + off, b); });
    }
    const uint64_t size = 4096 + used.size() * band_bytes;
    img.set_size(size);
    img.finish();
    return {size, used.size()};
}

ContainerSummary write_sparsebundle(const Container& c, const Disk& disk, const fs::path& output) {
    const uint64_t band_bytes = c.band_size.value_or(8 << 20);
    std::error_code ec;
    if (fs::exists(output, ec) && !(fs::is_directory(output, ec) && fs::is_empty(output, ec)))
        throw std::runtime_error("\"" + output.string() +
                                 "\" exists; a sparse bundle is written to a new or empty folder");
    fs::create_directories(output / "bands");
    const std::string info = std::string(plist_head) +
                             "<dict>\n"
                             "\t<key>CFBundleInfoDictionaryVersion</key>\n\t<string>6.0</string>\n"
                             "\t<key>band-size</key>\n\t<integer>" +
                             std::to_string(band_bytes) +
                             "</integer>\n"
                             "\t<key>bundle-backingstore-version</key>\n\t<integer>1</integer>\n"
                             "\t<key>diskimage-bundle-type</key>\n"
                             "\t<string>com.apple.diskimage.sparsebundle</string>\n"
                             "\t<key>size</key>\n\t<integer>" +
                             std::to_string(disk.bytes()) + "</integer>\n</dict>\n</plist>\n";
    for (const char* name : {"Info.plist", "Info.bckup", "token"}) {
        std::ofstream f(output / name, std::ios::binary);
        if (std::string(name) != "token") f << info;
        if (!f.flush())
            throw std::runtime_error("cannot write \"" + (output / name).string() + "\"");
    }
    ContainerSummary s;
    const uint64_t bands = (disk.bytes() + band_bytes - 1) / band_bytes;
    for (uint64_t n = 0; n < bands; ++n) {
        if (scan_band(disk, band_bytes, n, [](uint64_t, std::span<const uint8_t>) {}) == 0)
            continue;
        char hex[20];
        std::snprintf(hex, sizeof hex, "%llx", static_cast<unsigned long long>(n));
        ImageFile f(output / "bands" / hex);
        uint64_t last =
            scan_band(disk, band_bytes, n,
                      [&](uint64_t off, std::span<const uint8_t> b) { f.write(off, b); });
        const uint64_t size = c.trim_bands ? (last + 511) / 512 * 512
                                           : std::min(band_bytes, disk.bytes() - n * band_bytes);
        f.set_size(size);
        f.finish();
        s.output_bytes += size;
        ++s.pieces;
    }
    return s;
}

} // namespace

ContainerSummary write_container(const Container& c, const Disk& disk, const fs::path& output) {
    switch (c.format) {
    case Container::Format::raw:
        return write_raw(disk, output);
    case Container::Format::udif:
        return write_udif(c, disk, output);
    case Container::Format::sparseimage:
        return write_sparseimage(c, disk, output);
    case Container::Format::sparsebundle:
        return write_sparsebundle(c, disk, output);
    }
    return {};
}

} // namespace mkhfs
