#include "manifest.h"

#include <nlohmann/json.hpp>

#include <ctime>
#include <fstream>
#include <iomanip>
#include <set>
#include <sstream>

namespace mkhfs {

namespace {

using json = nlohmann::json;

// Seconds between 1904-01-01 and 1970-01-01.
constexpr int64_t hfs_epoch_offset = 2082844800;

class Parser {
public:
    explicit Parser(std::filesystem::path base) : base_(std::move(base)) {}

    Manifest manifest(const json& j) {
        Manifest m;
        object(j, "manifest", {"volume", "root", "items", "container"});
        if (!j.contains("volume")) fail("manifest", "missing \"volume\"");
        m.volume = volume(j["volume"]);
        m.root.kind = Kind::folder;
        m.root.name = m.volume.name;
        if (j.contains("root")) {
            const json& r = j["root"];
            object(r, "root", {"perms", "finder", "dates", "xattrs", "cnid"});
            common(r, "root", m.root);
            if (m.root.cnid && *m.root.cnid != 2) fail("root", "the root folder always has CNID 2");
        }
        if (j.contains("items")) m.root.children = items(j["items"], "items");
        if (j.contains("container")) m.container = container(j["container"]);
        return m;
    }

private:
    std::shared_ptr<Pending> pending(const json& j, const std::string& w, const Volume& v) {
        object(j, w,
               {"before", "jhdr_size", "transactions", "lists", "sequence", "checksums", "wrap",
                "past_end", "killed", "overridden", "damaged"});
        auto p = std::make_shared<Pending>();
        if (!j.contains("before")) fail(w, "missing \"before\" (the items on disk)");
        const json& b = j["before"];
        object(b, w + ".before", {"root", "items"});
        p->before.kind = Kind::folder;
        p->before.name = v.name;
        if (b.contains("root")) {
            object(b["root"], w + ".before.root", {"perms", "finder", "dates", "xattrs"});
            common(b["root"], w + ".before.root", p->before);
        }
        if (b.contains("items")) p->before.children = items(b["items"], w + ".before.items");
        if (j.contains("jhdr_size")) {
            p->jhdr_size = u32(j["jhdr_size"], w + ".jhdr_size");
            if (p->jhdr_size != 512 && p->jhdr_size != 4096)
                fail(w + ".jhdr_size", "expected 512 or 4096");
        }
        if (j.contains("transactions"))
            p->transactions = u32(j["transactions"], w + ".transactions", 4096);
        if (j.contains("lists")) p->lists = u32(j["lists"], w + ".lists", 16);
        if (p->transactions == 0 || p->lists == 0)
            fail(w, "transactions and lists must be at least 1");
        if (j.contains("sequence")) p->sequence = u32(j["sequence"], w + ".sequence");
        if (j.contains("checksums")) p->checksums = boolean(j["checksums"], w + ".checksums");
        if (j.contains("wrap")) p->wrap = boolean(j["wrap"], w + ".wrap");
        if (j.contains("past_end")) p->past_end = u32(j["past_end"], w + ".past_end", 4096);
        if (p->past_end >= p->transactions) fail(w + ".past_end", "must be below transactions");
        if (p->past_end && p->sequence == 0)
            fail(w + ".past_end", "transactions past the end need sequence numbers");
        if (j.contains("killed")) p->killed = boolean(j["killed"], w + ".killed");
        if (j.contains("overridden")) p->overridden = boolean(j["overridden"], w + ".overridden");
        if (j.contains("damaged")) {
            p->damaged = str(j["damaged"], w + ".damaged");
            static const std::set<std::string> kinds = {"block_checksum", "block_number", "counts",
                                                        "header_checksum", "first"};
            if (!kinds.count(p->damaged))
                fail(w + ".damaged", "expected block_checksum, block_number, counts, "
                                     "header_checksum or first");
        }
        return p;
    }

    [[noreturn]] void fail(const std::string& where, const std::string& what) {
        throw ManifestError(where + ": " + what);
    }

