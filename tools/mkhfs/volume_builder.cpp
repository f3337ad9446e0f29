#include "volume_builder.h"

#include "pending_journal.h"

#include "btree.h"
#include "decmpfs.h"
#include "image_file.h"
#include "names.h"

#include <algorithm>
#include <map>
#include <set>
#include <sys/stat.h>

namespace mkhfs {

namespace {

constexpr uint32_t cnid_root_parent = 1, cnid_root = 2, first_user_cnid = 16;
constexpr uint8_t fork_data = 0x00, fork_rsrc = 0xFF;

struct Extent {
    uint32_t start = 0, count = 0;
};

struct Fork {
    Content source;
    uint32_t want_extents = 1;
    uint64_t logical = 0;
    uint32_t blocks = 0;
    std::vector<Extent> extents;
};

struct Attr {
    std::u16string name;
    std::string name_utf8;
    Bytes inline_value; // inline attributes
    bool fork = false;
    Fork fork_data; // fork-stored attributes
};

// One catalog object: a folder or a file record and its thread.
struct Object {
    bool folder = false;
    uint32_t cnid = 0, parent = 0;
    std::u16string name;
    std::string path; // for messages
    bool has_perms = true;
    uint32_t owner = 0, group = 0, special = 0;
    uint8_t admin_flags = 0, owner_flags = 0;
    uint16_t mode = 0;
    Finder finder;
    Dates dates;
    Fork data, rsrc;
    std::vector<Attr> attrs;
    uint32_t valence = 0;
};

[[noreturn]] void fail(const std::string& msg) {
    throw ManifestError(msg);
}

uint32_t div_up(uint64_t a, uint64_t b) {
    return uint32_t((a + b - 1) / b);
}

class Builder {
public:
    explicit Builder(const Manifest& m) : m_(m), v_(m.volume) {}

    BuildSummary run(const std::filesystem::path& output);

private:
    // --- catalog objects -------------------------------------------------
    uint32_t take_cnid(std::optional<uint32_t> wanted) {
        if (wanted) return *wanted;
        while (reserved_.count(next_cnid_)) ++next_cnid_;
        return next_cnid_++;
    }

    void reserve_cnids(const Item& it, const std::string& path) {
        if (it.cnid) {
            if (!reserved_.insert(*it.cnid).second)
                fail(path + ": CNID " + std::to_string(*it.cnid) + " is used twice");
        }
        if (!it.id.empty()) {
            if (!ids_.emplace(it.id, &it).second)
                fail(path + ": id \"" + it.id + "\" is used twice");
        }
        if (it.kind == Kind::hardlink) ++link_count_[it.link_to];
        for (const auto& c : it.children) reserve_cnids(c, path + "/" + c.name);
    }

    Dates dates_of(const Item& it) const {
        if (it.dates) return *it.dates;
        return Dates{v_.create, v_.modify, v_.modify, v_.modify, 0};
    }

    static uint16_t type_bits(Kind k) {
        switch (k) {
        case Kind::folder:
            return S_IFDIR;
        case Kind::symlink:
            return S_IFLNK;
        case Kind::chardev:
            return S_IFCHR;
        case Kind::blockdev:
            return S_IFBLK;
        case Kind::fifo:
            return S_IFIFO;
        case Kind::socket:
            return S_IFSOCK;
        default:
            return S_IFREG;
        }
    }

    void apply_perms(Object& o, const Item& it, Kind k) {
        const Perms& p = it.perms;
        o.has_perms = p.present;
        if (!p.present) return;
        o.owner = p.owner;
        o.group = p.group;
        o.admin_flags = p.admin_flags;
        o.owner_flags = p.owner_flags;
        uint16_t bits = p.mode ? *p.mode
                               : (k == Kind::folder    ? 0755
                                  : k == Kind::symlink ? 0755
                                                       : 0644);
        o.mode = (bits & 0xF000) ? bits : uint16_t(bits | type_bits(k));
        if (p.special) o.special = *p.special;
        if (k == Kind::chardev || k == Kind::blockdev) o.special = it.rdev;
    }

    Object& add(Object o) {
        objects_.push_back(std::move(o));
        return objects_.back();
    }

    void add_attrs(Object& o, const Item& it, const std::string& path) {
        for (const auto& x : it.xattrs) {
            Attr a;
            a.name_utf8 = x.name;
            try {
                a.name = plain_utf16(x.name);
            } catch (const std::exception& e) {
                fail(path + ": attribute " + e.what());
            }
            if (a.name.size() > 127)
                fail(path + ": attribute name \"" + x.name + "\" is longer than 127 units");
            a.fork = x.fork;
            if (x.fork) {
                a.fork_data.source = x.value;
                a.fork_data.want_extents = x.extents;
            } else {
                a.inline_value = x.value.all();
            }
            o.attrs.push_back(std::move(a));
        }
    }

    std::u16string name16(const std::string& utf8, const std::string& path) {
        std::u16string n;
        try {
            n = stored_name(utf8);
        } catch (const std::exception& e) {
            fail(path + ": " + e.what());
        }
        if (n.size() > 255) fail(path + ": name longer than 255 UTF-16 units");
        if (v_.catalog_key_width == 1 && 6 + 2 * n.size() > 255)
            fail(path + ": name too long for 1-byte catalog key lengths (at most 124 units)");
        return n;
    }

