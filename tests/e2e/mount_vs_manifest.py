#!/usr/bin/env python3
"""Compares a mounted builder volume with its manifest, and with what 7-Zip
extracts and The Sleuth Kit lists from the same image.

The manifest is read with the model of tests/mkhfs/check_volume.py (contents
patterns, decomposition, dates, modes), which shares no code with the mount.

usage: mount_vs_manifest.py MODE MOUNTPOINT MANIFEST IMAGE [ARGS]
MODE:
  full            the volume mounted with -o rsrc_ext=.rsrc: every item's name,
                  type, mode, owner, group, size, link count, inode, times,
                  link target, data, resource fork, decompressed contents and
                  extended attributes; 7-Zip and TSK agreement; edge cases
  readers         like full without the edge cases of the "everything" volume
  same            like full without the readers and edge cases (option variants
                  that must not change what is shown)
  plain           mounted without options: no resource-fork suffix
  rsrc_only       mounted with -o rsrc_only,rsrc_ext=.rsrc
  nosymlinks      mounted with -o disable_symlinks,rsrc_ext=.rsrc
  defaults M D U G  mounted with default_file_mode=M,default_dir_mode=D,
                  default_uid=U,default_gid=G (octal modes)
  dates ZONE      the daemon runs with TZ=ZONE: the date attributes' text
exit status: 0 pass, 1 mismatch
"""
import ctypes
import errno
import os
import pickle
import shutil
import stat
import struct
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "mkhfs"))
import check_volume as cv  # noqa: E402

SUFFIX = ".rsrc"
HIDDEN_ROOT = {".journal", ".journal_info_block", "\0\0\0\0HFS+ Private Data",
               ".HFS+ Private Directory Data\r"}
problems = []
libc = ctypes.CDLL(None, use_errno=True)
libc.getxattr.argtypes = [ctypes.c_char_p, ctypes.c_char_p, ctypes.c_void_p, ctypes.c_size_t]
libc.getxattr.restype = ctypes.c_ssize_t
libc.listxattr.argtypes = [ctypes.c_char_p, ctypes.c_void_p, ctypes.c_size_t]
libc.listxattr.restype = ctypes.c_ssize_t


def bad(msg):
    problems.append(msg)


def getxattr_sized(path, name, size):
    """getxattr(2) with an exact buffer size: (result, errno, bytes)."""
    buf = ctypes.create_string_buffer(max(size, 1))
    r = libc.getxattr(os.fsencode(path), os.fsencode(name), buf if size else None, size)
    err = ctypes.get_errno() if r < 0 else 0
    return r, err, buf.raw[:max(r, 0)] if size else b""


def listxattr_sized(path, size):
    buf = ctypes.create_string_buffer(max(size, 1))
    r = libc.listxattr(os.fsencode(path), buf if size else None, size)
    err = ctypes.get_errno() if r < 0 else 0
    return r, err, buf.raw[:max(r, 0)] if size else b""


def read_all(path, step=None):
    with open(path, "rb", buffering=0) as f:
        if step is None:
            return f.read()
        out = bytearray()
        while True:
            b = f.read(step)
            if not b:
                return bytes(out)
            out += b


def errno_of(fn, *args):
    try:
        fn(*args)
    except OSError as e:
        return e.errno
    return 0


# ---------------------------------------------------------------- expectations

def item_dates(e, manifest):
    """(create, backup) as HFS dates (0 = none) following mkhfs's defaults."""
    vol = manifest["volume"].get("dates", {})

    def hfs(v):
        return v if isinstance(v, int) else cv.parse_date(v) + cv.HFS_EPOCH
    vcreate = hfs(vol.get("create", "2024-01-01T00:00:00Z"))
    vmodify = hfs(vol["modify"]) if "modify" in vol else vcreate
    d = e.item.get("dates")
    if not d:
        return vcreate, 0
    c = d.get("create", d.get("all"))
    b = d.get("backup")  # never set by "all"
    return (hfs(c) if c is not None else 0), (hfs(b) if b is not None else 0)