    void object(const json& j, const std::string& where, std::initializer_list<const char*> keys) {
        if (!j.is_object()) fail(where, "expected an object");
        std::set<std::string> allowed(keys.begin(), keys.end());
        for (auto it = j.begin(); it != j.end(); ++it) {
            if (!it.key().empty() && it.key()[0] == '_') continue; // annotations
            if (!allowed.count(it.key())) fail(where, "unknown key \"" + it.key() + "\"");
        }
    }

    // Integers: JSON numbers or strings "0x1F", "0o755", "0755" (octal), "8M" etc. (sizes).
    uint64_t number(const json& j, const std::string& where, bool size_suffix = false) {
        if (j.is_number_unsigned()) return j.get<uint64_t>();
        if (j.is_number_integer()) {
            if (j.get<int64_t>() < 0) fail(where, "must not be negative");
            return uint64_t(j.get<int64_t>());
        }
        if (!j.is_string()) fail(where, "expected a number");
        std::string s = j.get<std::string>();
        if (s.empty()) fail(where, "empty number");
        uint64_t mult = 1;
        if (size_suffix) {
            char c = char(std::toupper(s.back()));
            if (c == 'K' || c == 'M' || c == 'G' || c == 'T') {
                mult = c == 'K'   ? 1ULL << 10
                       : c == 'M' ? 1ULL << 20
                       : c == 'G' ? 1ULL << 30
                                  : 1ULL << 40;
                s.pop_back();
            }
        }
        int base = 10;
        size_t skip = 0;
        if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X'))
            base = 16, skip = 2;
        else if (s.size() > 2 && s[0] == '0' && (s[1] == 'o' || s[1] == 'O'))
            base = 8, skip = 2;
        else if (s.size() > 1 && s[0] == '0')
            base = 8, skip = 1;
        size_t used = 0;
        uint64_t v = 0;
        try {
            v = std::stoull(s.substr(skip), &used, base);
        } catch (const std::exception&) {
            fail(where, "not a number: \"" + j.get<std::string>() + "\"");
        }
        if (used != s.size() - skip) fail(where, "not a number: \"" + j.get<std::string>() + "\"");
        return v * mult;
    }

    uint32_t u32(const json& j, const std::string& where, uint64_t max = UINT32_MAX) {
        uint64_t v = number(j, where);
        if (v > max)
            fail(where, "value " + std::to_string(v) + " is larger than " + std::to_string(max));
        return uint32_t(v);
    }

    std::string str(const json& j, const std::string& where) {
        if (!j.is_string()) fail(where, "expected a string");
        return j.get<std::string>();
    }

    bool boolean(const json& j, const std::string& where) {
        if (!j.is_boolean()) fail(where, "expected true or false");
        return j.get<bool>();
    }

    // ISO 8601 UTC ("2024-01-02T03:04:05Z") or a raw volume date number.
    HfsDate date(const json& j, const std::string& where) {
        if (j.is_number()) return u32(j, where);
        std::string s = str(j, where);
        std::tm tm{};
        std::istringstream in(s);
        in >> std::get_time(&tm, "%Y-%m-%dT%H:%M:%S");
        if (in.fail() || (in.peek() != 'Z' && in.peek() != EOF))
            fail(where, "date \"" + s + "\" is not of the form YYYY-MM-DDTHH:MM:SSZ");
        int64_t unix_time = timegm(&tm);
        int64_t v = unix_time + hfs_epoch_offset;
        if (v < 0 || v > int64_t(UINT32_MAX))
            fail(where, "date \"" + s + "\" is outside 1904..2040");
        return HfsDate(v);
    }

    uint32_t code4(const json& j, const std::string& where) {
        if (j.is_number()) return u32(j, where);
        std::string s = str(j, where);
        if (s.size() != 4)
            fail(where, "a four-character code needs exactly 4 bytes: \"" + s + "\"");
        return fourcc(s);
    }