    static std::u16string ascii16(std::string_view s) { return std::u16string(s.begin(), s.end()); }

    void add_item(const Item& it, uint32_t parent, const std::string& path);
    void add_link(const Item& at, uint32_t parent, const std::string& path, const Item& target);
    void collect();

    // --- allocation -------------------------------------------------------
    std::vector<Extent> allocate(uint32_t blocks, uint32_t pieces, const std::string& what) {
        if (blocks == 0) return {};
        if (pieces > blocks)
            fail(what + ": " + std::to_string(pieces) +
                 " extents need at least as many blocks (the content fills " +
                 std::to_string(blocks) + ")");
        std::vector<Extent> out;
        uint32_t base = blocks / pieces, extra = blocks % pieces;
        for (uint32_t i = 0; i < pieces; ++i) {
            uint32_t n = base + (i < extra ? 1 : 0);
            out.push_back({next_block_, n});
            used_.push_back({next_block_, n});
            next_block_ += n;
            if (pieces > 1 && i + 1 < pieces) ++next_block_; // a free block between pieces
        }
        return out;
    }

    void place(Fork& f, const std::string& what) {
        f.logical = f.source.length();
        f.blocks = div_up(f.logical, v_.block_size);
        if (f.logical == 0 && f.want_extents > 1)
            fail(what + ": an empty fork cannot have extents");
        f.extents = allocate(f.blocks, f.want_extents, what);
    }

    void write_fork(ImageFile& img, const Fork& f) {
        if (f.source.all_zero()) return;
        Bytes buf;
        uint64_t pos = 0;
        for (const auto& e : f.extents) {
            uint64_t len = std::min<uint64_t>(uint64_t(e.count) * v_.block_size, f.logical - pos);
            uint64_t done = 0;
            while (done < len) {
                size_t n = size_t(std::min<uint64_t>(len - done, 1 << 20));
                buf.resize(n);
                f.source.read(pos + done, buf);
                img.write(vol_offset_ + uint64_t(e.start) * v_.block_size + done, buf);
                done += n;
            }
            pos += len;
        }
    }

    // --- records ----------------------------------------------------------
    Bytes cat_key(uint32_t parent, std::u16string_view name) const {
        Bytes k;
        Writer w(k);
        uint16_t len = uint16_t(6 + 2 * name.size());
        if (v_.catalog_key_width == 2)
            w.be16(len);
        else
            w.u8(uint8_t(len));
        w.be32(parent);
        w.name16(name);
        return k;
    }

    static void fork_record(Writer& w, const Fork& f, uint32_t clump = 0) {
        w.be64(f.logical);
        w.be32(clump);
        w.be32(f.blocks);
        for (size_t i = 0; i < 8; ++i) {
            w.be32(i < f.extents.size() ? f.extents[i].start : 0);
            w.be32(i < f.extents.size() ? f.extents[i].count : 0);
        }
    }

    static void perms_block(Writer& w, const Object& o) {
        if (!o.has_perms) {
            w.zeros(16);
            return;
        }
        w.be32(o.owner);
        w.be32(o.group);
        w.u8(o.admin_flags);
        w.u8(o.owner_flags);
        w.be16(o.mode);
        w.be32(o.special);
    }

    Bytes catalog_record(const Object& o) const {
        Bytes d;
        Writer w(d);
        uint16_t flags = 0x0002; // thread record exists
        if (!o.attrs.empty()) flags |= 0x0004;
        w.be16(o.folder ? 1 : 2);
        w.be16(o.folder ? uint16_t(flags & ~0x0002) : flags);
        w.be32(o.folder ? o.valence : 0);
        w.be32(o.cnid);
        w.be32(o.dates.create);
        w.be32(o.dates.content_mod);
        w.be32(o.dates.attribute_mod);
        w.be32(o.dates.access);
        w.be32(o.dates.backup);
        perms_block(w, o);
        if (o.folder) {
            w.zeros(8); // window rectangle
            w.be16(o.finder.flags);
            w.be16(uint16_t(o.finder.v));
            w.be16(uint16_t(o.finder.h));
            w.be16(0);
            w.zeros(8); // scroll position, reserved
            w.be16(o.finder.ext_flags);
            w.be16(0);
            w.be32(0); // put-away folder
        } else {
            w.be32(o.finder.type);
            w.be32(o.finder.creator);
            w.be16(o.finder.flags);
            w.be16(uint16_t(o.finder.v));
            w.be16(uint16_t(o.finder.h));
            w.be16(0);
            w.zeros(8);
            w.be16(o.finder.ext_flags);
            w.be16(0);
            w.be32(0);
        }
        w.be32(0); // text encoding
        w.be32(0);
        if (!o.folder) {
            fork_record(w, o.data);
            fork_record(w, o.rsrc);
        }
        return d;
    }