def finder_bytes(e):
    f = e.item.get("finder", {})
    out = bytearray(32)
    flags = cv.size_value(f.get("flags", 0)) if not isinstance(f.get("flags", 0), int) else f.get("flags", 0)
    if f.get("invisible"):
        flags |= 0x4000
    if e.type == "symlink":
        f = dict({"type": "slnk", "creator": "rhap"}, **f)  # what mkhfs writes, as macOS does
    if e.type != "folder":
        out[0:4] = f.get("type", "\0\0\0\0").encode("latin-1")[:4].ljust(4, b"\0")
        out[4:8] = f.get("creator", "\0\0\0\0").encode("latin-1")[:4].ljust(4, b"\0")
    loc = f.get("location", [0, 0])
    struct.pack_into(">HhhH", out, 8, flags, loc[0], loc[1], 0)
    ext = f.get("ext_flags", 0)
    struct.pack_into(">H", out, 24, cv.size_value(ext) if isinstance(ext, str) else ext)
    return bytes(out)


def link_count(e, entries):
    if e.type == "folder":
        return 2 + len(children_of(e, entries))
    links = sum(1 for x in entries if x.type == "hardlink" and x.link_target is e)
    return links + 1 if links else 1


def children_of(folder, entries):
    prefix = folder.tsk_name + "/"
    return [x for x in entries if x.tsk_name.startswith(prefix) and "/" not in x.tsk_name[len(prefix):]]


def shown_size(e, block_size):
    if e.type == "folder":
        return block_size
    if e.type in ("file", "symlink"):
        return len(e.data)
    return 0


def date_text(hfs_date):
    t = max(hfs_date - cv.HFS_EPOCH, 0)
    return time.strftime("%Y-%m-%dT%H:%M:%S%z", time.localtime(t)).encode()


def cached_entries(manifest, manifest_path, image):
    """The manifest's expected items (contents generated once per image and
    kept beside it for the other mounts of the same run)."""
    path = image + ".entries.pickle"
    st = os.stat(manifest_path)
    key = (os.path.abspath(manifest_path), st.st_size, st.st_mtime_ns, os.stat(image).st_mtime_ns)
    try:
        with open(path, "rb") as f:
            saved = pickle.load(f)
        if saved["key"] == key:
            return saved["entries"]
    except (OSError, EOFError, pickle.PickleError, KeyError, AttributeError):
        pass
    entries = cv.expected_entries(manifest, os.path.dirname(manifest_path))
    with open(path, "wb") as f:
        pickle.dump({"key": key, "entries": entries}, f)
    return entries


# ---------------------------------------------------------------- checks