    Volume volume(const json& j) {
        const std::string w = "volume";
        object(j, w,
               {"format", "key_compare", "block_size", "size", "name", "node_size",
                "catalog_key_length", "attributes_file", "dates", "file_count", "folder_count",
                "next_catalog_id", "write_count", "journal", "wrapper"});
        Volume v;
        if (j.contains("format")) {
            std::string f = str(j["format"], w + ".format");
            if (f == "hfs+")
                v.hfsx = false;
            else if (f == "hfsx")
                v.hfsx = true;
            else
                fail(w + ".format", "expected \"hfs+\" or \"hfsx\", got \"" + f + "\"");
        }
        if (j.contains("key_compare")) {
            std::string k = str(j["key_compare"], w + ".key_compare");
            if (k == "folding" || k == "0xCF" || k == "0xcf")
                v.key_compare = 0xCF;
            else if (k == "binary" || k == "0xBC" || k == "0xbc")
                v.key_compare = 0xBC;
            else
                fail(w + ".key_compare", "expected \"folding\" (0xCF) or \"binary\" (0xBC)");
            if (!v.hfsx && v.key_compare == 0xBC)
                fail(w + ".key_compare",
                     "an HFS+ volume always orders names case-insensitively; use format hfsx");
        }
        if (j.contains("block_size")) v.block_size = u32(j["block_size"], w + ".block_size");
        if (v.block_size < 512 || v.block_size > 65536 || (v.block_size & (v.block_size - 1)))
            fail(w + ".block_size", "must be a power of two from 512 to 65536");
        if (j.contains("size")) v.size = number(j["size"], w + ".size", true);
        if (j.contains("name")) v.name = str(j["name"], w + ".name");
        if (j.contains("node_size")) {
            const json& n = j["node_size"];
            object(n, w + ".node_size", {"catalog", "extents", "attributes"});
            auto node = [&](const char* k, uint32_t& out) {
                if (!n.contains(k)) return;
                out = u32(n[k], w + ".node_size." + k);
                if (out < 512 || out > 32768 || (out & (out - 1)))
                    fail(w + ".node_size." + k, "must be a power of two from 512 to 32768");
            };
            node("catalog", v.catalog_node);
            node("extents", v.extents_node);
            node("attributes", v.attributes_node);
        }
        if (j.contains("catalog_key_length")) {
            v.catalog_key_width = int(u32(j["catalog_key_length"], w + ".catalog_key_length"));
            if (v.catalog_key_width != 1 && v.catalog_key_width != 2)
                fail(w + ".catalog_key_length", "must be 1 or 2 (bytes of the key-length field)");
        }
        if (j.contains("attributes_file"))
            v.attributes_file = boolean(j["attributes_file"], w + ".attributes_file");
        if (j.contains("dates")) {
            const json& d = j["dates"];
            object(d, w + ".dates", {"create", "modify", "backup", "check"});
            if (d.contains("create")) v.create = date(d["create"], w + ".dates.create");
            v.modify = v.check = v.create;
            if (d.contains("modify")) v.modify = date(d["modify"], w + ".dates.modify");
            if (d.contains("backup")) v.backup = date(d["backup"], w + ".dates.backup");
            if (d.contains("check")) v.check = date(d["check"], w + ".dates.check");
        } else {
            v.create = v.modify = v.check = date(json("2024-01-01T00:00:00Z"), w);
        }
        if (j.contains("file_count")) v.file_count = u32(j["file_count"], w + ".file_count");
        if (j.contains("folder_count"))
            v.folder_count = u32(j["folder_count"], w + ".folder_count");
        if (j.contains("next_catalog_id"))
            v.next_catalog_id = u32(j["next_catalog_id"], w + ".next_catalog_id");
        if (j.contains("write_count")) v.write_count = u32(j["write_count"], w + ".write_count");
        if (j.contains("journal")) {
            const json& jj = j["journal"];
            object(jj, w + ".journal", {"size", "state", "byte_order", "pending"});
            Journal jr;
            if (jj.contains("size")) jr.size = number(jj["size"], w + ".journal.size", true);
            if (jj.contains("state")) {
                std::string s = str(jj["state"], w + ".journal.state");
                if (s != "clean" && s != "dirty")
                    fail(w + ".journal.state", "expected \"clean\" or \"dirty\"");
                jr.dirty = s == "dirty";
            }
            if (jj.contains("byte_order")) {
                std::string s = str(jj["byte_order"], w + ".journal.byte_order");
                if (s != "big" && s != "little")
                    fail(w + ".journal.byte_order", "expected \"big\" or \"little\"");
                jr.little_endian = s == "little";
            }
            if (jj.contains("pending")) {
                jr.pending = pending(jj["pending"], w + ".journal.pending", v);
                jr.dirty = true;
            }
            if (jr.size < 8 * v.block_size || jr.size % v.block_size)
                fail(w + ".journal.size",
                     "must be a multiple of the block size and at least 8 blocks");
            v.journal = jr;
        }
        if (j.contains("wrapper")) {
            const json& wj = j["wrapper"];
            object(wj, w + ".wrapper", {"embed_start"});
            Wrapper wr;
            if (wj.contains("embed_start"))
                wr.embed_start = u32(wj["embed_start"], w + ".wrapper.embed_start", 60000);
            v.wrapper = wr;
        }
        return v;
    }