    Bytes thread_record(const Object& o) const {
        Bytes d;
        Writer w(d);
        w.be16(o.folder ? 3 : 4);
        w.be16(0);
        w.be32(o.parent);
        w.name16(o.name);
        return d;
    }

    static Bytes ext_key(uint8_t fork, uint32_t cnid, uint32_t start) {
        Bytes k;
        Writer w(k);
        w.be16(10);
        w.u8(fork);
        w.u8(0);
        w.be32(cnid);
        w.be32(start);
        return k;
    }

    static Bytes attr_key(uint32_t cnid, uint32_t start, std::u16string_view name) {
        Bytes k;
        Writer w(k);
        w.be16(uint16_t(12 + 2 * name.size()));
        w.be16(0);
        w.be32(cnid);
        w.be32(start);
        w.name16(name);
        return k;
    }

    static Bytes extents_data(const std::vector<Extent>& ex, size_t from) {
        Bytes d;
        Writer w(d);
        for (size_t i = from; i < from + 8; ++i) {
            w.be32(i < ex.size() ? ex[i].start : 0);
            w.be32(i < ex.size() ? ex[i].count : 0);
        }
        return d;
    }

    std::vector<BTreeRecord> catalog_records() const;
    std::vector<BTreeRecord> extents_records() const;
    std::vector<BTreeRecord> attributes_records() const;

    void write_journal(ImageFile& img);
    Bytes volume_header(uint32_t total_blocks, uint32_t free_blocks) const;
    void write_wrapper(ImageFile& img, uint64_t device_size, uint32_t wrapper_bs,
                       uint32_t wrapper_blocks, uint32_t first_sector, uint32_t embed_count);

    const Manifest& m_;
    const Volume& v_;
    std::set<uint32_t> reserved_;
    std::map<std::string, const Item*> ids_;
    std::map<std::string, uint32_t> link_count_;
    std::map<const Item*, size_t> body_of_; // hard-link target item -> its object
    std::vector<std::pair<size_t, const Item*>> pending_links_; // link object -> target item
    std::vector<const Item*> ancestors_;                        // folders around the current item
    uint32_t next_cnid_ = first_user_cnid;
    std::vector<Object> objects_; // objects_[0] is the root folder
    uint32_t file_links_folder_ = 0, dir_links_folder_ = 0;
    size_t file_links_obj_ = 0, dir_links_obj_ = 0;

    uint64_t vol_offset_ = 0; // byte offset of the HFS+ volume in the image
    uint32_t next_block_ = 0;
    std::vector<Extent> used_;

