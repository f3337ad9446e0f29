#include "decmpfs.h"

#include "codecs.h"

#include <algorithm>
#include <fstream>
#include <iterator>
#include <stdexcept>

namespace mkhfs {

namespace {

bool lz_type(uint32_t type) {
    return type == 7 || type == 8 || type == 11 || type == 12;
}
bool chunked_type(uint32_t type) {
    return type == 4 || type == 8 || type == 12;
}

Compression::Unit default_unit(uint32_t type) {
    switch (type) {
    case 7:
    case 8:
        return Compression::Unit::lzvn;
    case 11:
    case 12:
        return Compression::Unit::lzfse;
    default:
        return Compression::Unit::zlib;
    }
}

Bytes stored_unit(uint32_t type, std::span<const uint8_t> raw) {
    Bytes out(raw.size() + 1);
    out[0] = lz_type(type) ? 0x06 : 0xFF;
    std::copy(raw.begin(), raw.end(), out.begin() + 1);
    return out;
}

Bytes encode_unit(uint32_t type, Compression::Unit unit, std::span<const uint8_t> raw) {
    if (unit == Compression::Unit::automatic) unit = default_unit(type);
    switch (unit) {
    case Compression::Unit::zlib:
        return zlib_encode(raw);
    case Compression::Unit::lzvn:
        return lzvn_literals_encode(raw);
    case Compression::Unit::lzfse:
        return lzfse_stored_encode(raw);
    case Compression::Unit::stored:
    case Compression::Unit::automatic:
        break;
    }
    return stored_unit(type, raw);
}

Bytes read_file(const std::filesystem::path& p) {
    std::ifstream in(p, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read \"" + p.string() + "\"");
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

// A resource fork holding one 'cmpf' resource whose data is the chunk table
// followed by the chunks, with the resource map behind it.
Bytes resource_layout(const std::vector<Bytes>& chunks) {
    const uint32_t n = uint32_t(chunks.size());
    Bytes table;
    Writer t(table);
    t.le32(n);
    uint32_t off = 4 + 8 * n;
    for (const auto& c : chunks) {
        t.le32(off);
        t.le32(uint32_t(c.size()));
        off += uint32_t(c.size());
    }
    for (const auto& c : chunks) t.bytes(c);

    const uint32_t data_offset = 0x100;
    const uint32_t data_length = 4 + uint32_t(table.size());
    const uint32_t map_offset = data_offset + data_length;
    const uint32_t map_length = 50;

    Bytes fork;
    Writer w(fork);
    auto header = [&] {
        w.be32(data_offset);
        w.be32(map_offset);
        w.be32(data_length);
        w.be32(map_length);
    };
    header();
    w.zeros(data_offset - 16);
    w.be32(uint32_t(table.size()));
    w.bytes(table);
    // Resource map.
    header();
    w.be32(0);  // next map handle
    w.be16(0);  // file reference number
    w.be16(0);  // map attributes
    w.be16(28); // type list offset (from the map start)
    w.be16(50); // name list offset (empty list at the end of the map)
    w.be16(0);  // number of types - 1
    w.be32(fourcc("cmpf"));
    w.be16(0);      // resources of this type - 1
    w.be16(10);     // reference list offset (from the type list)
    w.be16(1);      // resource id
    w.be16(0xFFFF); // no name
    w.be32(0);      // attributes (0) and data offset (0) of the resource
    w.be32(0);      // handle
    return fork;
}

// At fork offset 0 a table of N + 1 little-endian offsets from the fork start;
// chunk i runs from entry i to entry i + 1.
Bytes offset_layout(const std::vector<Bytes>& chunks) {
    Bytes fork;
    Writer w(fork);
    uint32_t off = 4 * uint32_t(chunks.size() + 1);
    w.le32(off);
    for (const auto& c : chunks) {
        off += uint32_t(c.size());
        w.le32(off);
    }
    for (const auto& c : chunks) w.bytes(c);
    return fork;
}

} // namespace

CompressedFile compress_file(const Content& data, const Compression& c) {
    const uint64_t size = data.length();
    CompressedFile out;
    Writer a(out.attribute);
    a.text("fpmc");
    a.le32(c.type);
    a.le64(size);
    if (c.type == 5) {
        if (!c.verbatim.empty()) throw std::runtime_error("type 5 has no payload to take verbatim");
        return out;
    }
    if (!chunked_type(c.type)) {
        if (size > 64 * 1024 * 1024)
            throw std::runtime_error("an inline compressed payload is limited to 64 MiB");
        Bytes payload;
        if (!c.verbatim.empty()) {
            if (c.verbatim.size() != 1)
                throw std::runtime_error("an inline type takes exactly one verbatim unit");
            payload = read_file(c.verbatim[0]);
        } else {
            Bytes raw = data.all();
            payload = encode_unit(c.type, c.unit, raw);
        }
        a.bytes(payload);
        return out;
    }
    const size_t n = size_t((size + decmpfs_chunk - 1) / decmpfs_chunk);
    if (!c.verbatim.empty() && c.verbatim.size() != n)
        throw std::runtime_error("a file of " + std::to_string(size) + " bytes has " +
                                 std::to_string(n) + " chunks but " +
                                 std::to_string(c.verbatim.size()) + " verbatim units were given");
    std::vector<Bytes> chunks;
    chunks.reserve(n);
    Bytes raw;
    uint64_t total = 0;
    for (size_t i = 0; i < n; ++i) {
        if (!c.verbatim.empty()) {
            chunks.push_back(read_file(c.verbatim[i]));
        } else {
            raw.resize(size_t(std::min<uint64_t>(decmpfs_chunk, size - i * decmpfs_chunk)));
            data.read(i * decmpfs_chunk, raw);
            Bytes enc = encode_unit(c.type, c.unit, raw);
            // Chunks that would not shrink enough are kept as they are behind the marker.
            if (enc.size() > decmpfs_chunk + 1) enc = stored_unit(c.type, raw);
            chunks.push_back(std::move(enc));
        }
        total += chunks.back().size();
        if (total > 0xF0000000ULL)
            throw std::runtime_error("compressed resource fork beyond 4 GiB");
    }
    out.resource_fork = c.offset_table ? offset_layout(chunks) : resource_layout(chunks);
    return out;
}

} // namespace mkhfs