    template <class E>
    E choice(const json& j, const std::string& where,
             std::initializer_list<std::pair<const char*, E>> options) {
        std::string s = str(j, where), names;
        for (const auto& [name, value] : options) {
            if (s == name) return value;
            names += std::string(names.empty() ? "" : ", ") + "\"" + name + "\"";
        }
        fail(where, "expected one of " + names + ", got \"" + s + "\"");
    }

    Container container(const json& j) {
        const std::string w = "container";
        object(j, w,
               {"format", "partition_map", "partition_name", "second_partition", "encoding",
                "chunk_sectors", "zero_chunks", "run_offsets", "run_order", "data_checksum",
                "band_size", "band_order", "trim_bands"});
        using C = Container;
        C c;
        if (j.contains("format"))
            c.format = choice<C::Format>(j["format"], w + ".format",
                                         {{"raw", C::Format::raw},
                                          {"udif", C::Format::udif},
                                          {"sparseimage", C::Format::sparseimage},
                                          {"sparsebundle", C::Format::sparsebundle}});
        if (j.contains("partition_map"))
            c.gpt = choice<bool>(j["partition_map"], w + ".partition_map",
                                 {{"none", false}, {"gpt", true}});
        if (j.contains("partition_name"))
            c.partition_name = str(j["partition_name"], w + ".partition_name");
        if (j.contains("second_partition")) {
            const json& p = j["second_partition"];
            const std::string pw = w + ".second_partition";
            object(p, pw, {"type", "name", "size", "data"});
            ExtraPartition e;
            if (p.contains("type")) e.type_guid = str(p["type"], pw + ".type");
            bool guid_ok = e.type_guid.size() == 36;
            for (size_t i = 0; guid_ok && i < 36; ++i)
                guid_ok = (i == 8 || i == 13 || i == 18 || i == 23)
                              ? e.type_guid[i] == '-'
                              : std::isxdigit(uint8_t(e.type_guid[i]));
            if (!guid_ok)
                fail(pw + ".type", "expected a GUID XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX");
            if (p.contains("name")) e.name = str(p["name"], pw + ".name");
            if (p.contains("size")) e.size = number(p["size"], pw + ".size", true);
            if (e.size == 0 || e.size % 512)
                fail(pw + ".size", "must be a non-zero multiple of 512");
            if (p.contains("data")) e.data = content(p["data"], pw + ".data");
            if (e.data.length() > e.size) fail(pw + ".data", "is larger than the partition");
            c.extra = e;
        }
        if (j.contains("encoding"))
            c.encoding = choice<C::Encoding>(j["encoding"], w + ".encoding",
                                             {{"raw", C::Encoding::raw},
                                              {"zlib", C::Encoding::zlib},
                                              {"bzip2", C::Encoding::bzip2},
                                              {"lzma", C::Encoding::lzma}});
        if (j.contains("chunk_sectors")) {
            c.chunk_sectors = u32(j["chunk_sectors"], w + ".chunk_sectors", 65536);
            if (c.chunk_sectors == 0) fail(w + ".chunk_sectors", "must be at least 1");
        }
        if (j.contains("zero_chunks"))
            c.zero_as_ignore = choice<bool>(j["zero_chunks"], w + ".zero_chunks",
                                            {{"zero", false}, {"ignore", true}});
        if (j.contains("run_offsets"))
            c.table_offsets = choice<bool>(j["run_offsets"], w + ".run_offsets",
                                           {{"fork", false}, {"table", true}});
        if (j.contains("run_order"))
            c.reverse_storage = choice<bool>(j["run_order"], w + ".run_order",
                                             {{"disk", false}, {"reverse", true}});
        if (j.contains("data_checksum"))
            c.data_checksum = boolean(j["data_checksum"], w + ".data_checksum");
        if (j.contains("band_size")) {
            c.band_size = number(j["band_size"], w + ".band_size", true);
            if (*c.band_size == 0 || *c.band_size % 512 || *c.band_size / 512 > UINT32_MAX)
                fail(w + ".band_size", "must be a non-zero multiple of 512");
        }
        if (j.contains("band_order"))
            c.band_order = choice<C::BandOrder>(j["band_order"], w + ".band_order",
                                                {{"disk", C::BandOrder::disk},
                                                 {"reverse", C::BandOrder::reverse},
                                                 {"shuffled", C::BandOrder::shuffled}});
        if (j.contains("trim_bands")) c.trim_bands = boolean(j["trim_bands"], w + ".trim_bands");
        return c;
    }