    Fork alloc_fork_, ext_fork_, cat_fork_, attr_fork_;
    BTreeFile ext_tree_, cat_tree_, attr_tree_;
    uint32_t jinfo_block_ = 0, journal_block_ = 0;
    uint32_t files_ = 0, folders_ = 0, max_cnid_ = 0;
};

void Builder::add_link(const Item& at, uint32_t parent, const std::string& path,
                       const Item& target) {
    Object o;
    o.cnid = take_cnid(at.kind == Kind::hardlink ? at.cnid : std::nullopt);
    o.parent = parent;
    o.name = at.raw_name ? *at.raw_name : name16(at.name, path);
    o.path = path;
    bool dir = target.kind == Kind::folder;
    o.owner = target.perms.owner;
    o.group = target.perms.group;
    o.mode = uint16_t(S_IFREG | 0444);
    o.finder = at.kind == Kind::hardlink ? at.finder : Finder{};
    o.finder.type = dir ? fourcc("fdrp") : fourcc("hlnk");
    o.finder.creator = dir ? fourcc("MACS") : fourcc("hfs+");
    if (dir) o.finder.flags |= 0x8000; // alias
    // Link records carry the creation date of the private folder they lead into.
    o.dates = at.kind == Kind::hardlink && at.dates ? *at.dates : dates_of(at);
    o.dates.create = v_.create;
    pending_links_.emplace_back(objects_.size(), &target);
    add(std::move(o));
}

void Builder::add_item(const Item& it, uint32_t parent, const std::string& path) {
    if (it.kind == Kind::hardlink) {
        auto t = ids_.find(it.link_to);
        if (t == ids_.end()) fail(path + ": hard link to unknown id \"" + it.link_to + "\"");
        const Item& target = *t->second;
        if (target.kind != Kind::file && target.kind != Kind::folder)
            fail(path + ": hard links lead to files or folders only");
        if (std::find(ancestors_.begin(), ancestors_.end(), &target) != ancestors_.end())
            fail(path + ": a folder hard link inside the folder it leads to would make a cycle");
        add_link(it, parent, path, target);
        return;
    }
    const bool linked = !it.id.empty() && link_count_.count(it.id);
    if (linked && it.kind != Kind::file && it.kind != Kind::folder)
        fail(path + ": hard links lead to files or folders only");

    Object o;
    o.folder = it.kind == Kind::folder;
    o.path = path;
    o.dates = dates_of(it);
    o.finder = it.finder;
    apply_perms(o, it, it.kind);
    if (linked) {
        // The item itself becomes a link; its body moves to the private folder.
        add_link(it, parent, path, it);
        o.cnid = take_cnid(it.cnid);
        o.parent = o.folder ? dir_links_folder_ : file_links_folder_;
        o.name = ascii16((o.folder ? "dir_" : "iNode") + std::to_string(o.cnid));
        o.special = link_count_[it.id] + 1;
    } else {
        o.cnid = take_cnid(it.cnid);
        o.parent = parent;
        o.name = it.raw_name ? *it.raw_name : name16(it.name, path);
    }
    add_attrs(o, it, path);
    switch (it.kind) {
    case Kind::file:
        o.data.source = it.data;
        o.data.want_extents = it.data_extents;
        o.rsrc.source = it.rsrc;
        o.rsrc.want_extents = it.rsrc_extents;
        if (it.compress) {
            if (!it.rsrc.empty())
                fail(path +
                     ": a compressed file keeps its chunks in the resource fork; drop \"rsrc\"");
            CompressedFile c;
            try {
                c = compress_file(it.data, *it.compress);
            } catch (const ManifestError&) {
                throw;
            } catch (const std::exception& e) {
                fail(path + ": " + e.what());
            }
            o.data.source = Content{};
            o.data.want_extents = 1;
            o.rsrc.source.kind = Content::Kind::text;
            o.rsrc.source.text.assign(c.resource_fork.begin(), c.resource_fork.end());
            Attr a;
            a.name_utf8 = "com.apple.decmpfs";
            a.name = ascii16(a.name_utf8);
            a.inline_value = std::move(c.attribute);
            o.attrs.insert(o.attrs.begin(), std::move(a));
            o.owner_flags |= 0x20; // compressed
        }
        break;
    case Kind::symlink:
        o.data.source.kind = Content::Kind::text;
        o.data.source.text = it.symlink_target;
        if (it.finder.type == 0 && it.finder.creator == 0) {
            o.finder.type = fourcc("slnk");
            o.finder.creator = fourcc("rhap");
        }
        break;
    default:
        break;
    }
    size_t index = objects_.size();
    if (linked) body_of_[&it] = index;
    add(std::move(o));
    if (it.kind == Kind::folder) {
        uint32_t self = objects_[index].cnid;
        ancestors_.push_back(&it);
        for (const auto& c : it.children) add_item(c, self, path + "/" + c.name);
        ancestors_.pop_back();
    }
}

void Builder::collect() {
    reserve_cnids(m_.root, "");
    bool file_links = false, dir_links = false;
    for (auto& [id, n] : link_count_) {
        auto t = ids_.find(id);
        if (t == ids_.end()) fail("hard link to unknown id \"" + id + "\"");
        (t->second->kind == Kind::folder ? dir_links : file_links) = true;
    }
    Object root;
    root.folder = true;
    root.cnid = cnid_root;
    root.parent = cnid_root_parent;
    root.name = name16(v_.name, "volume.name");
    root.path = "/";
    root.dates =
        m_.root.dates ? *m_.root.dates : Dates{v_.create, v_.modify, v_.modify, v_.modify, 0};
    root.finder = m_.root.finder;
    apply_perms(root, m_.root, Kind::folder);
    add_attrs(root, m_.root, "root");
    add(std::move(root));

    auto private_folder = [&](std::u16string name, uint16_t mode) {
        Object o;
        o.folder = true;
        o.cnid = take_cnid(std::nullopt);
        o.parent = cnid_root;
        o.name = std::move(name);
        o.path = "(private folder)";
        o.owner = o.group = 0;
        o.mode = mode;
        o.finder.flags = 0x5000; // invisible, name locked
        o.dates = Dates{v_.create, v_.create, v_.create, v_.create, 0};
        add(std::move(o));
        return objects_.back().cnid;
    };
    if (file_links) {
        file_links_obj_ = objects_.size();
        file_links_folder_ =
            private_folder(std::u16string(4, u'\0') + u"HFS+ Private Data", S_IFDIR);
    }
    if (dir_links) {
        dir_links_obj_ = objects_.size();
        dir_links_folder_ =
            private_folder(u".HFS+ Private Directory Data\r", uint16_t(S_IFDIR | 01333));
    }
    if (v_.journal) {
        auto journal_file = [&](std::u16string name, uint64_t bytes) {
            Object o;
            o.cnid = take_cnid(std::nullopt);
            o.parent = cnid_root;
            o.name = std::move(name);
            o.path = "(journal)";
            o.owner = o.group = 0;
            o.mode = uint16_t(S_IFREG | 0);
            o.finder = Finder{fourcc("jrnl"), fourcc("hfs+"), 0x5000, 0, 0, 0};
            o.dates = Dates{v_.create, v_.create, v_.create, v_.create, 0};
            o.data.source.kind = Content::Kind::pattern;
            o.data.source.pattern = "zeros"; // written separately
            o.data.source.size = bytes;
            add(std::move(o));
        };
        journal_file(u".journal_info_block", v_.block_size);
        journal_file(u".journal", v_.journal->size);
    }
    for (const auto& c : m_.root.children) add_item(c, cnid_root, "/" + c.name);

    // Link numbers (the body's CNID) and link counts.
    for (auto [obj, target] : pending_links_) {
        auto b = body_of_.find(target);
        if (b == body_of_.end()) fail(objects_[obj].path + ": hard link target was not placed");
        objects_[obj].special = objects_[b->second].cnid;
    }
    // Valences and counts.
    std::map<uint32_t, size_t> by_cnid;
    for (size_t i = 0; i < objects_.size(); ++i) {
        if (!by_cnid.emplace(objects_[i].cnid, i).second)
            fail(objects_[i].path + ": CNID " + std::to_string(objects_[i].cnid) +
                 " is used twice");
        max_cnid_ = std::max(max_cnid_, objects_[i].cnid);
    }
    for (size_t i = 1; i < objects_.size(); ++i) {
        ++objects_[by_cnid.at(objects_[i].parent)].valence;
        (objects_[i].folder ? folders_ : files_)++;
    }
}

std::vector<BTreeRecord> Builder::catalog_records() const {
    struct Keyed {
        uint32_t parent;
        const std::u16string* name;
        const Object* obj;
        bool thread;
    };
    static const std::u16string empty;
    std::vector<Keyed> keys;
    keys.reserve(objects_.size() * 2);
    for (const auto& o : objects_) {
        keys.push_back({o.parent, &o.name, &o, false});
        keys.push_back({o.cnid, &empty, &o, true});
    }
    const bool binary = v_.hfsx && v_.key_compare == 0xBC;
    auto cmp = [binary](const Keyed& a, const Keyed& b) {
        if (a.parent != b.parent) return a.parent < b.parent ? -1 : 1;
        return binary ? compare_binary(*a.name, *b.name) : compare_folded(*a.name, *b.name);
    };
    std::sort(keys.begin(), keys.end(),
              [&](const Keyed& a, const Keyed& b) { return cmp(a, b) < 0; });
    for (size_t i = 1; i < keys.size(); ++i)
        if (cmp(keys[i - 1], keys[i]) == 0)
            fail(keys[i].obj->path + ": another item in the same folder has the same name" +
                 (binary ? "" : " (names are compared case-insensitively)"));
    std::vector<BTreeRecord> recs;
    recs.reserve(keys.size());
    for (const auto& k : keys) {
        BTreeRecord r;
        r.key = cat_key(k.parent, *k.name);
        r.data = k.thread ? thread_record(*k.obj) : catalog_record(*k.obj);
        if (v_.catalog_key_width == 1 && (r.key.size() + r.data.size()) % 2) r.data.push_back(0);
        recs.push_back(std::move(r));
    }
    return recs;
}

std::vector<BTreeRecord> Builder::extents_records() const {
    std::vector<std::tuple<uint32_t, uint8_t, uint32_t, const Fork*, size_t>> keys;
    for (const auto& o : objects_) {
        for (auto [fork, type] : {std::pair{&o.data, fork_data}, std::pair{&o.rsrc, fork_rsrc}}) {
            uint32_t start = 0;
            for (size_t i = 0; i < fork->extents.size(); ++i) {
                if (i >= 8 && i % 8 == 0) keys.emplace_back(o.cnid, type, start, fork, i);
                start += fork->extents[i].count;
            }
        }
    }
    std::sort(keys.begin(), keys.end(), [](const auto& a, const auto& b) {
        return std::tie(std::get<0>(a), std::get<1>(a), std::get<2>(a)) <
               std::tie(std::get<0>(b), std::get<1>(b), std::get<2>(b));
    });
    std::vector<BTreeRecord> recs;
    for (const auto& [cnid, type, start, fork, from] : keys)
        recs.push_back({ext_key(type, cnid, start), extents_data(fork->extents, from)});
    return recs;
}

std::vector<BTreeRecord> Builder::attributes_records() const {
    struct Keyed {
        uint32_t cnid;
        const std::u16string* name;
        uint32_t start;
        const Attr* attr;
        size_t from; // first extent of a continuation record
    };
    std::vector<Keyed> keys;
    for (const auto& o : objects_) {
        for (const auto& a : o.attrs) {
            keys.push_back({o.cnid, &a.name, 0, &a, 0});
            if (a.fork) {
                uint32_t start = 0;
                for (size_t i = 0; i < a.fork_data.extents.size(); ++i) {
                    if (i >= 8 && i % 8 == 0) keys.push_back({o.cnid, &a.name, start, &a, i});
                    start += a.fork_data.extents[i].count;
                }
            }
        }
    }
    std::sort(keys.begin(), keys.end(), [](const Keyed& a, const Keyed& b) {
        if (a.cnid != b.cnid) return a.cnid < b.cnid;
        int c = compare_binary(*a.name, *b.name);
        if (c != 0) return c < 0;
        return a.start < b.start;
    });
    std::vector<BTreeRecord> recs;
    for (size_t i = 0; i < keys.size(); ++i) {
        const auto& k = keys[i];
        if (i > 0 && keys[i - 1].cnid == k.cnid && *keys[i - 1].name == *k.name &&
            keys[i - 1].start == k.start)
            fail("extended attribute \"" + k.attr->name_utf8 + "\" appears twice on CNID " +
                 std::to_string(k.cnid));
        BTreeRecord r;
        r.key = attr_key(k.cnid, k.start, *k.name);
        Writer w(r.data);
        if (k.start != 0) {
            w.be32(0x30);
            w.be32(0);
            w.bytes(extents_data(k.attr->fork_data.extents, k.from));
        } else if (k.attr->fork) {
            w.be32(0x20);
            w.be32(0);
            fork_record(w, k.attr->fork_data);
        } else {
            w.be32(0x10);
            w.be32(0);
            w.be32(0);
            w.be32(uint32_t(k.attr->inline_value.size()));
            w.bytes(k.attr->inline_value);
        }
        if (r.key.size() + r.data.size() + 2 + 14 + 2 > v_.attributes_node)
            fail("extended attribute \"" + k.attr->name_utf8 + "\" of CNID " +
                 std::to_string(k.cnid) + " (" + std::to_string(k.attr->inline_value.size()) +
                 " bytes) does not fit an attributes node inline; store it as a fork or raise "
                 "node_size.attributes");
        recs.push_back(std::move(r));
    }
    return recs;
}

void Builder::write_journal(ImageFile& img) {
    const Journal& j = *v_.journal;
    const uint64_t bs = v_.block_size;
    Bytes info(bs, 0);
    put_be32(info.data(), 1); // the journal lives inside this volume
    put_be64(info.data() + 36, uint64_t(journal_block_) * bs);
    put_be64(info.data() + 44, j.size);
    img.write(vol_offset_ + jinfo_block_ * bs, info);

    const uint32_t jhdr_size = 512, blhdr_size = 4096;
    const uint64_t start = jhdr_size;
    const uint64_t end = j.dirty ? start + blhdr_size + bs : start;
    Bytes hdr(jhdr_size, 0);
    auto put32 = [&](uint8_t* p, uint32_t v) { j.little_endian ? put_le32(p, v) : put_be32(p, v); };
    auto put64 = [&](uint8_t* p, uint64_t v) { j.little_endian ? put_le64(p, v) : put_be64(p, v); };
    put32(hdr.data(), 0x4A4E4C78); // magic
    put32(hdr.data() + 4, 0x12345678);
    put64(hdr.data() + 8, start);
    put64(hdr.data() + 16, end);
    put64(hdr.data() + 24, j.size);
    put32(hdr.data() + 32, blhdr_size);
    put32(hdr.data() + 40, jhdr_size);
    put32(hdr.data() + 36, journal_checksum(std::span(hdr).first(44)));
    const uint64_t base = vol_offset_ + uint64_t(journal_block_) * bs;
    img.write(base, hdr);
    if (j.dirty) {
        // One pending transaction: a block list header naming one volume block
        // (the one holding the volume header) and that block's new contents.
        Bytes bl(blhdr_size, 0);
        auto put16 = [&](uint8_t* p, uint16_t v) {
            if (j.little_endian)
                p[0] = uint8_t(v), p[1] = uint8_t(v >> 8);
            else
                put_be16(p, v);
        };
        put16(bl.data(), uint16_t(blhdr_size / 16 - 1));
        put16(bl.data() + 2, 2);
        put32(bl.data() + 4, uint32_t(blhdr_size + bs));
        put64(bl.data() + 16 + 16, 1024 / 512); // second entry: sector of the volume header
        put32(bl.data() + 16 + 24, uint32_t(bs));
        put32(bl.data() + 8, journal_checksum(std::span(bl).first(32)));
        img.write(base + start, bl);
        Bytes block(bs, 0);
        const std::string_view mark = "quorvel pending journal transaction";
        for (size_t i = 0; i + mark.size() <= block.size(); i += 64)
            std::copy(mark.begin(), mark.end(), block.begin() + long(i));
        img.write(base + start + blhdr_size, block);
    }
}

Bytes Builder::volume_header(uint32_t total_blocks, uint32_t free_blocks) const {
    Bytes h;
    Writer w(h);
    w.be16(v_.hfsx ? 0x4858 : 0x482B);
    w.be16(v_.hfsx ? 5 : 4);
    w.be32(0x00000100 | (v_.journal ? 0x2000 : 0)); // unmounted cleanly, journaled
    w.be32(v_.journal ? fourcc("HFSJ") : fourcc("10.0"));
    w.be32(jinfo_block_);
    w.be32(v_.create);
    w.be32(v_.modify);
    w.be32(v_.backup);
    w.be32(v_.check);
    w.be32(v_.file_count.value_or(files_));
    w.be32(v_.folder_count.value_or(folders_));
    w.be32(v_.block_size);
    w.be32(total_blocks);
    w.be32(free_blocks);
    w.be32(next_block_);
    w.be32(65536); // resource fork clump
    w.be32(65536); // data fork clump
    w.be32(v_.next_catalog_id.value_or(std::max(max_cnid_ + 1, first_user_cnid)));
    w.be32(v_.write_count);
    w.be64(1); // text encodings used: MacRoman
    // Finder information; words 6 and 7 hold the volume identifier.
    uint64_t id = 0xcbf29ce484222325ULL;
    for (char c : v_.name) id = (id ^ uint8_t(c)) * 0x100000001B3ULL;
    id ^= v_.create;
    w.zeros(24);
    w.be64(id);
    fork_record(w, alloc_fork_, v_.block_size);
    fork_record(w, ext_fork_, v_.block_size);
    fork_record(w, cat_fork_, v_.block_size);
    fork_record(w, attr_fork_, v_.block_size);
    w.zeros(80); // startup file
    return h;
}

void Builder::write_wrapper(ImageFile& img, uint64_t device_size, uint32_t wrapper_bs,
                            uint32_t wrapper_blocks, uint32_t first_sector, uint32_t embed_count) {
    Bytes mdb(512, 0);
    uint8_t* p = mdb.data();
    put_be16(p, 0x4244);
    put_be32(p + 2, v_.create);
    put_be32(p + 6, v_.modify);
    put_be16(p + 10, 0x0100); // unmounted cleanly
    put_be16(p + 12, 0);
    put_be16(p + 14, 3); // bitmap starts at sector 3
    put_be16(p + 16, 0);
    put_be16(p + 18, uint16_t(wrapper_blocks));
    put_be32(p + 20, wrapper_bs);
    put_be32(p + 24, wrapper_bs);
    put_be16(p + 28, uint16_t(first_sector));
    put_be32(p + 30, first_user_cnid);
    put_be16(p + 34, 0); // no free blocks: the embedded volume fills the wrapper
    std::string name = v_.name.substr(0, 27);
    for (char& c : name)
        if (uint8_t(c) >= 0x80) c = '_';
    p[36] = uint8_t(name.size());
    std::copy(name.begin(), name.end(), p + 37);
    put_be16(p + 124, 0x482B);
    put_be16(p + 126, uint16_t(v_.wrapper->embed_start));
    put_be16(p + 128, uint16_t(embed_count));
    img.write(1024, mdb);
    img.write(device_size - 1024, mdb);
    // Wrapper bitmap: every block in use.
    Bytes bm(size_t(first_sector - 3) * 512, 0);
    for (uint32_t b = 0; b < wrapper_blocks; ++b) bm[b / 8] |= uint8_t(0x80 >> (b % 8));
    img.write(3 * 512, bm);
}

BuildSummary Builder::run(const std::filesystem::path& output) {
    if (v_.hfsx == false && v_.key_compare != 0xCF)
        fail("volume: HFS+ volumes order names case-insensitively");
    collect();
    const uint32_t bs = v_.block_size;

    // Leading reserved area (boot blocks and volume header: bytes 0..1535).
    next_block_ = div_up(1536, bs);
    used_.push_back({0, next_block_});
    if (v_.journal) {
        jinfo_block_ = next_block_++;
        used_.push_back({jinfo_block_, 1});
        journal_block_ = next_block_;
        uint32_t n = uint32_t(v_.journal->size / bs);
        used_.push_back({journal_block_, n});
        next_block_ += n;
        // The two journal files describe exactly these blocks.
        for (auto& o : objects_) {
            if (o.path != "(journal)") continue;
            bool info = o.name == u".journal_info_block";
            o.data.logical = info ? bs : v_.journal->size;
            o.data.blocks = info ? 1 : n;
            o.data.extents = {{info ? jinfo_block_ : journal_block_, o.data.blocks}};
        }
    }
    for (auto& o : objects_) {
        if (o.path == "(journal)") continue;
        if (!v_.attributes_file && !o.attrs.empty())
            fail(o.path + ": extended attributes (and compression) need the attributes file");
        place(o.data, o.path + " (data fork)");
        place(o.rsrc, o.path + " (resource fork)");
        for (auto& a : o.attrs)
            if (a.fork) place(a.fork_data, o.path + " (attribute " + a.name_utf8 + ")");
    }

    // B-trees, each one contiguous run of blocks.
    auto place_tree = [&](BTreeFile& t, Fork& f) {
        f.logical = t.bytes.size();
        f.blocks = div_up(f.logical, bs);
        f.extents = allocate(f.blocks, 1, "B-tree");
    };
    {
        BTreeOptions o;
        o.node_size = v_.extents_node;
        o.max_key_len = 10;
        o.variable_index_keys = false;
        o.attributes = 0x2;
        o.clump_size = std::max(v_.extents_node, bs);
        o.alloc_unit = bs;
        ext_tree_ = build_btree(extents_records(), o);
        place_tree(ext_tree_, ext_fork_);
    }
    {
        BTreeOptions o;
        o.node_size = v_.catalog_node;
        o.key_length_width = v_.catalog_key_width;
        o.max_key_len = v_.catalog_key_width == 2 ? 516 : 255;
        o.key_compare = v_.key_compare;
        o.attributes = v_.catalog_key_width == 2 ? 0x6 : 0x4;
        o.clump_size = std::max(v_.catalog_node, bs);
        o.alloc_unit = bs;
        cat_tree_ = build_btree(catalog_records(), o);
        place_tree(cat_tree_, cat_fork_);
    }
    if (v_.attributes_file) {
        BTreeOptions o;
        o.node_size = v_.attributes_node;
        o.max_key_len = 266;
        o.attributes = 0x6;
        o.clump_size = std::max(v_.attributes_node, bs);
        o.alloc_unit = bs;
        attr_tree_ = build_btree(attributes_records(), o);
        place_tree(attr_tree_, attr_fork_);
    }

    // Volume size, allocation bitmap and trailing reserved area (alternate header).
    const uint32_t trailing = div_up(1024, bs);
    uint64_t total = 0;
    uint32_t bitmap_blocks = 1;
    if (v_.size) {
        total = *v_.size / bs;
        bitmap_blocks = std::max(1u, div_up(div_up(total, 8), bs));
        uint64_t need = uint64_t(next_block_) + bitmap_blocks + trailing;
        if (total < need)
            fail("volume: size " + std::to_string(*v_.size) +
                 " is too small; the contents need at least " + std::to_string(need * bs) +
                 " bytes");
    } else {
        for (int i = 0; i < 8; ++i) {
            uint64_t slack = 32 + next_block_ / 8;
            total = uint64_t(next_block_) + bitmap_blocks + trailing + slack;
            bitmap_blocks = std::max(1u, div_up(div_up(total, 8), bs));
        }
    }
    if (total > UINT32_MAX) fail("volume: more than 2^32 - 1 blocks; raise the block size");

    // HFS wrapper geometry: the embedded volume must fill whole wrapper blocks.
    uint32_t wrapper_bs = 0, wrapper_blocks = 0, first_sector = 0, embed_count = 0;
    if (v_.wrapper) {
        uint32_t k = 1;
        while (div_up(total, k) + v_.wrapper->embed_start > 65000) k *= 2;
        if (uint64_t(bs) * k > 0x7FFFFE00u) fail("volume: too large for an HFS wrapper");
        total = uint64_t(div_up(total, k)) * k;
        wrapper_bs = bs * k;
        embed_count = uint32_t(total / k);
        wrapper_blocks = v_.wrapper->embed_start + embed_count;
        first_sector = 3 + div_up(div_up(wrapper_blocks, 8), 512);
        vol_offset_ = uint64_t(first_sector) * 512 + uint64_t(wrapper_bs) * v_.wrapper->embed_start;
    }

    alloc_fork_.logical = uint64_t(bitmap_blocks) * bs;
    alloc_fork_.blocks = bitmap_blocks;
    alloc_fork_.extents = allocate(bitmap_blocks, 1, "allocation file");
    used_.push_back({uint32_t(total - trailing), trailing});

    Bytes bitmap(size_t(bitmap_blocks) * bs, 0);
    uint64_t used_blocks = 0;
    for (const auto& e : used_) {
        for (uint32_t b = e.start; b < e.start + e.count; ++b)
            bitmap[b / 8] |= uint8_t(0x80 >> (b % 8));
        used_blocks += e.count;
    }
    const uint32_t free_blocks = uint32_t(total - used_blocks);

    const uint64_t volume_bytes = total * bs;
    const uint64_t device_bytes =
        v_.wrapper ? uint64_t(first_sector) * 512 + uint64_t(wrapper_blocks) * wrapper_bs + 1024
                   : volume_bytes;

    ImageFile img(output);
    img.set_size(device_bytes);
    for (const auto& o : objects_) {
        if (o.path == "(journal)") continue;
        write_fork(img, o.data);
        write_fork(img, o.rsrc);
        for (const auto& a : o.attrs)
            if (a.fork) write_fork(img, a.fork_data);
    }
    auto write_tree = [&](const BTreeFile& t, const Fork& f) {
        if (!f.extents.empty()) img.write(vol_offset_ + uint64_t(f.extents[0].start) * bs, t.bytes);
    };
    write_tree(ext_tree_, ext_fork_);
    write_tree(cat_tree_, cat_fork_);
    if (v_.attributes_file) write_tree(attr_tree_, attr_fork_);
    img.write(vol_offset_ + uint64_t(alloc_fork_.extents[0].start) * bs, bitmap);
    if (v_.journal) write_journal(img);
    Bytes vh = volume_header(uint32_t(total), free_blocks);
    img.write(vol_offset_ + 1024, vh);
    img.write(vol_offset_ + volume_bytes - 1024, vh);
    if (v_.wrapper)
        write_wrapper(img, device_bytes, wrapper_bs, wrapper_blocks, first_sector, embed_count);
    img.finish();

    BuildSummary s;
    s.image_bytes = device_bytes;
    s.total_blocks = uint32_t(total);
    s.free_blocks = free_blocks;
    s.files = files_;
    s.folders = folders_;
    s.catalog_depth = cat_tree_.depth;
    s.extents_depth = ext_tree_.depth;
    s.attributes_depth = attr_tree_.depth;
    return s;
}

} // namespace

BuildSummary build_volume(const Manifest& m, const std::filesystem::path& output) {
    if (m.volume.journal && m.volume.journal->pending) return build_pending_journal(m, output);
    return Builder(m).run(output);
}

} // namespace mkhfs