class Checker:
    def __init__(self, mode, mnt, manifest_path, image, args):
        import json
        self.mode, self.mnt, self.image, self.args = mode, mnt, image, args
        with open(manifest_path) as f:
            self.manifest = json.load(f)
        self.entries = cached_entries(self.manifest, manifest_path, image)
        self.block_size = cv.size_value(self.manifest["volume"].get("block_size", 4096))
        self.tsk = None
        self.suffix = None if mode == "plain" else SUFFIX
        names = {x.tsk_name for x in self.entries}
        # An on-disk name ending in the suffix whose stem is an item too is
        # shadowed: the path names the stem's other fork.
        self.shadowed = {n for n in names if self.suffix and n.endswith(self.suffix)
                         and n[:-len(self.suffix)] in names}

    def p(self, e, suffix=""):
        return os.path.join(self.mnt, e.tsk_name) + suffix

    def readers(self):
        """What TSK says about the image, kept beside it for the next mounts
        (keyed by the image's size and modification time)."""
        if self.tsk is not None:
            return self.tsk
        path = self.image + ".tsk.pickle"
        st = os.stat(self.image)
        key = (st.st_size, st.st_mtime_ns)
        try:
            with open(path, "rb") as f:
                saved = pickle.load(f)
            if saved["key"] == key:
                self.tsk = saved
                return saved
        except (OSError, EOFError, pickle.PickleError, KeyError):
            pass
        self.tsk = {"key": key, "listing": cv.tsk_listing(self.image), "rsrc": {}}
        for e in self.entries:
            if e.compress and e.type == "file":
                inode = self.tsk["listing"][e.tsk_name]["inode"]
                self.tsk["rsrc"][inode] = cv.run(["icat", self.image, "%d-4353" % inode])[0]
        with open(path, "wb") as f:
            pickle.dump(self.tsk, f)
        return self.tsk

    def tsk_inode(self, e):
        t = self.readers()["listing"].get(e.tsk_name)
        return t["inode"] if t else None

    def raw_rsrc(self, e, inode):
        """The raw resource fork as TSK reads it (compressed files keep their chunks there)."""
        if not e.compress:
            return e.rsrc
        return self.readers()["rsrc"][inode]

    def check_item(self, e, full):
        target = e.link_target if e.type == "hardlink" else e
        path = self.p(e)
        if e.tsk_name in self.shadowed:
            return
        try:
            st = os.lstat(path)
        except OSError as ex:
            bad("%s: lstat: %s" % (e.tsk_name, ex.strerror))
            return
        t = target.type
        nosym = self.mode == "nosymlinks"
        classic = target.perms is None
        if classic and self.mode == "defaults":
            fmode, dmode, uid, gid = int(self.args[0], 8), int(self.args[1], 8), int(self.args[2]), int(self.args[3])
        else:
            fmode, dmode, uid, gid = 0o755, 0o777, 0, 0
        if classic:
            want_mode = (stat.S_IFDIR | dmode) if t == "folder" else (stat.S_IFREG | fmode)
            want_owner = (uid, gid)
        else:
            bits = cv.TYPE_BITS[t]
            if nosym and t == "symlink":
                bits = stat.S_IFREG
            want_mode = bits | cv.expected_mode(target)
            want_owner = (target.perms.get("owner", 501), target.perms.get("group", 20))
        if st.st_mode != want_mode:
            bad("%s: mode %o, expected %o" % (e.tsk_name, st.st_mode, want_mode))
        if (st.st_uid, st.st_gid) != want_owner:
            bad("%s: owner %d:%d, expected %d:%d" % (e.tsk_name, st.st_uid, st.st_gid, *want_owner))
        for k in ("atime", "mtime", "ctime"):
            want_t = max(getattr(target, k), 0)
            if int(getattr(st, "st_" + k)) != want_t:
                bad("%s: %s %d, expected %d" % (e.tsk_name, k, getattr(st, "st_" + k), want_t))
        if target.cnid is not None and st.st_ino != target.cnid:
            bad("%s: inode %d, expected CNID %d" % (e.tsk_name, st.st_ino, target.cnid))
        if t in ("chardev", "blockdev"):
            # Device numbers are stored as macOS makes them: major << 24 | minor.
            rdev = cv.size_value(target.item.get("rdev", 0))
            got = (os.major(st.st_rdev), os.minor(st.st_rdev), st.st_nlink)
            if got != (rdev >> 24, rdev & 0xFFFFFF, 1):
                bad("%s: device %d,%d nlink %d, stored 0x%08x" % (e.tsk_name, *got, rdev))
        else:
            want_links = link_count(target, self.entries)
            if st.st_nlink != want_links:
                bad("%s: %d links, expected %d" % (e.tsk_name, st.st_nlink, want_links))
        rsrc_only = self.mode == "rsrc_only"
        want_size = shown_size(target, self.block_size)
        if rsrc_only and t in ("file", "symlink"):
            want_size = len(target.rsrc) if not target.compress else None
        if want_size is not None and st.st_size != want_size:
            bad("%s: size %d, expected %d" % (e.tsk_name, st.st_size, want_size))
        if t in ("file", "folder") and not rsrc_only:
            bs = self.block_size
            ctype = target.compress["type"] if target.compress else None
            if ctype is not None:
                n = len(target.data)
                want_io, want_blocks = (n if ctype % 2 else min(n, 65536)), 0
            elif t == "file":
                want_io, want_blocks = bs, -(-len(target.data) // bs) * bs // 512
            else:
                want_io, want_blocks = bs, 0
            # The kernel rounds the preferred I/O size down to a power of two.
            want_io = 1 << (want_io.bit_length() - 1) if want_io else 0
            if (ctype is None or want_io) and (st.st_blksize, st.st_blocks) != (want_io, want_blocks):
                bad("%s: blksize %d blocks %d, expected %d and %d" % (
                    e.tsk_name, st.st_blksize, st.st_blocks, want_io, want_blocks))

        if full:
            inode = self.tsk_inode(e)
            if inode is None or st.st_ino != inode:
                bad("%s: inode %d, TSK says %r" % (e.tsk_name, st.st_ino, inode))

        if t == "symlink":
            if nosym:
                if read_all(path) != target.data:
                    bad("%s: contents of the link shown as a file differ" % e.tsk_name)
            elif self.mode == "rsrc_only":
                # The plain path names the (empty) resource fork; the suffix the target.
                if os.readlink(path) != "" or os.readlink(path + SUFFIX) != target.item["target"]:
                    bad("%s: rsrc_only link texts %r" % (e.tsk_name, os.readlink(path)))
            elif os.readlink(path) != target.item["target"]:
                bad("%s: link target %r" % (e.tsk_name, os.readlink(path)))
        if t == "file":
            self.check_file(e, target, path, full)
        self.check_xattrs(e, target, path)

    def check_file(self, e, target, path, full):
        ctype = target.compress["type"] if target.compress else None
        data_path, rsrc_path = path, path + (self.suffix or "")
        if self.mode == "rsrc_only":
            data_path, rsrc_path = rsrc_path, data_path
        unsupported = ctype is not None and ctype not in (3, 4, 5, 7, 8, 11, 12)
        if unsupported:
            if len(target.data) and errno_of(read_all, data_path) not in (errno.EOPNOTSUPP, errno.EIO):
                bad("%s: reading an unsupported compression type did not fail" % e.tsk_name)
            if os.stat(data_path).st_size != len(target.data):
                bad("%s: unsupported compression does not show its header size" % e.tsk_name)
        else:
            got = read_all(data_path, step=7919 if full else None)
            if got != target.data:
                bad("%s: data differs (%d bytes, expected %d)" % (e.tsk_name, len(got), len(target.data)))
            if os.stat(data_path).st_size != len(target.data):
                bad("%s: data view size %d" % (e.tsk_name, os.stat(data_path).st_size))
        inode = os.lstat(path).st_ino
        rsrc = self.raw_rsrc(target, inode)
        try:
            if self.suffix is None:
                raise StopIteration
            got = read_all(rsrc_path)
            if got != rsrc:
                bad("%s: resource fork differs (%d bytes, expected %d)" % (e.tsk_name, len(got), len(rsrc)))
            if os.stat(rsrc_path).st_size != len(rsrc):
                bad("%s: resource view size %d" % (e.tsk_name, os.stat(rsrc_path).st_size))
        except OSError as ex:
            bad("%s: resource fork view: %s" % (e.tsk_name, ex.strerror))
        except StopIteration:
            pass
        if full and not unsupported:
            # Reads at and across the end, through the same descriptor.
            n = len(target.data)
            fd = os.open(path, os.O_RDONLY)
            try:
                if os.pread(fd, 4096, n) != b"" or os.pread(fd, 10, n + 100000) != b"":
                    bad("%s: a read at or after the end returned bytes" % e.tsk_name)
                if n >= 10 and os.pread(fd, 4096, n - 10) != target.data[-10:]:
                    bad("%s: a read across the end is wrong" % e.tsk_name)
                if n > 65536 + 5 and os.pread(fd, 10, 65531) != target.data[65531:65541]:
                    bad("%s: a read across a chunk boundary is wrong" % e.tsk_name)
                if os.fstat(fd).st_size != n:
                    bad("%s: fstat size %d" % (e.tsk_name, os.fstat(fd).st_size))
            finally:
                os.close(fd)
            for bad_name in ("rsrc", "x"):
                if errno_of(os.lstat, os.path.join(path, bad_name)) != errno.ENOTDIR:
                    bad("%s/%s: not ENOTDIR" % (e.tsk_name, bad_name))

    def shown_special(self, target):
        """Shown as neither a regular file nor a folder: Linux serves no user.
        attributes there, and the mount lists none."""
        return target.type not in ("file", "folder") and not (
            self.mode == "nosymlinks" and target.type == "symlink")

    def expected_xattrs(self, target, path):
        """(names listed, name -> value readable by name)."""
        want = {"user." + k: v for k, v in target.xattrs.items()}
        create, backup = item_dates(target, self.manifest)
        made = ["user.quorvel.record.date_created"]
        if backup:
            made.append("user.quorvel.record.date_backedup")
        if target.type == "file":
            rsrc = self.raw_rsrc(target, os.lstat(path).st_ino)
            if rsrc:
                want["user.com.apple.ResourceFork"] = rsrc
                if not target.compress:
                    made.append("user.com.apple.ResourceFork")
        # A hard link shows its target, whose record keeps the item's Finder
        # information; it wins over a stored attribute of the same name.
        fi = finder_bytes(target)
        if any(fi):
            made.append("user.com.apple.FinderInfo")
        want["user.com.apple.FinderInfo"] = fi
        # Each name once; a compressed file's header and resource fork are
        # read by name only.
        hidden = {"user.com.apple.decmpfs", "user.com.apple.ResourceFork"} if target.compress else set()
        names = made + ["user." + k for k in target.xattrs
                        if "user." + k not in made and "user." + k not in hidden]
        return ([] if self.shown_special(target) else names), want

    def check_xattrs(self, e, target, path):
        if self.mode in ("rsrc_only", "defaults"):
            return
        if self.mode == "dates" and target.type in ("file", "folder"):
            create, backup = item_dates(target, self.manifest)
            for name, d in (("user.quorvel.record.date_created", create),
                            ("user.quorvel.record.date_backedup", backup)):
                got = os.getxattr(path, name, follow_symlinks=False)
                if got != date_text(d):
                    bad("%s: %s is %r, expected %r" % (e.tsk_name, name, got, date_text(d)))
        if self.mode == "dates":
            return
        names, want = self.expected_xattrs(target, path)
        got_names = os.listxattr(path, follow_symlinks=False)
        if sorted(got_names) != sorted(names):
            bad("%s: attributes %r, expected %r" % (e.tsk_name, sorted(got_names), sorted(names)))
        special = self.shown_special(target)
        for name, value in want.items():
            if special:
                # Linux serves user.* attributes of regular files and folders only.
                if errno_of(lambda: os.getxattr(path, name, follow_symlinks=False)) != errno.ENODATA:
                    bad("%s: getxattr %s is not ENODATA on a special file" % (e.tsk_name, name))
                continue
            if len(value) > 65536:
                # Beyond the largest value Linux passes (XATTR_SIZE_MAX).
                if errno_of(lambda: os.getxattr(path, name, follow_symlinks=False)) != errno.E2BIG:
                    bad("%s: getxattr %s of %d bytes is not E2BIG" % (e.tsk_name, name, len(value)))
                n, err, _ = getxattr_sized(path, name, 0)
                if n != 65536:  # the FUSE kernel module caps the length it reports
                    bad("%s: size of %s is %d" % (e.tsk_name, name, n))
                continue
            try:
                got = os.getxattr(path, name, follow_symlinks=False)
            except OSError as ex:
                bad("%s: getxattr %s: %s" % (e.tsk_name, name, ex.strerror))
                continue
            if got != value:
                bad("%s: attribute %s differs (%d bytes, expected %d)" % (e.tsk_name, name, len(got), len(value)))
        if target.compress and not special:
            h = os.getxattr(path, "user.com.apple.decmpfs", follow_symlinks=False)
            if h[:4] != b"fpmc" or struct.unpack_from("<IQ", h, 4) != (target.compress["type"], len(target.data)):
                bad("%s: decmpfs header %r" % (e.tsk_name, h[:16]))

    def check_listing(self):
        """Every folder lists exactly its children; d_type and d_ino agree with lstat."""
        folders = [("", None)] + [(e.tsk_name, e) for e in self.entries if e.type == "folder"]
        folders += [(e.tsk_name, e.link_target) for e in self.entries
                    if e.type == "hardlink" and e.link_target.type == "folder"]
        for rel, folder in folders:
            if folder is None:
                want = {x.tsk_name for x in self.entries if "/" not in x.tsk_name}
            else:
                want = {x.tsk_name[len(folder.tsk_name) + 1:] for x in children_of(folder, self.entries)}
            full = os.path.join(self.mnt, rel)
            got = {}
            with os.scandir(full) as it:
                for d in it:
                    got[d.name] = d
            if set(got) != want:
                bad("listing /%s: %r, expected %r" % (rel, sorted(got), sorted(want)))
            for name, d in got.items():
                if os.path.join(rel, name) in self.shadowed:
                    continue
                st = os.lstat(os.path.join(full, name))
                if d.inode() != st.st_ino or stat.S_IFMT(d.stat(follow_symlinks=False).st_mode) != stat.S_IFMT(st.st_mode):
                    bad("listing /%s: %s d_ino/type disagree with lstat" % (rel, name))
                if d.is_dir(follow_symlinks=False) != stat.S_ISDIR(st.st_mode):
                    bad("listing /%s: %s d_type" % (rel, name))

    def check_7z(self):
        """The mount shows what 7-Zip extracts from the same image."""
        if shutil.which("7zz") is None:
            bad("7zz is not installed")
            return
        tmp = tempfile.mkdtemp(prefix="e2e-7z-")
        try:
            subprocess.run(["7zz", "x", "-y", "-snl", "-sns", "-o" + tmp, self.image],
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            roots = [r for r in os.listdir(tmp) if ":" not in r]
            root = os.path.join(tmp, roots[0])
            compared = 0
            for e in self.entries:
                if e.type != "file" or e.under_link or e.tsk_name in self.shadowed:
                    continue
                if e.id and any(x.type == "hardlink" and x.link_target is e for x in self.entries):
                    continue
                ctype = e.compress["type"] if e.compress else None
                if not (ctype in (None, 3, 4, 7) or (ctype == 8 and e.compress.get("layout") == "offsets")):
                    continue
                zp = os.path.join(root, e.sevenz_path)
                with open(zp, "rb") as f:
                    z = f.read()
                if read_all(self.p(e)) != z:
                    bad("7z: %s differs from the mount" % e.tsk_name)
                if e.rsrc and os.path.exists(zp + ":rsrc"):
                    with open(zp + ":rsrc", "rb") as f:
                        if read_all(self.p(e, SUFFIX)) != f.read():
                            bad("7z: resource fork of %s differs from the mount" % e.tsk_name)
                for xname, (storage, extents) in e.xattr_storage.items():
                    if storage == "fork" and extents > 8 or len(e.xattrs[xname]) > 65536:
                        continue  # 7-Zip stops there; Linux cannot pass the value
                    with open(zp + ":" + xname, "rb") as f:
                        if os.getxattr(self.p(e), "user." + xname) != f.read():
                            bad("7z: attribute %s of %s differs from the mount" % (xname, e.tsk_name))
                compared += 1
            if compared < 5:
                bad("7z: only %d files compared" % compared)
        finally:
            shutil.rmtree(tmp)

    def check_edges(self):
        m = self.mnt
        pt = os.path.join(m, "plain.txt")
        # FinderInfo with buffers of 0, 31 and 32 bytes.
        r, err, _ = getxattr_sized(pt, "user.com.apple.FinderInfo", 0)
        if r != 32:
            bad("FinderInfo with size 0: %d" % r)
        r, err, _ = getxattr_sized(pt, "user.com.apple.FinderInfo", 31)
        if r != -1 or err != errno.ERANGE:
            bad("FinderInfo with size 31: %d errno %d" % (r, err))
        r, err, v = getxattr_sized(pt, "user.com.apple.FinderInfo", 32)
        if r != 32 or v[:8] != b"TEXTttxt":
            bad("FinderInfo with size 32: %d %r" % (r, v))
        # A zero FinderInfo is served though not listed (a folder).
        r, err, v = getxattr_sized(os.path.join(m, "Devices"), "user.com.apple.FinderInfo", 32)
        if r != 32 or any(v):
            bad("zero FinderInfo of a folder: %d %r" % (r, v))
        # The list: exactly fitting, one byte short, size 0.
        total, err, _ = listxattr_sized(pt, 0)
        r, err, lst = listxattr_sized(pt, total)
        if r != total or lst.count(b"\0") != len(os.listxattr(pt)):
            bad("listxattr with the exact size: %d of %d" % (r, total))
        r, err, _ = listxattr_sized(pt, total - 1)
        if r != -1 or err != errno.ERANGE:
            bad("listxattr one byte short: %d errno %d" % (r, err))
        # A date text with a short buffer; "user." alone; a missing one.
        r, err, _ = getxattr_sized(pt, "user.quorvel.record.date_created", 23)
        if err != errno.ERANGE:
            bad("date text with 23 bytes: %d errno %d" % (r, err))
        r, err, _ = getxattr_sized(pt, "user.", 100)
        if err != errno.EINVAL:
            bad("getxattr \"user.\": %d errno %d" % (r, err))
        if errno_of(os.getxattr, pt, "user.no.such") != errno.ENODATA:
            bad("a missing attribute is not ENODATA")
        # A stored attribute read with a short buffer.
        r, err, _ = getxattr_sized(os.path.join(m, "xattrs.txt"), "user.com.example.small", 5)
        if err != errno.ERANGE:
            bad("short buffer for a stored attribute: %d errno %d" % (r, err))
        # The resource fork attribute of a file without one; of a folder.
        for p in ("plain.txt", "sub"):
            if errno_of(os.getxattr, os.path.join(m, p), "user.com.apple.ResourceFork") != errno.ENODATA:
                bad("%s: ResourceFork attribute without a resource fork" % p)
        # A folder reached through the suffix lists, but paths below it do not
        # resolve, before or after the listing (as without the cache).
        devs = os.path.join(m, "Devices" + SUFFIX)
        before = errno_of(os.lstat, os.path.join(devs, "pipe"))
        if sorted(os.listdir(devs)) != ["disk", "pipe", "sock", "tty"]:
            bad("Devices%s does not list" % SUFFIX)
        after = errno_of(os.lstat, os.path.join(devs, "pipe"))
        if (before, after) != (errno.ENOENT, errno.ENOENT):
            bad("below Devices%s: %d before the listing, %d after" % (SUFFIX, before, after))
        # The suffix path shows the same attributes as the plain path.
        wr = os.path.join(m, "with rsrc")
        if os.listxattr(wr + SUFFIX) != os.listxattr(wr) or \
                os.getxattr(wr + SUFFIX, "user.quorvel.record.date_created") != \
                os.getxattr(wr, "user.quorvel.record.date_created"):
            bad("the suffix path shows other attributes")
        od = os.path.join(m, "old-dates")
        if "user.quorvel.record.date_backedup" in os.listxattr(od):
            bad("a backup date of 0 is listed")
        # '/' on disk is ':'; the name with '/' cannot be asked for.
        if read_all(os.path.join(m, "a:b slash")) != b"slash inside\n":
            bad("a:b slash not found again")
        # Precomposed input finds the decomposed name; a suffix-shaped on-disk name.
        if read_all(os.path.join(m, "caf\u00e9")) != b"decomposed on disk\n":
            bad("precomposed café not found")
        if read_all(os.path.join(m, "x.rsrc")) != b"the resource fork of x\n":
            bad("x.rsrc does not name the resource fork of x")
        # Repeated and trailing slashes.
        if os.stat(m + "//Links///target").st_ino != 600 or os.stat(m + "/sub/").st_ino != os.stat(m + "/sub").st_ino:
            bad("extra slashes change the result")
        # Case-insensitive volume: another case finds the item.
        if os.stat(os.path.join(m, "PLAIN.TXT")).st_ino != 500:
            bad("case-insensitive lookup failed")
        for p, code in (("missing", errno.ENOENT), ("plain.txt/rsrc", errno.ENOTDIR),
                        ("Devices/missing/x", errno.ENOENT)):
            if errno_of(os.lstat, os.path.join(m, p)) != code:
                bad("%s: not %s" % (p, errno.errorcode[code]))
        # No stored name holds invalid UTF-8: such a path is missing, whatever asks.
        for p in (b"bad\xff", b"Devices/\xc3", b"sub/\xed\xa0\x80/x"):
            full = os.path.join(os.fsencode(m), p)
            for what, fn in (("lstat", os.lstat), ("open", lambda f: open(f, "rb")),
                             ("listdir", os.listdir), ("getxattr", lambda f: os.getxattr(f, "user.x"))):
                if errno_of(fn, full) != errno.ENOENT:
                    bad("%r: %s gives %s, not ENOENT" % (p, what, os.strerror(errno_of(fn, full))))
        if errno_of(os.getxattr, pt, b"user.bad\xff") != errno.ENODATA:
            bad("an attribute name with invalid UTF-8 is not ENODATA")
        if os.stat(m).st_ino != 2:
            bad("the root is not inode 2")
        # A file hard link opened: fstat reports the target.
        with open(os.path.join(m, "Links/deeper/third"), "rb") as f:
            s = os.fstat(f.fileno())
            if s.st_ino != 600 or s.st_nlink != 3:
                bad("an open hard link reports inode %d nlink %d" % (s.st_ino, s.st_nlink))
        # cp -a of a compressed file copies its contents and the listed
        # attributes only, not the compressed data a second time.
        tmp = tempfile.mkdtemp(prefix="e2e-cp-")
        try:
            t4 = next(x for x in self.entries if x.tsk_name == "Compressed/t4")
            src = self.p(t4)
            subprocess.run(["cp", "-a", src, tmp], check=True)
            copy = os.path.join(tmp, "t4")
            names = sorted(os.listxattr(copy))
            if names != sorted(self.expected_xattrs(t4, src)[0]) or read_all(copy) != t4.data:
                bad("cp -a of a compressed file: attributes %r, %d bytes" % (names, len(read_all(copy))))
        finally:
            shutil.rmtree(tmp)
        # A compressed file through an open handle reports its size.
        with open(os.path.join(m, "Compressed/t4"), "rb") as f:
            if os.fstat(f.fileno()).st_size != 200000:
                bad("fstat of an open compressed file")
        r = os.lstat(od)
        if r.st_mtime != 0 or r.st_atime != 2212122495:
            bad("old dates: %d %d" % (r.st_mtime, r.st_atime))

    def run(self):
        full = self.mode in ("full", "readers")
        for e in self.entries:
            self.check_item(e, full)
        if self.mode in ("full", "readers", "same"):
            self.check_listing()
            # The folder hard link's insides are reachable through it.
            for e in self.entries:
                if e.type == "hardlink" and e.link_target.type == "folder":
                    for c in children_of(e.link_target, self.entries):
                        via = os.path.join(self.mnt, e.tsk_name, c.tsk_name[len(e.link_target.tsk_name) + 1:])
                        if os.lstat(via).st_ino != os.lstat(self.p(c)).st_ino:
                            bad("%s differs through the folder link" % via)
        if full:
            self.check_7z()
        if self.mode == "full":
            self.check_edges()


def main():
    if len(sys.argv) < 5:
        print(__doc__)
        return 2
    mode, mnt, manifest, image = sys.argv[1:5]
    if mode == "dates":
        os.environ["TZ"] = sys.argv[5]
        time.tzset()
    c = Checker(mode, mnt, manifest, image, sys.argv[5:])
    c.run()
    for p in problems[:80]:
        print("FAIL", p)
    if problems:
        print("%d differences (%s)" % (len(problems), mode))
        return 1
    print("ok: %d items (%s)" % (len(c.entries), mode))
    return 0


if __name__ == "__main__":
    sys.exit(main())