    Content content(const json& j, const std::string& where) {
        Content c;
        if (j.is_string()) {
            c.kind = Content::Kind::text;
            c.text = j.get<std::string>();
            return c;
        }
        object(j, where, {"text", "file", "pattern", "size", "seed"});
        int kinds = j.contains("text") + j.contains("file") + j.contains("pattern");
        if (kinds != 1) fail(where, "give exactly one of \"text\", \"file\" or \"pattern\"");
        if (j.contains("text")) {
            c.kind = Content::Kind::text;
            c.text = str(j["text"], where + ".text");
        } else if (j.contains("file")) {
            c.kind = Content::Kind::file;
            c.file = base_ / str(j["file"], where + ".file");
            std::error_code ec;
            auto sz = std::filesystem::file_size(c.file, ec);
            if (ec)
                fail(where + ".file", "cannot read \"" + c.file.string() + "\": " + ec.message());
            c.size = sz;
        } else {
            c.kind = Content::Kind::pattern;
            c.pattern = str(j["pattern"], where + ".pattern");
            if (!is_known_pattern(c.pattern))
                fail(where + ".pattern",
                     "unknown pattern \"" + c.pattern + "\" (zeros, counter, text, random)");
            if (!j.contains("size")) fail(where, "a pattern needs a \"size\"");
            c.size = number(j["size"], where + ".size", true);
            if (j.contains("seed")) c.seed = number(j["seed"], where + ".seed");
        }
        if (c.kind != Content::Kind::pattern && (j.contains("size") || j.contains("seed")))
            fail(where, "\"size\" and \"seed\" belong to a pattern");
        return c;
    }

    Perms perms(const json& j, const std::string& where) {
        Perms p;
        if (j.is_null()) {
            p.present = false;
            return p;
        }
        object(j, where, {"owner", "group", "mode", "admin_flags", "owner_flags", "special"});
        if (j.contains("owner")) p.owner = u32(j["owner"], where + ".owner");
        if (j.contains("group")) p.group = u32(j["group"], where + ".group");
        if (j.contains("mode")) {
            uint32_t m = u32(j["mode"], where + ".mode", 0xFFFF);
            p.mode = uint16_t(m);
        }
        if (j.contains("admin_flags"))
            p.admin_flags = uint8_t(u32(j["admin_flags"], where + ".admin_flags", 255));
        if (j.contains("owner_flags"))
            p.owner_flags = uint8_t(u32(j["owner_flags"], where + ".owner_flags", 255));
        if (j.contains("special")) p.special = u32(j["special"], where + ".special");
        return p;
    }

    Finder finder(const json& j, const std::string& where) {
        object(j, where, {"type", "creator", "flags", "invisible", "location", "ext_flags"});
        Finder f;
        if (j.contains("type")) f.type = code4(j["type"], where + ".type");
        if (j.contains("creator")) f.creator = code4(j["creator"], where + ".creator");
        if (j.contains("flags")) f.flags = uint16_t(u32(j["flags"], where + ".flags", 0xFFFF));
        if (j.contains("invisible") && boolean(j["invisible"], where + ".invisible"))
            f.flags |= 0x4000;
        if (j.contains("ext_flags"))
            f.ext_flags = uint16_t(u32(j["ext_flags"], where + ".ext_flags", 0xFFFF));
        if (j.contains("location")) {
            const json& l = j["location"];
            if (!l.is_array() || l.size() != 2 || !l[0].is_number_integer() ||
                !l[1].is_number_integer())
                fail(where + ".location", "expected [v, h]");
            f.v = int16_t(l[0].get<int>());
            f.h = int16_t(l[1].get<int>());
        }
        return f;
    }

