// The FUSE handlers on libfuse's low-level API: requests name nodes (see
// frontend/node_table.h), each handler finds the node's catalog record and
// makes one call into the access layer with it. No path is ever built.
#include "frontend/lowlevel_ops.h"

#include "frontend/frontend.h"
#include "frontend/handles.h"
#include "frontend/mount_table.h"

#include "access/device.h"
#include "access/library_results.h"
#include "access/names.h"
#include "access/path_resolve.h"
#include "access/stat.h"
#include "access/xattrs.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstring>
#include <string_view>
#include <syslog.h>
#include <vector>

namespace {

// The largest read request the kernel sends (its max_pages), in KiB.
constexpr unsigned request_kib = 1024;
constexpr std::string_view user_prefix = "user.";
// What libfuse shows for an entry whose inode number is not known (".." of
// the root).
constexpr ino_t unknown_ino = 0xffffffff;

hfs_mount* mount_of(fuse_req_t req) {
    return static_cast<hfs_mount*>(fuse_req_userdata(req));
}

void reply_result(fuse_req_t req, int err) {
    fuse_reply_err(req, err < 0 ? -err : err);
}

uint8_t fork_of(const hfs_mount* mount, bool other_fork) {
    const hfs_device* dev = hfs_get_device(mount->vol);
    const uint8_t shown = dev ? dev->default_fork : HFSLIB_DATA_FORK;
    return other_fork ? static_cast<uint8_t>(~shown) : shown;
}

// The owner and permission overrides of the command line (uid=, gid=, umask=).
void apply_settings(const hfs_reply_settings& s, struct stat& st) {
    if (s.set_uid) st.st_uid = s.uid;
    if (s.set_gid) st.st_gid = s.gid;
    if (s.set_mode) st.st_mode = (st.st_mode & S_IFMT) | (0777 & ~s.umask);
}

// The record a node stands for and, for a folder, the catalog ID of the
// folder shown as its parent ("..").
int node_record(hfs_mount* mount, fuse_ino_t ino, hfs_node& node, hfslib_cat_rec& rec,
                uint32_t* parent_cnid = nullptr) {
    if (!mount->nodes.find(ino, node)) return -ESTALE;
    hfslib_cat_key key{};
    if (int err = hfs_search_result(
            hfslib_find_cat_record_by_cnid(mount->vol, node.cnid, &rec, &key, nullptr)))
        return err;
    if (rec.type != HFSLIB_REC_FOLDER && rec.type != HFSLIB_REC_FILE) return -EIO;
    if (parent_cnid) {
        *parent_cnid = key.parent_cnid;
        hfs_node parent{};
        if (node.parent != 0 && mount->nodes.find(node.parent, parent)) *parent_cnid = parent.cnid;
    }
    return 0;
}

void fill_entry(const hfs_mount* mount, fuse_entry_param& e) {
    e.attr_timeout = mount->settings.attr_timeout;
    e.entry_timeout = mount->settings.entry_timeout;
    apply_settings(mount->settings, e.attr);
}

// Whether the shown name converts back to exactly the on-disk name, as a
// lookup converts it.
bool names_back_to(std::string_view name, const hfslib_uname& on_disk) {
    hfslib_uname back{};
    if (hfs_path_to_uname(name, back) != 0) return false;
    return back.length == on_disk.length &&
           std::equal(back.units, back.units + back.length, on_disk.units);
}

// What a lookup of `name` under `parent` finds: its record, the fork the
// name selects, whether it was reached through a folder link.
struct found_item {
    hfslib_cat_rec rec{};
    bool other_fork = false;
    uint32_t link_cnid = 0; // the folder link it was reached through
};

int find_child(hfs_mount* mount, fuse_ino_t parent, std::string_view name, found_item& out) {
    hfs_node where{};
    hfslib_cat_rec folder{};
    if (int err = node_record(mount, parent, where, folder)) return err;
    if (folder.type != HFSLIB_REC_FOLDER) return -ENOTDIR;
    // Nothing resolves below a folder named by its other fork's name.
    if (where.other_fork) return -ENOENT;
    // A name ending with the resource-fork suffix names the other fork of
    // the name without it (the suffix alone: of the folder itself).
    const hfs_device* dev = hfs_get_device(mount->vol);
    if (hfs_names_other_fork(mount->vol, name, parent == hfs_node_table::root_node)) {
        name.remove_suffix(dev->rsrc_ext.size());
        out.other_fork = true;
    }
    if (name.empty()) {
        out.rec = folder;
        return 0;
    }
    // A folder read lately answers for the names it lists as stored: what
    // the catalog search would find (libfuse 2.9 looks up every entry of a
    // listing).
    if (const auto recent = mount->folders.find(parent))
        if (recent->reader.find_listed(name, out.rec, out.link_cnid)) return 0;
    hfslib_cat_key key{};
    return hfs_lookup_child(mount->vol, where.cnid, name, true, &out.rec, &key, &out.link_cnid);
}

// The entry of a found item: its attributes and node (one lookup counted).
int make_entry(hfs_mount* mount, fuse_ino_t parent, const found_item& item, fuse_entry_param& e) {
    if (int err = hfs_stat_record(mount->vol, item.rec, fork_of(mount, item.other_fork), &e.attr))
        return err;
    uint64_t node = 0;
    if (int err = mount->nodes.child(mount->vol, parent, hfs_record_cnid(item.rec),
                                     item.rec.type == HFSLIB_REC_FOLDER, item.other_fork,
                                     item.link_cnid, node))
        return err;
    e.ino = node;
    fill_entry(mount, e);
    return 0;
}

void ll_init(void* userdata, struct fuse_conn_info* conn) {
    auto* mount = static_cast<hfs_mount*>(userdata);
#if FUSE_USE_VERSION >= 30
    // Listings never change: folders need not be opened, and the kernel
    // keeps what it lists either way.
    if (conn->capable & FUSE_CAP_NO_OPENDIR_SUPPORT) {
        conn->want |= FUSE_CAP_NO_OPENDIR_SUPPORT;
        mount->unopened_folders = true;
    }
    // Every listing carries its entries' attributes, not only a folder's
    // first: the kernel would otherwise list the rest plainly and look each
    // entry up (-o readdirplus=auto restores that).
    conn->want &= ~FUSE_CAP_READDIRPLUS_AUTO;
    const unsigned offered = conn->max_readahead;
    if (mount->connection_options) fuse_apply_conn_info_opts(mount->connection_options, conn);
    // Read ahead as far as one request may carry, unless told otherwise
    // (-o max_readahead=N).
    mount->raise_readahead = conn->max_readahead >= offered;
    // Symbolic links never change: the kernel may keep their targets.
    if (conn->capable & FUSE_CAP_CACHE_SYMLINKS) conn->want |= FUSE_CAP_CACHE_SYMLINKS;
#endif
    mount->descriptor_reads = (conn->want & FUSE_CAP_SPLICE_WRITE) != 0;
}

void ll_destroy(void* userdata) {
    hfs_free_open_handles();
    auto* mount = static_cast<hfs_mount*>(userdata);
    hfslib_unmount(mount->vol, nullptr);
    mount->vol = nullptr;
}

void ll_lookup(fuse_req_t req, fuse_ino_t parent, const char* name) {
    hfs_mount* mount = mount_of(req);
    found_item item;
    fuse_entry_param e{};
    int err = find_child(mount, parent, name, item);
    if (err == 0) err = make_entry(mount, parent, item, e);
    if (err == -ENOENT && mount->settings.negative_timeout > 0) {
        // Kept by the kernel as a missing name.
        e = fuse_entry_param{};
        e.entry_timeout = mount->settings.negative_timeout;
        err = 0;
    }
    if (err) return reply_result(req, err);
    if (fuse_reply_entry(req, &e) != 0 && e.ino != 0) mount->nodes.forget(e.ino, 1);
}

#if FUSE_USE_VERSION >= 30
void ll_forget(fuse_req_t req, fuse_ino_t ino, uint64_t count) {
#else
void ll_forget(fuse_req_t req, fuse_ino_t ino, unsigned long count) {
#endif
    mount_of(req)->nodes.forget(ino, count);
    fuse_reply_none(req);
}

void ll_forget_multi(fuse_req_t req, size_t count, struct fuse_forget_data* forgets) {
    hfs_mount* mount = mount_of(req);
    for (size_t i = 0; i < count; ++i) mount->nodes.forget(forgets[i].ino, forgets[i].nlookup);
    fuse_reply_none(req);
}

void ll_getattr(fuse_req_t req, fuse_ino_t ino, struct fuse_file_info*) {
    hfs_mount* mount = mount_of(req);
    hfs_node node{};
    hfslib_cat_rec rec{};
    struct stat st {};
    int err = node_record(mount, ino, node, rec);
    if (err == 0) err = hfs_stat_record(mount->vol, rec, fork_of(mount, node.other_fork), &st);
    if (err) return reply_result(req, err);
    apply_settings(mount->settings, st);
    fuse_reply_attr(req, &st, mount->settings.attr_timeout);
}

void ll_readlink(fuse_req_t req, fuse_ino_t ino) {
    hfs_mount* mount = mount_of(req);
    hfs_node node{};
    hfslib_cat_rec rec{};
    char target[PATH_MAX + 1];
    int err = node_record(mount, ino, node, rec);
    if (err == 0) err = hfs_read_link(mount->vol, rec, fork_of(mount, node.other_fork), target);
    if (err) return reply_result(req, err);
    fuse_reply_readlink(req, target);
}

void ll_open(fuse_req_t req, fuse_ino_t ino, struct fuse_file_info* fi) {
    hfs_mount* mount = mount_of(req);
    // The kernel takes a file's read-ahead from its mount when the file is
    // opened, and sets the mount's from the reply to the first request: the
    // first open is the time to raise it.
    std::call_once(mount->readahead_raised, [mount] {
        if (mount->raise_readahead) hfs_raise_readahead(mount->mount_point, request_kib);
    });
    hfs_node node{};
    hfslib_cat_rec rec{};
    if (int err = node_record(mount, ino, node, rec)) return reply_result(req, err);
    auto handle = hfs_new_handle<hfs_file_handle>();
    if (!handle) return reply_result(req, -ENOMEM);
    if (int err = handle->reader.open(mount->vol, rec, fork_of(mount, node.other_fork)))
        return reply_result(req, err);
    fi->fh = hfs_handle_to_fh(std::move(handle));
    if (fi->fh == 0) return reply_result(req, -ENOMEM);
    fi->keep_cache = 1;
    fi->direct_io = mount->direct_io;
    if (fuse_reply_open(req, fi) != 0) hfs_take_handle<hfs_file_handle>(fi->fh);
}

void ll_read(fuse_req_t req, fuse_ino_t, size_t size, off_t offset, struct fuse_file_info* fi) {
    hfs_mount* mount = mount_of(req);
    const hfs_file_reader& reader = hfs_handle_from_fh<hfs_file_handle>(fi->fh)->reader;
    // With splicing asked for (-o splice_write), bytes stored as they are
    // read go to the kernel as descriptor ranges, which libfuse splices. The
    // whole request must be covered (a short reply reads as the end of the
    // file), else it is read into memory. Without it, libfuse would copy
    // such ranges through a buffer of its own: slower than reading into
    // memory here.
    constexpr size_t max_ranges = 16;
    struct {
        fuse_bufvec vec;
        fuse_buf more[max_ranges - 1];
    } ranges{};
    size_t count = 0;
    size_t covered = 0;
    const size_t wanted =
        offset >= 0 && static_cast<uint64_t>(offset) < reader.size()
            ? static_cast<size_t>(std::min<uint64_t>(size, reader.size() - offset))
            : 0;
    hfs_stored_range range;
    while (mount->descriptor_reads && covered < wanted && count < max_ranges &&
           reader.locate(offset + static_cast<off_t>(covered), wanted - covered, range)) {
        fuse_buf& buf = ranges.vec.buf[count++];
        buf.size = range.length;
        buf.flags = static_cast<fuse_buf_flags>(FUSE_BUF_IS_FD | FUSE_BUF_FD_SEEK);
        buf.fd = range.fd;
        buf.pos = static_cast<off_t>(range.position);
        covered += range.length;
    }
    if (wanted > 0 && covered == wanted) {
        ranges.vec.count = count;
        fuse_reply_data(req, &ranges.vec, FUSE_BUF_SPLICE_MOVE);
        return;
    }
    // One buffer per request thread, as large as the largest request.
    thread_local std::vector<uint8_t> buffer;
    try {
        if (buffer.size() < size) buffer.resize(size);
    } catch (const std::bad_alloc&) {
        return reply_result(req, -ENOMEM);
    }
    const int got = reader.read({buffer.data(), size}, offset);
    if (got < 0) return reply_result(req, got);
    fuse_reply_buf(req, reinterpret_cast<const char*>(buffer.data()), static_cast<size_t>(got));
}

void ll_release(fuse_req_t req, fuse_ino_t, struct fuse_file_info* fi) {
    hfs_take_handle<hfs_file_handle>(fi->fh);
    fi->fh = 0;
    fuse_reply_err(req, 0);
}

// A new handle on the folder `ino` stands for.
int open_folder(hfs_mount* mount, fuse_ino_t ino, std::unique_ptr<hfs_dir_handle>& handle) {
    hfs_node node{};
    hfslib_cat_rec rec{};
    uint32_t parent_cnid = 0;
    if (int err = node_record(mount, ino, node, rec, &parent_cnid)) return err;
    if (rec.type != HFSLIB_REC_FOLDER) return -ENOTDIR;
    handle = hfs_new_handle<hfs_dir_handle>();
    if (!handle) return -ENOMEM;
    return handle->reader.open(mount->vol, rec, parent_cnid);
}

void ll_opendir(fuse_req_t req, fuse_ino_t ino, struct fuse_file_info* fi) {
    hfs_mount* mount = mount_of(req);
    // The kernel lists the folder without opening it from now on.
    if (mount->unopened_folders) return reply_result(req, -ENOSYS);
    std::unique_ptr<hfs_dir_handle> handle;
    if (int err = open_folder(mount, ino, handle)) return reply_result(req, err);
    fi->fh = hfs_handle_to_fh(std::move(handle));
    if (fi->fh == 0) return reply_result(req, -ENOMEM);
#if FUSE_USE_VERSION >= 30
    // The listing never changes: the kernel keeps it across opens.
    fi->cache_readdir = 1;
    fi->keep_cache = 1;
#endif
    if (fuse_reply_open(req, fi) != 0) hfs_take_handle<hfs_dir_handle>(fi->fh);
}

void ll_releasedir(fuse_req_t req, fuse_ino_t ino, struct fuse_file_info* fi) {
    auto handle = hfs_take_handle<hfs_dir_handle>(fi->fh);
    fi->fh = 0;
    // Kept a while for the lookups of its entries that usually follow.
    try {
        mount_of(req)->folders.add(ino, std::move(handle));
    } catch (const std::bad_alloc&) {}
    fuse_reply_err(req, 0);
}

// Fills one readdir reply of up to `size` bytes from position `offset`:
// "." (0), ".." (1), then the stored entries, each at its index + 2 (an
// entry's reply offset is the position after it). With `plus`, each entry
// carries what its lookup would give, or node 0 where the name resolves to
// something else (the kernel looks it up when used).
void read_folder(fuse_req_t req, fuse_ino_t ino, size_t size, off_t offset,
                 struct fuse_file_info* fi, bool plus) {
    hfs_mount* mount = mount_of(req);
    // An unopened folder's handle is shared by the requests that read it.
    std::shared_ptr<hfs_dir_handle> shared;
    if (fi->fh == 0 && !(shared = mount->folders.find(ino))) {
        std::unique_ptr<hfs_dir_handle> handle;
        if (int err = open_folder(mount, ino, handle)) return reply_result(req, err);
        try {
            shared = std::move(handle);
            mount->folders.add(ino, shared);
        } catch (const std::bad_alloc&) {
            return reply_result(req, -ENOMEM);
        }
    }
    const hfs_folder_reader& reader =
        shared ? shared->reader : hfs_handle_from_fh<hfs_dir_handle>(fi->fh)->reader;
    thread_local std::vector<char> buffer;
    try {
        if (buffer.size() < size) buffer.resize(size);
    } catch (const std::bad_alloc&) {
        return reply_result(req, -ENOMEM);
    }
    char* const buf = buffer.data();
    size_t used = 0;
    hfs_node where{};
    if (!mount->nodes.find(ino, where)) return reply_result(req, -ESTALE);

    // Adds one entry; false when it does not fit. `node` (plus only) is
    // asked for once the entry is known to fit.
    auto add = [&](const char* name, fuse_entry_param& e, int64_t next,
                   [[maybe_unused]] auto&& node) {
#if FUSE_USE_VERSION >= 30
        if (plus) {
            const size_t need = fuse_add_direntry_plus(req, nullptr, 0, name, nullptr, 0);
            if (need > size - used) return false;
            node(e);
            used += fuse_add_direntry_plus(req, buf + used, size - used, name, &e, next);
            return true;
        }
#endif
        const size_t need = fuse_add_direntry(req, nullptr, 0, name, nullptr, 0);
        if (need > size - used) return false;
        used += fuse_add_direntry(req, buf + used, size - used, name, &e.attr, next);
        return true;
    };
    auto no_node = [](fuse_entry_param&) {};

    fuse_entry_param e{};
    if (offset <= 0) {
        hfs_stat(mount->vol, &reader.record(), &e.attr, HFSLIB_DATA_FORK, nullptr);
        if (!add(".", e, 1, no_node)) return (void)fuse_reply_buf(req, buf, used);
    }
    if (offset <= 1) {
        e = fuse_entry_param{};
        hfslib_cat_rec parent{};
        hfslib_cat_key key{};
        if (reader.record().folder.cnid != hfs_node_table::root_cnid &&
            hfslib_find_cat_record_by_cnid(mount->vol, reader.parent_cnid(), &parent, &key,
                                           nullptr) == 0)
            hfs_stat(mount->vol, &parent, &e.attr, HFSLIB_DATA_FORK, nullptr);
        else
            e.attr.st_ino = unknown_ino;
        if (!add("..", e, 2, no_node)) return (void)fuse_reply_buf(req, buf, used);
    }

    const bool in_root = ino == hfs_node_table::root_node;
    const uint8_t shown_fork = fork_of(mount, false);
    found_item item;
    auto entry = [&](uint64_t i, const hfs_child& child) {
        // A name that cannot be handed on is skipped (and reported) so the
        // rest of the folder still lists.
        if (!child.showable) {
            hfslib_report("skipping an entry of folder %u whose name cannot be shown (%d)", nullptr,
                          0, reader.record().folder.cnid, child.text_len);
            return 0;
        }
        const std::string_view name(child.text, static_cast<size_t>(child.text_len));
        // The name as a NUL-terminated string.
        char text[HFS_NAME_TEXT_BUF];
        std::memcpy(text, name.data(), name.size());
        text[name.size()] = '\0';
        item.rec = child.rec;
        item.link_cnid = child.link_cnid;
        item.other_fork = false;
        e = fuse_entry_param{};
        // Attributes go with the entry only where its lookup finds this very
        // record: not below a folder named by its other fork, not for a name
        // the resource-fork suffix gives to another item, not for a name
        // stored in a form a lookup does not find it by.
        bool resolves = plus && !where.other_fork &&
                        !hfs_names_other_fork(mount->vol, name, in_root) &&
                        names_back_to(name, child.key.name);
        if (resolves && hfs_stat_record(mount->vol, item.rec, shown_fork, &e.attr) != 0)
            resolves = false;
        if (!resolves) hfs_stat(mount->vol, &item.rec, &e.attr, HFSLIB_DATA_FORK, nullptr);
        auto node = [&](fuse_entry_param& entry_param) {
            uint64_t id = 0;
            if (!resolves || mount->nodes.child(mount->vol, ino, hfs_record_cnid(item.rec),
                                                item.rec.type == HFSLIB_REC_FOLDER, false,
                                                item.link_cnid, id) != 0)
                return;
            entry_param.ino = id;
            fill_entry(mount, entry_param);
        };
        return add(text, e, static_cast<int64_t>(i) + HFS_FIRST_CHILD + 1, node) ? 0 : 1;
    };
    const uint64_t first =
        offset > HFS_FIRST_CHILD ? static_cast<uint64_t>(offset - HFS_FIRST_CHILD) : 0;
    if (int err = reader.children(
            first,
            [](void* ctx, uint64_t i, const hfs_child& child) {
                return (*static_cast<decltype(entry)*>(ctx))(i, child);
            },
            &entry);
        err != 0 && used == 0)
        return reply_result(req, err);
    // Read to its end: the kernel keeps the listing.
    if (shared && used == 0) mount->folders.drop(ino);
    fuse_reply_buf(req, buf, used);
}

void ll_readdir(fuse_req_t req, fuse_ino_t ino, size_t size, off_t offset,
                struct fuse_file_info* fi) {
    read_folder(req, ino, size, offset, fi, false);
}

#if FUSE_USE_VERSION >= 30
void ll_readdirplus(fuse_req_t req, fuse_ino_t ino, size_t size, off_t offset,
                    struct fuse_file_info* fi) {
    read_folder(req, ino, size, offset, fi, true);
}
#endif

void ll_statfs(fuse_req_t req, fuse_ino_t) {
    struct statvfs st {};
    if (int err = hfs_statfs(mount_of(req)->vol, &st)) return reply_result(req, err);
    fuse_reply_statfs(req, &st);
}

// Replies with an attribute value or name list made by `make` into a buffer
// of `size` bytes (0: its length only).
template <class Make>
void reply_xattr(fuse_req_t req, size_t size, Make make) {
    if (size == 0) {
        const int length = make(std::span<char>{});
        if (length < 0) return reply_result(req, length);
        fuse_reply_xattr(req, static_cast<size_t>(length));
        return;
    }
    std::vector<char> value;
    try {
        value.resize(size);
    } catch (const std::bad_alloc&) {
        return reply_result(req, -ENOMEM);
    }
    const int length = make(std::span<char>(value));
    if (length < 0) return reply_result(req, length);
    fuse_reply_buf(req, value.data(), static_cast<size_t>(length));
}

void ll_getxattr(fuse_req_t req, fuse_ino_t ino, const char* name, size_t size) {
    // Only user. attributes are stored: other namespaces (security.,
    // system., trusted.) are not supported, which tools remember.
    if (!std::string_view(name).starts_with(user_prefix)) return reply_result(req, -EOPNOTSUPP);
    hfs_mount* mount = mount_of(req);
    hfs_node node{};
    hfslib_cat_rec rec{};
    if (int err = node_record(mount, ino, node, rec)) return reply_result(req, err);
    reply_xattr(req, size,
                [&](std::span<char> value) { return hfs_get_xattr(mount->vol, rec, name, value); });
}

void ll_listxattr(fuse_req_t req, fuse_ino_t ino, size_t size) {
    hfs_mount* mount = mount_of(req);
    hfs_node node{};
    hfslib_cat_rec rec{};
    if (int err = node_record(mount, ino, node, rec)) return reply_result(req, err);
    // Linux reads user. attributes of regular files and folders only.
    reply_xattr(req, size, [&](std::span<char> list) {
        return hfs_list_xattrs(mount->vol, rec, list, hfs_xattr_scope::files_and_folders);
    });
}

fuse_lowlevel_ops make_ops() {
    fuse_lowlevel_ops ops{};
    ops.init = ll_init;
    ops.destroy = ll_destroy;
    ops.lookup = ll_lookup;
    ops.forget = ll_forget;
    ops.forget_multi = ll_forget_multi;
    ops.getattr = ll_getattr;
    ops.readlink = ll_readlink;
    ops.open = ll_open;
    ops.read = ll_read;
    ops.release = ll_release;
    ops.opendir = ll_opendir;
    ops.readdir = ll_readdir;
#if FUSE_USE_VERSION >= 30
    ops.readdirplus = ll_readdirplus;
#endif
    ops.releasedir = ll_releasedir;
    ops.statfs = ll_statfs;
    ops.getxattr = ll_getxattr;
    ops.listxattr = ll_listxattr;
    return ops;
}

} // namespace

const struct fuse_lowlevel_ops* hfs_lowlevel_ops() {
    static const fuse_lowlevel_ops ops = make_ops();
    return &ops;
}