    Dates dates(const json& j, const std::string& where) {
        object(j, where, {"create", "modify", "attribute_mod", "access", "backup", "all"});
        Dates d;
        if (j.contains("all")) {
            HfsDate a = date(j["all"], where + ".all");
            d = {a, a, a, a, 0};
        }
        if (j.contains("create")) d.create = date(j["create"], where + ".create");
        if (j.contains("modify")) d.content_mod = date(j["modify"], where + ".modify");
        if (j.contains("attribute_mod"))
            d.attribute_mod = date(j["attribute_mod"], where + ".attribute_mod");
        if (j.contains("access")) d.access = date(j["access"], where + ".access");
        if (j.contains("backup")) d.backup = date(j["backup"], where + ".backup");
        return d;
    }

    std::vector<Xattr> xattrs(const json& j, const std::string& where) {
        if (!j.is_array()) fail(where, "expected an array");
        std::vector<Xattr> out;
        for (size_t i = 0; i < j.size(); ++i) {
            const std::string w = where + "[" + std::to_string(i) + "]";
            const json& x = j[i];
            object(x, w, {"name", "value", "storage", "extents"});
            Xattr a;
            if (!x.contains("name")) fail(w, "missing \"name\"");
            a.name = str(x["name"], w + ".name");
            if (a.name.empty()) fail(w + ".name", "must not be empty");
            if (x.contains("value")) a.value = content(x["value"], w + ".value");
            if (x.contains("storage")) {
                std::string s = str(x["storage"], w + ".storage");
                if (s != "inline" && s != "fork")
                    fail(w + ".storage", "expected \"inline\" or \"fork\"");
                a.fork = s == "fork";
            }
            if (x.contains("extents")) {
                a.extents = u32(x["extents"], w + ".extents", 100000);
                if (!a.fork) fail(w + ".extents", "only a fork-stored attribute has extents");
            }
            if (a.extents == 0) fail(w + ".extents", "must be at least 1");
            out.push_back(std::move(a));
        }
        return out;
    }

    Compression compression(const json& j, const std::string& where) {
        object(j, where, {"type", "unit", "layout", "verbatim"});
        Compression c;
        if (!j.contains("type")) fail(where, "missing \"type\"");
        c.type = u32(j["type"], where + ".type");
        if (j.contains("unit")) {
            std::string u = str(j["unit"], where + ".unit");
            if (u == "zlib")
                c.unit = Compression::Unit::zlib;
            else if (u == "stored")
                c.unit = Compression::Unit::stored;
            else if (u == "lzvn")
                c.unit = Compression::Unit::lzvn;
            else if (u == "lzfse")
                c.unit = Compression::Unit::lzfse;
            else
                fail(where + ".unit", "expected zlib, stored, lzvn or lzfse");
        }
        if (j.contains("layout")) {
            std::string l = str(j["layout"], where + ".layout");
            if (l == "offsets")
                c.offset_table = true;
            else if (l != "resource")
                fail(where + ".layout", "expected \"resource\" or \"offsets\"");
            if (c.offset_table && c.type != 8 && c.type != 12)
                fail(where + ".layout", "the offset-table layout exists for types 8 and 12 only");
        }
        if (j.contains("verbatim")) {
            const json& v = j["verbatim"];
            if (!v.is_array()) fail(where + ".verbatim", "expected an array of file names");
            for (const json& f : v) {
                auto p = base_ / str(f, where + ".verbatim");
                if (!std::filesystem::is_regular_file(p))
                    fail(where + ".verbatim", "no such file \"" + p.string() + "\"");
                c.verbatim.push_back(p);
            }
            if (j.contains("unit")) fail(where, "\"unit\" and \"verbatim\" exclude each other");
        }
        return c;
    }

    void common(const json& j, const std::string& w, Item& it) {
        if (j.contains("cnid")) {
            it.cnid = u32(j["cnid"], w + ".cnid");
            if (*it.cnid < 16 && w != "root") fail(w + ".cnid", "CNIDs below 16 are reserved");
        }
        if (j.contains("perms")) it.perms = perms(j["perms"], w + ".perms");
        if (j.contains("finder")) it.finder = finder(j["finder"], w + ".finder");
        if (j.contains("dates")) it.dates = dates(j["dates"], w + ".dates");
        if (j.contains("xattrs")) it.xattrs = xattrs(j["xattrs"], w + ".xattrs");
    }

    std::vector<Item> items(const json& j, const std::string& where) {
        if (!j.is_array()) fail(where, "expected an array of items");
        std::vector<Item> out;
        for (size_t i = 0; i < j.size(); ++i) {
            const json& x = j[i];
            std::string w = where + "[" + std::to_string(i) + "]";
            if (x.is_object() && x.contains("name") && x["name"].is_string())
                w += " \"" + x["name"].get<std::string>() + "\"";
            if (!x.is_object()) fail(w, "expected an object");
            if (!x.contains("type")) fail(w, "missing \"type\"");
            std::string type = str(x["type"], w + ".type");
            if (type == "generate") {
                generate(x, w, out);
                continue;
            }
            out.push_back(item(x, w, type));
        }
        return out;
    }

    Item item(const json& x, const std::string& w, const std::string& type) {
        Item it;
        static const std::pair<const char*, Kind> kinds[] = {
            {"folder", Kind::folder},   {"file", Kind::file},         {"symlink", Kind::symlink},
            {"chardev", Kind::chardev}, {"blockdev", Kind::blockdev}, {"fifo", Kind::fifo},
            {"socket", Kind::socket},   {"hardlink", Kind::hardlink}};
        bool known = false;
        for (auto& [n, k] : kinds)
            if (type == n) it.kind = k, known = true;
        if (!known) fail(w + ".type", "unknown item type \"" + type + "\"");
        switch (it.kind) {
        case Kind::folder:
            object(x, w,
                   {"type", "name", "name_utf16", "id", "cnid", "perms", "finder", "dates",
                    "xattrs", "children"});
            break;
        case Kind::file:
            object(x, w,
                   {"type", "name", "name_utf16", "id", "cnid", "perms", "finder", "dates",
                    "xattrs", "data", "rsrc", "extents", "rsrc_extents", "compress"});
            break;
        case Kind::symlink:
            object(x, w,
                   {"type", "name", "name_utf16", "id", "cnid", "perms", "finder", "dates",
                    "xattrs", "target"});
            break;
        case Kind::chardev:
        case Kind::blockdev:
            object(x, w,
                   {"type", "name", "name_utf16", "cnid", "perms", "finder", "dates", "xattrs",
                    "rdev"});
            break;
        case Kind::fifo:
        case Kind::socket:
            object(x, w,
                   {"type", "name", "name_utf16", "cnid", "perms", "finder", "dates", "xattrs"});
            break;
        case Kind::hardlink:
            object(x, w, {"type", "name", "name_utf16", "cnid", "target", "dates", "finder"});
            break;
        }
        if (x.contains("name_utf16")) {
            // Raw UTF-16 units, stored as given (e.g. an unpaired surrogate).
            if (x.contains("name")) fail(w, "\"name\" and \"name_utf16\" exclude each other");
            const json& u = x["name_utf16"];
            if (!u.is_array() || u.empty() || u.size() > 255)
                fail(w + ".name_utf16", "expected 1 to 255 code units");
            std::u16string raw;
            for (size_t i = 0; i < u.size(); ++i)
                raw += static_cast<char16_t>(u32(u[i], w + ".name_utf16", 0xFFFF));
            it.raw_name = raw;
            it.name = "(name_utf16)";
        } else {
            if (!x.contains("name")) fail(w, "missing \"name\"");
            it.name = str(x["name"], w + ".name");
            if (it.name.empty()) fail(w + ".name", "must not be empty");
        }
        if (x.contains("id")) it.id = str(x["id"], w + ".id");
        common(x, w, it);
        if (x.contains("data")) it.data = content(x["data"], w + ".data");
        if (x.contains("rsrc")) it.rsrc = content(x["rsrc"], w + ".rsrc");
        if (x.contains("extents")) it.data_extents = u32(x["extents"], w + ".extents", 1000000);
        if (x.contains("rsrc_extents"))
            it.rsrc_extents = u32(x["rsrc_extents"], w + ".rsrc_extents", 1000000);
        if (it.data_extents == 0 || it.rsrc_extents == 0) fail(w, "extent counts start at 1");
        if (x.contains("compress")) {
            it.compress = compression(x["compress"], w + ".compress");
            if (x.contains("extents"))
                fail(w, "a compressed file has an empty data fork; use \"rsrc_extents\"");
        }
        if (x.contains("target")) {
            if (it.kind == Kind::hardlink)
                it.link_to = str(x["target"], w + ".target");
            else
                it.symlink_target = str(x["target"], w + ".target");
        } else if (it.kind == Kind::symlink || it.kind == Kind::hardlink) {
            fail(w, "missing \"target\"");
        }
        if (x.contains("rdev")) it.rdev = u32(x["rdev"], w + ".rdev");
        if (x.contains("children")) it.children = items(x["children"], w + ".children");
        return it;
    }

    // {"type": "generate", "folders": M, "files": N, ...}: M folders "d00000"...
    // holding N files "f000000"... in turn (or N files here when M is 0).
    void generate(const json& x, const std::string& w, std::vector<Item>& out) {
        object(x, w, {"type", "folders", "files", "file_size", "pattern", "prefix", "extents"});
        uint32_t folders = x.contains("folders") ? u32(x["folders"], w + ".folders", 10000000) : 0;
        uint32_t files = x.contains("files") ? u32(x["files"], w + ".files", 50000000) : 0;
        uint64_t size =
            x.contains("file_size") ? number(x["file_size"], w + ".file_size", true) : 0;
        std::string pattern = x.contains("pattern") ? str(x["pattern"], w + ".pattern") : "counter";
        if (!is_known_pattern(pattern)) fail(w + ".pattern", "unknown pattern \"" + pattern + "\"");
        std::string prefix = x.contains("prefix") ? str(x["prefix"], w + ".prefix") : "";
        uint32_t extents = x.contains("extents") ? u32(x["extents"], w + ".extents", 1000000) : 1;
        if (extents == 0) fail(w + ".extents", "must be at least 1");
        auto file = [&](uint32_t k) {
            Item f;
            f.kind = Kind::file;
            char name[32];
            std::snprintf(name, sizeof name, "f%07u", k);
            f.name = prefix + name;
            f.data_extents = extents;
            if (size) {
                f.data.kind = Content::Kind::pattern;
                f.data.pattern = pattern;
                f.data.size = size;
                f.data.seed = k;
            }
            return f;
        };
        if (folders == 0) {
            for (uint32_t k = 0; k < files; ++k) out.push_back(file(k));
            return;
        }
        std::vector<Item> dirs(folders);
        for (uint32_t d = 0; d < folders; ++d) {
            char name[32];
            std::snprintf(name, sizeof name, "d%05u", d);
            dirs[d].kind = Kind::folder;
            dirs[d].name = prefix + name;
        }
        for (uint32_t k = 0; k < files; ++k) dirs[k % folders].children.push_back(file(k));
        for (auto& d : dirs) out.push_back(std::move(d));
    }

    std::filesystem::path base_;
};

} // namespace

Manifest parse_manifest(std::string_view json_text, const std::filesystem::path& base_dir) {
    json j;
    try {
        j = json::parse(json_text);
    } catch (const json::parse_error& e) {
        throw ManifestError(std::string("not valid JSON: ") + e.what());
    }
    return Parser(base_dir).manifest(j);
}

Manifest load_manifest(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw ManifestError("cannot open manifest \"" + path.string() + "\"");
    std::stringstream ss;
    ss << in.rdbuf();
    return parse_manifest(ss.str(), path.parent_path());
}

} // namespace mkhfs
