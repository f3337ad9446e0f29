#!/usr/bin/env python3
"""Checks a volume image made by mkhfs against its manifest with readers that
were not written here: The Sleuth Kit (fls, icat, istat, fsstat) and 7-Zip
(7zz). Where both readers fall short (LZFSE payloads, decmpfs type 5 and
unknown types, the resource-header layout of type 8/12, fork-stored attributes
continued in extent records, the journal), the bytes are fetched through TSK
or located in the image here and decoded by this script.

This script interprets the manifest on its own (contents, names, modes) so
that it shares no code with the builder.

usage: check_volume.py MANIFEST IMAGE
exit status: 0 pass, 1 mismatch, 77 a reader is missing
"""
import hashlib
import json
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import unicodedata
import zlib
from calendar import timegm
from time import strptime

HFS_EPOCH = 2082844800
failures = []


def fail(msg):
    failures.append(msg)


# ---------------------------------------------------------------- contents

def size_value(v):
    if isinstance(v, int):
        return v
    mult = {"K": 1 << 10, "M": 1 << 20, "G": 1 << 30}.get(v[-1].upper(), 1)
    return int(v[:-1] if mult > 1 else v, 0) * mult


def splitmix64(x):
    m = (1 << 64) - 1
    x = (x + 0x9E3779B97F4A7C15) & m
    x = ((x ^ (x >> 30)) * 0xBF58476D1CE4E5B9) & m
    x = ((x ^ (x >> 27)) * 0x94D049BB133111EB) & m
    return x ^ (x >> 31)


def pattern_bytes(name, size, seed):
    if name == "zeros":
        return bytes(size)
    if name == "counter":
        period = bytes((i + seed) % 251 for i in range(251))
        return (period * (size // 251 + 1))[:size]
    if name == "text":
        first = seed // 34
        lines = (size + seed % 34) // 34 + 2
        s = b"".join(b"%08d quorvel sample text line\n" % (k % 100000000) for k in range(first, first + lines))
        return s[seed % 34: seed % 34 + size]
    if name == "random":
        out = bytearray()
        for blk in range((size + 7) // 8):
            out += struct.pack("<Q", splitmix64((seed * 0x100000001B3 + blk) & ((1 << 64) - 1)))
        return bytes(out[:size])
    raise ValueError(name)


def content(spec, base):
    if spec is None:
        return b""
    if isinstance(spec, str):
        return spec.encode()
    if "text" in spec:
        return spec["text"].encode()
    if "file" in spec:
        with open(os.path.join(base, spec["file"]), "rb") as f:
            return f.read()
    return pattern_bytes(spec["pattern"], size_value(spec["size"]), size_value(spec.get("seed", 0)))


def sha(b):
    return hashlib.sha256(b).hexdigest()


# ---------------------------------------------------------------- names

def stored_name(name):
    """The decomposed form the volume stores, as UTF-8 text."""
    out, run = [], []
    for ch in name:
        cp = ord(ch)
        if 0x2000 <= cp <= 0x2FFF or 0xF900 <= cp <= 0xFAFF or cp >= 0x10000:
            out.append(unicodedata.normalize("NFD", "".join(run)))
            run = []
            out.append(ch)
        else:
            run.append(ch)
    out.append(unicodedata.normalize("NFD", "".join(run)))
    return "".join(out)


# ---------------------------------------------------------------- manifest

TYPE_BITS = {"folder": 0o040000, "file": 0o100000, "symlink": 0o120000, "chardev": 0o020000,
             "blockdev": 0o060000, "fifo": 0o010000, "socket": 0o140000}


def parse_date(v):
    if isinstance(v, int):
        return v - HFS_EPOCH
    return timegm(strptime(v.rstrip("Z"), "%Y-%m-%dT%H:%M:%S"))


class Entry:
    def __init__(self, **kw):
        self.__dict__.update(kw)


def expected_entries(manifest, base):
    vol = manifest["volume"]
    vdates = vol.get("dates", {})
    vcreate = parse_date(vdates.get("create", "2024-01-01T00:00:00Z"))
    vmodify = parse_date(vdates["modify"]) if "modify" in vdates else vcreate
    ids = {}
    entries = []
    link_targets = set()

    def scan(items):
        for it in items:
            if it["type"] == "hardlink":
                link_targets.add(it["target"])
            scan(it.get("children", []))
    scan(manifest.get("items", []))

    def walk(items, prefix, under_link=False):
        for it in items:  # prefix: the stored names of the enclosing folders
            t = it["type"]
            if t == "generate":
                folders = it.get("folders", 0)
                files = it.get("files", 0)
                size = size_value(it.get("file_size", 0))
                pat = it.get("pattern", "counter")
                pre = it.get("prefix", "")

                def gen_file(k):
                    d = {"type": "file", "name": "%sf%07u" % (pre, k), "_generated": True}
                    if size:
                        d["data"] = {"pattern": pat, "size": size, "seed": k}
                    return d
                if folders == 0:
                    walk([gen_file(k) for k in range(files)], prefix, under_link)
                else:
                    dirs = [{"type": "folder", "name": "%sd%05u" % (pre, d), "children": []} for d in range(folders)]
                    for k in range(files):
                        dirs[k % folders]["children"].append(gen_file(k))
                    walk(dirs, prefix, under_link)
                continue
            name = stored_name(it["name"])
            parts = prefix + [name]
            path = "/".join(parts)
            dates = it.get("dates")
            if dates:
                d_all = dates.get("all")
                cr = parse_date(dates.get("create", d_all)) if (dates.get("create") or d_all) else 0
                mo = parse_date(dates.get("modify", d_all)) if (dates.get("modify") or d_all) else 0
                ch = parse_date(dates.get("attribute_mod", d_all)) if (dates.get("attribute_mod") or d_all) else 0
                ac = parse_date(dates.get("access", d_all)) if (dates.get("access") or d_all) else 0
            else:
                cr, mo, ch, ac = vcreate, vmodify, vmodify, vmodify
            perms = it.get("perms", {})
            e = Entry(path=path, tsk_name="/".join(c.replace("/", ":") for c in parts),
                      sevenz_path="/".join(c.replace("/", "_") for c in parts), type=t, item=it, cnid=it.get("cnid"), crtime=cr, mtime=mo, ctime=ch, atime=ac,
                      perms=perms, data=b"", rsrc=b"", xattrs={}, xattr_storage={}, compress=it.get("compress"),
                      target=it.get("target"), id=it.get("id"), under_link=under_link,
                      generated=it.get("_generated", False), base=base)
            if t == "file":
                e.data = content(it.get("data"), base)
                e.rsrc = content(it.get("rsrc"), base)
            if t == "symlink":
                e.data = it["target"].encode()
            for x in it.get("xattrs", []):
                e.xattrs[x["name"]] = content(x.get("value"), base)
                e.xattr_storage[x["name"]] = (x.get("storage", "inline"), x.get("extents", 1))
            if e.id:
                ids[e.id] = e
            entries.append(e)
            if t == "folder":
                walk(it.get("children", []), parts, under_link or it.get("id") in link_targets)

    walk(manifest.get("items", []), [])
    # Hard links: the link shows the target's inode and contents (TSK resolves them).
    for e in entries:
        if e.type == "hardlink":
            e.link_target = ids[e.target]
    return entries


def expected_mode(e):
    if e.perms is None:
        return None
    t = e.type
    mode = e.perms.get("mode")
    if mode is None:
        bits = 0o755 if t in ("folder", "symlink") else 0o644
    else:
        bits = int(mode, 8) if isinstance(mode, str) else mode
    return bits & 0o7777


def mode_string(bits):
    s = ""
    for shift in (6, 3, 0):
        v = (bits >> shift) & 7
        s += ("r" if v & 4 else "-") + ("w" if v & 2 else "-") + ("x" if v & 1 else "-")
    s = list(s)
    if bits & 0o4000:
        s[2] = "s" if s[2] == "x" else "S"
    if bits & 0o2000:
        s[5] = "s" if s[5] == "x" else "S"
    if bits & 0o1000:
        s[8] = "t" if s[8] == "x" else "T"
    return "".join(s)


# ---------------------------------------------------------------- decoders (by hand)

def lzvn_literals_decode(b):
    """Decodes an LZVN stream made of literal instructions and the end marker."""
    out, p = bytearray(), 0
    while True:
        op = b[p]
        if op == 0x06:
            return bytes(out)
        if op == 0xE0:
            n = b[p + 1] + 16
            out += b[p + 2:p + 2 + n]
            p += 2 + n
        elif 0xE1 <= op <= 0xEF:
            n = op & 0x0F
            out += b[p + 1:p + 1 + n]
            p += 1 + n
        else:
            raise ValueError("LZVN opcode 0x%02x is not a literal" % op)


def lzfse_stored_decode(b):
    out, p = bytearray(), 0
    while True:
        magic = b[p:p + 4]
        if magic == b"bvx$":
            return bytes(out)
        if magic != b"bvx-":
            raise ValueError("LZFSE block %r is not a stored block" % magic)
        n = struct.unpack_from("<I", b, p + 4)[0]
        out += b[p + 8:p + 8 + n]
        p += 8 + n


def decode_unit(ctype, unit):
    zlib_kind = ctype in (3, 4)
    if unit[:1] == (b"\xff" if zlib_kind else b"\x06"):
        return unit[1:]
    if zlib_kind:
        return zlib.decompress(unit)
    if ctype in (7, 8):
        return lzvn_literals_decode(unit)
    return lzfse_stored_decode(unit)


def decode_resource_fork(ctype, fork, offsets_layout):
    return b"".join(decode_unit(ctype, c) for c in split_resource_fork(fork, offsets_layout))


def split_resource_fork(fork, offsets_layout):
    chunks = []
    if offsets_layout:
        first = struct.unpack_from("<I", fork, 0)[0]
        offs = struct.unpack_from("<%dI" % (first // 4), fork, 0)
        for i in range(len(offs) - 1):
            chunks.append(fork[offs[i]:offs[i + 1]])
    else:
        data_off, map_off, data_len, map_len = struct.unpack_from(">4I", fork, 0)
        if data_off != 0x100 or map_off != data_off + data_len or map_off + map_len != len(fork):
            raise ValueError("resource header %x %x %x %x does not describe the fork" % (data_off, map_off, data_len, map_len))
        if fork[map_off + 30:map_off + 34] != b"cmpf":
            raise ValueError("resource map does not hold type cmpf")
        base = data_off + 4
        n = struct.unpack_from("<I", fork, base)[0]
        for i in range(n):
            off, ln = struct.unpack_from("<II", fork, base + 4 + 8 * i)
            chunks.append(fork[base + off:base + off + ln])
    return chunks


# ---------------------------------------------------------------- readers

def run(cmd, binary=True):
    r = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    return r.stdout if binary else r.stdout.decode("utf-8", "replace"), r.returncode, r.stderr.decode("utf-8", "replace")


def tsk_listing(image):
    out, rc, err = run(["fls", "-r", "-p", "-m", "/", image], binary=False)
    if rc != 0:
        fail("fls failed: " + err.strip())
    listing = {}
    for line in out.splitlines():
        f = line.split("|")
        if len(f) < 11:
            continue
        name = f[1][1:]
        if " -> " in name:
            name = name.split(" -> ")[0]
        listing[name] = {"inode": int(f[2].split("-")[0]), "mode": f[3], "uid": int(f[4]), "gid": int(f[5]),
                         "size": int(f[6]), "atime": int(f[7]), "mtime": int(f[8]), "ctime": int(f[9]),
                         "crtime": int(f[10])}
    return listing


def check_tsk(image, entries, hints):
    listing = tsk_listing(image)
    seen = set()
    # icat per file is slow: for generated trees a spread sample is read, the
    # 7-Zip extraction compares every file.
    generated = [e for e in entries if e.generated]
    stride = max(1, len(generated) // 150)
    sample = set(id(e) for e in generated[::stride])
    xattr_total = sum(len(e.xattrs) for e in entries)
    for e in entries:
        t = listing.get(e.tsk_name)
        if t is None:
            fail("tsk: %s is missing" % e.tsk_name)
            continue
        seen.add(e.tsk_name)
        target = e.link_target if e.type == "hardlink" else e
        if target.cnid is not None and t["inode"] != target.cnid:
            fail("tsk: %s has inode %d, expected %d" % (e.tsk_name, t["inode"], target.cnid))
        if e.type == "hardlink" and target.tsk_name in listing and listing[target.tsk_name]["inode"] != t["inode"]:
            fail("tsk: hard link %s and %s differ in inode" % (e.tsk_name, target.tsk_name))
        if e.type == "hardlink" and target.type == "file":
            links = 1 + sum(1 for x in entries if x.type == "hardlink" and x.link_target is target)
            out, rc, err = run(["istat", image, str(t["inode"])], binary=False)
            if "Link count:\t%d\n" % links not in out:
                fail("tsk: %s does not report %d links" % (e.tsk_name, links))
        letter = {"folder": "d", "file": "r", "symlink": "l", "chardev": "c", "blockdev": "b", "fifo": "p",
                  "socket": "h"}[target.type]
        if t["mode"][2:3] != letter and not (letter == "r" and t["mode"][2:3] == "-"):
            fail("tsk: %s has mode %s, expected type %s" % (e.tsk_name, t["mode"], letter))
        want = expected_mode(target) if target.perms is not None else None
        if target.perms is None:
            if t["mode"][-9:] != "---------":
                fail("tsk: %s without BSD info shows mode %s" % (e.tsk_name, t["mode"]))
        elif want is not None and t["mode"][-9:] != mode_string(want):
            fail("tsk: %s has mode %s, expected %s" % (e.tsk_name, t["mode"], mode_string(want)))
        if target.perms is not None:
            uid = target.perms.get("owner", 501)
            gid = target.perms.get("group", 20)
            if (t["uid"], t["gid"]) != (uid, gid):
                fail("tsk: %s owner %d:%d, expected %d:%d" % (e.tsk_name, t["uid"], t["gid"], uid, gid))
        if e.type != "hardlink":
            for k in ("crtime", "mtime", "ctime", "atime"):
                want_t = max(getattr(target, k), 0)
                if t[k] != want_t:
                    fail("tsk: %s %s is %d, expected %d" % (e.tsk_name, k, t[k], want_t))
        fork_xattrs = any(st == "fork" for st, _ in target.xattr_storage.values())
        if e.generated and id(e) not in sample:
            continue
        if target.type in ("file", "symlink") and not fork_xattrs:
            expect = target.data
            ctype = target.compress["type"] if target.compress else None
            if ctype in (None, 3, 4, 7) or (ctype == 8 and target.compress.get("layout") == "offsets"):
                got, rc, err = run(["icat", image, str(t["inode"])])
                if got != expect:
                    fail("tsk: contents of %s differ (%d bytes, expected %d) %s" % (e.tsk_name, len(got), len(expect), err.strip()))
            if target.rsrc:
                got, rc, err = run(["icat", image, "%d-4353" % t["inode"]])
                if got != target.rsrc:
                    fail("tsk: resource fork of %s differs" % e.tsk_name)
            if ctype is not None and e.type != "hardlink":
                check_compressed_raw(image, t["inode"], target, e.tsk_name)
        if target.type in ("chardev", "blockdev") and e.type != "hardlink":
            out, rc, err = run(["istat", image, str(t["inode"])], binary=False)
            if "Device ID:\t%d" % size_value(target.item.get("rdev", 0)) not in out:
                fail("tsk: %s device number differs" % e.tsk_name)
        if e.type != "hardlink":
            check_tsk_xattrs(image, t["inode"], target, e.tsk_name, 2 if xattr_total > 100 else None)
    allowed_extra = ("$", ".journal", "^^^^HFS+ Private Data", ".HFS+ Private Directory Data^") + tuple(
        e.tsk_name + "/" for e in entries if e.type == "hardlink" and e.link_target.type == "folder")
    for name in listing:
        if name not in seen and not name.startswith(allowed_extra):
            fail("tsk: unexpected entry %s" % name)
    return listing


def check_tsk_xattrs(image, inode, e, name, limit):
    if not e.xattrs:
        return
    out, rc, err = run(["istat", image, str(inode)], binary=False)
    for xname, value in list(e.xattrs.items())[:limit]:
        storage, extents = e.xattr_storage[xname]
        if storage == "fork":
            continue  # TSK refuses fork-stored attributes; checked by hand below
        if any(s == "fork" for s, _ in e.xattr_storage.values()):
            continue  # TSK then gives up on all attributes of the file
        line = [l for l in out.splitlines() if "Name: %s " % xname in l]
        if not line:
            fail("tsk: %s lacks attribute %s" % (name, xname))
            continue
        attr_id = line[0].split("(")[1].split(")")[0]
        got, rc, err = run(["icat", image, "%d-%s" % (inode, attr_id)])
        if got != value:
            fail("tsk: attribute %s of %s differs" % (xname, name))


def check_compressed_raw(image, inode, e, name):
    """Fetches the decmpfs attribute and the resource fork through TSK and
    decodes them here: covers what neither reader decodes."""
    c = e.compress
    ctype = c["type"]
    out, rc, err = run(["istat", image, str(inode)], binary=False)
    line = [l for l in out.splitlines() if "Name: com.apple.decmpfs" in l]
    if not line:
        fail("tsk: %s has no com.apple.decmpfs attribute" % name)
        return
    attr_id = line[0].split("(")[1].split(")")[0]
    attr, rc, err = run(["icat", image, "%d-%s" % (inode, attr_id)])
    if attr[:4] != b"fpmc" or attr[4] != ctype or struct.unpack_from("<Q", attr, 8)[0] != len(e.data):
        fail("raw: decmpfs header of %s is wrong: %r" % (name, attr[:16]))
        return
    if c.get("verbatim"):
        # Pre-encoded units (real LZFSE/LZVN streams) must sit in the volume byte for byte.
        units = []
        for v in c["verbatim"]:
            with open(os.path.join(e.base, v), "rb") as f:
                units.append(f.read())
        if ctype in (4, 8, 12):
            fork, rc, err = run(["icat", image, "%d-4353" % inode])
            try:
                got = split_resource_fork(fork, c.get("layout") == "offsets")
            except Exception as ex:  # noqa: BLE001
                fail("raw: %s: %s" % (name, ex))
                return
        else:
            got = [attr[16:]]
        if got != units:
            fail("raw: the verbatim units of %s are not stored as given" % name)
        return
    try:
        if ctype == 5:
            got = bytes(len(e.data)) if len(attr) == 16 else None
        elif ctype in (4, 8, 12):
            fork, rc, err = run(["icat", image, "%d-4353" % inode])
            got = decode_resource_fork(ctype, fork, c.get("layout") == "offsets")
        elif ctype in (3, 7, 11):
            got = decode_unit(ctype, attr[16:])
        else:
            got = zlib.decompress(attr[16:])  # other types carry a zlib payload
    except Exception as ex:  # noqa: BLE001
        fail("raw: %s: cannot decode: %s" % (name, ex))
        return
    if got != e.data:
        fail("raw: decoded contents of %s differ" % name)


def check_7z(image, entries, hints):
    tmp = tempfile.mkdtemp(prefix="mkhfs-7z-")
    try:
        out, rc, err = run(["7zz", "x", "-y", "-snl", "-sns", "-o" + tmp, image], binary=False)
        roots = [r for r in os.listdir(tmp) if ":" not in r]  # the root's attributes sit beside it
        if len(roots) != 1:
            fail("7z: expected one volume folder, found %r" % roots)
            return
        root = os.path.join(tmp, roots[0])
        skip = set(hints.get("skip_7z", []))
        for e in entries:
            if e.path in skip or e.under_link:
                continue  # items inside a hard-linked folder sit in the private folder
            # 7-Zip shows on-disk '/' as '_'.
            p = os.path.join(root, e.sevenz_path)
            if not os.path.lexists(p):
                fail("7z: %s is missing" % e.sevenz_path)
                continue
            if e.type == "hardlink":
                continue  # 7-Zip shows the bare link record
            if e.id and any(x.type == "hardlink" and x.link_target is e for x in entries):
                continue  # the item became a link record too
            if e.type == "symlink":
                got = os.readlink(p)
                # 7-Zip moves absolute targets below the extraction folder.
                if got != e.item["target"] and not (e.item["target"].startswith("/") and got == tmp + e.item["target"]):
                    fail("7z: link %s points to %s" % (e.sevenz_path, os.readlink(p)))
            elif e.type == "file":
                ctype = e.compress["type"] if e.compress else None
                if ctype in (None, 3, 4, 7) or (ctype == 8 and e.compress.get("layout") == "offsets"):
                    with open(p, "rb") as f:
                        if f.read() != e.data:
                            fail("7z: contents of %s differ" % e.sevenz_path)
                if e.rsrc:
                    with open(p + ":rsrc", "rb") as f:
                        if f.read() != e.rsrc:
                            fail("7z: resource fork of %s differs" % e.sevenz_path)
            elif e.type == "folder" and not os.path.isdir(p):
                fail("7z: %s is not a folder" % e.sevenz_path)
            for xname, value in e.xattrs.items():
                storage, extents = e.xattr_storage[xname]
                if storage == "fork" and extents > 8:
                    continue  # 7-Zip does not follow continuation records
                xp = p + ":" + xname
                if not os.path.exists(xp):
                    fail("7z: %s lacks attribute %s" % (e.sevenz_path, xname))
                    continue
                with open(xp, "rb") as f:
                    if f.read() != value:
                        fail("7z: attribute %s of %s differs" % (xname, e.sevenz_path))
    finally:
        shutil.rmtree(tmp)


# ---------------------------------------------------------------- raw volume structures

class Volume:
    """Just enough of the on-disk layout to find attribute records and the journal."""

    def __init__(self, image):
        self.f = open(image, "rb")
        self.base = 0
        mdb = self.read(1024, 512)
        if mdb[:2] == b"BD":
            first = struct.unpack_from(">H", mdb, 28)[0]
            absz = struct.unpack_from(">I", mdb, 20)[0]
            start = struct.unpack_from(">H", mdb, 126)[0]
            self.base = first * 512 + absz * start
        self.vh = self.read(1024, 512)
        self.bs = struct.unpack_from(">I", self.vh, 40)[0]

    def read(self, off, n):
        self.f.seek(self.base + off)
        return self.f.read(n)

    def fork(self, index):
        return struct.unpack_from(">QII16I", self.vh, 112 + 80 * index)

    def fork_bytes(self, extents, size):
        out = bytearray()
        for start, count in extents:
            out += self.read(start * self.bs, count * self.bs)
        return bytes(out[:size])

    def tree_header(self, index):
        f = self.fork(index)
        node = self.read(f[3] * self.bs, 512)
        return struct.unpack_from(">HIIIIHHIIHIBBI", node, 14)


def attr_key(cnid, start, name):
    n = name.encode("utf-16-be")
    return struct.pack(">HHIIH", 12 + len(n), 0, cnid, start, len(n) // 2) + n


def check_fork_xattrs_raw(image, entries, listing):
    vol = Volume(image)
    f = vol.fork(3)
    tree = vol.fork_bytes([(f[3 + 2 * i], f[4 + 2 * i]) for i in range(8) if f[4 + 2 * i]], f[0])
    for e in entries:
        for xname, value in e.xattrs.items():
            storage, extents = e.xattr_storage[xname]
            if storage != "fork":
                continue
            inode = listing.get(e.tsk_name, {}).get("inode")
            if inode is None:
                continue
            pos = tree.find(attr_key(inode, 0, xname))
            if pos < 0:
                fail("raw: fork record of attribute %s on %s not found" % (xname, e.tsk_name))
                continue
            k = attr_key(inode, 0, xname)
            rec = tree[pos + len(k):]
            rtype, _, size, clump, total = struct.unpack_from(">IIQII", rec, 0)
            if rtype != 0x20 or size != len(value):
                fail("raw: attribute %s on %s: type %#x size %d" % (xname, e.tsk_name, rtype, size))
                continue
            ext = struct.unpack_from(">16I", rec, 24)
            exts = [(ext[2 * i], ext[2 * i + 1]) for i in range(8) if ext[2 * i + 1]]
            got_blocks = sum(c for _, c in exts)
            records = 1
            while got_blocks < total:
                k = attr_key(inode, got_blocks, xname)
                pos = tree.find(k)
                if pos < 0:
                    fail("raw: continuation record at block %d of %s on %s missing" % (got_blocks, xname, e.tsk_name))
                    break
                rec = tree[pos + len(k):]
                if struct.unpack_from(">I", rec, 0)[0] != 0x30:
                    fail("raw: continuation record of %s is not type 0x30" % xname)
                    break
                ext = struct.unpack_from(">16I", rec, 8)
                more = [(ext[2 * i], ext[2 * i + 1]) for i in range(8) if ext[2 * i + 1]]
                exts += more
                got_blocks += sum(c for _, c in more)
                records += 1
            if len(exts) != extents:
                fail("raw: attribute %s on %s has %d extents, expected %d" % (xname, e.tsk_name, len(exts), extents))
            if vol.fork_bytes(exts, size) != value:
                fail("raw: value of fork-stored attribute %s on %s differs" % (xname, e.tsk_name))


def check_volume_raw(image, manifest, hints):
    vol = Volume(image)
    v = manifest["volume"]
    sig, version, attrs = struct.unpack_from(">HHI", vol.vh, 0)
    hfsx = v.get("format", "hfs+") == "hfsx"
    if (sig, version) != ((0x4858, 5) if hfsx else (0x482B, 4)):
        fail("raw: signature %#x version %d" % (sig, version))
    cat = vol.tree_header(2)
    want_cmp = 0xBC if v.get("key_compare") in ("binary", "0xBC", "0xbc") else 0xCF
    if cat[11] != 0 or cat[12] != want_cmp:
        fail("raw: catalog key compare type %#x" % cat[12])
    want_attr = 0x4 if v.get("catalog_key_length", 2) == 1 else 0x6
    if cat[13] != want_attr:
        fail("raw: catalog header attributes %#x, expected %#x" % (cat[13], want_attr))
    if v.get("catalog_key_length", 2) == 1:
        # Neither reader takes 1-byte key lengths: check the first leaf record by hand.
        ns = cat[5]
        f = vol.fork(2)
        node = vol.read(f[3] * vol.bs + cat[3] * ns, ns)
        klen, parent, nlen = node[14], struct.unpack_from(">I", node, 15)[0], struct.unpack_from(">H", node, 19)[0]
        rtype = struct.unpack_from(">H", node, 15 + klen)[0]
        if (klen, parent, rtype) != (6 + 2 * nlen, 1, 1):
            fail("raw: first catalog record with 1-byte key length: len %d parent %d type %d" % (klen, parent, rtype))
    for key, index in (("catalog_depth", 2), ("extents_depth", 1), ("attributes_depth", 3)):
        if key in hints:
            depth = vol.tree_header(index)[0]
            if depth < hints[key]:
                fail("raw: %s is %d, expected at least %d" % (key, depth, hints[key]))
    has_attr = vol.fork(3)[4] != 0
    if has_attr != v.get("attributes_file", True):
        fail("raw: attributes file present: %s" % has_attr)
    j = v.get("journal")
    if (attrs & 0x2000 != 0) != (j is not None):
        fail("raw: journaled bit is %s" % bool(attrs & 0x2000))
    if j is not None:
        jib = struct.unpack_from(">I", vol.vh, 12)[0]
        info = vol.read(jib * vol.bs, 52)
        flags, = struct.unpack_from(">I", info, 0)
        joff, jsize = struct.unpack_from(">QQ", info, 36)
        if flags & 1 == 0 or jsize != size_value(j.get("size", 512 * 1024)):
            fail("raw: journal info block flags %#x size %d" % (flags, jsize))
        hdr = vol.read(joff, 44)
        e = "<" if j.get("byte_order", "big") == "little" else ">"
        magic, endian, start, end, size = struct.unpack_from(e + "IIQQQ", hdr, 0)
        if (magic, endian) != (0x4A4E4C78, 0x12345678):
            fail("raw: journal header magic %#x endian %#x in %s order" % (magic, endian, j.get("byte_order", "big")))
        dirty = j.get("state", "clean") == "dirty"
        if (start != end) != dirty or size != jsize:
            fail("raw: journal start %d end %d size %d (%s expected)" % (start, end, size, j.get("state", "clean")))
    # Allocation bitmap against the free-block count of the volume header.
    total, free = struct.unpack_from(">II", vol.vh, 44)
    f = vol.fork(0)
    bitmap = vol.fork_bytes([(f[3 + 2 * i], f[4 + 2 * i]) for i in range(8) if f[4 + 2 * i]], f[0])
    used = sum(bin(b).count("1") for b in bitmap[:total // 8]) + bin(bitmap[total // 8] >> (8 - total % 8)).count("1") if total % 8 else sum(bin(b).count("1") for b in bitmap[:total // 8])
    if total - used != free:
        fail("raw: bitmap has %d blocks in use, header says %d of %d free" % (used, free, total))


def catalog_records(image):
    """Every leaf record of the catalog file (fetched with TSK's icat of CNID 4),
    walked along the leaf chain: {(parent, name): data}."""
    cat, rc, err = run(["icat", image, "4"])
    ns = struct.unpack_from(">H", cat, 14 + 18)[0]
    first = struct.unpack_from(">I", cat, 14 + 10)[0]
    recs = {}
    node, visited = first, 0
    while node:
        n = cat[node * ns:(node + 1) * ns]
        count = struct.unpack_from(">H", n, 10)[0]
        offs = [struct.unpack_from(">H", n, ns - 2 * (i + 1))[0] for i in range(count + 1)]
        for i in range(count):
            r = n[offs[i]:offs[i + 1]]
            klen, parent, nlen = struct.unpack_from(">HIH", r, 0)
            name = r[8:8 + 2 * nlen].decode("utf-16-be", "surrogatepass")
            recs[(parent, name)] = r[2 + klen:]
        node = struct.unpack_from(">I", n, 0)[0]
        visited += 1
    return recs


def check_catalog_raw(image, manifest, entries, listing):
    """Finder information, flags, the record-without-permissions case, backup
    dates, valences and thread records, straight from the catalog's bytes."""
    recs = catalog_records(image)
    by_cnid = {}
    for (parent, name), data in recs.items():
        rtype = struct.unpack_from(">H", data, 0)[0]
        if rtype in (1, 2):
            by_cnid[struct.unpack_from(">I", data, 8)[0]] = (parent, name, data)
    for cnid, (parent, name, data) in by_cnid.items():
        thread = recs.get((cnid, ""))
        rtype = struct.unpack_from(">H", data, 0)[0]
        if thread is None or struct.unpack_from(">HHI", thread, 0)[::2] != (rtype + 2, parent) or \
                thread[10:].decode("utf-16-be", "surrogatepass") != name:
            fail("raw: CNID %d (%s) lacks a matching thread record" % (cnid, name))
    vol = Volume(image)
    files = sum(1 for _, _, d in by_cnid.values() if d[1] == 2)
    folders = sum(1 for _, _, d in by_cnid.values() if d[1] == 1) - 1
    v = manifest["volume"]
    fc, dc = struct.unpack_from(">II", vol.vh, 32)
    if (fc, dc) != (v.get("file_count", files), v.get("folder_count", folders)):
        fail("raw: header counts %d files %d folders, catalog holds %d and %d" % (fc, dc, files, folders))
    if struct.unpack_from(">I", vol.vh, 64)[0] <= max(by_cnid):
        fail("raw: next_catalog_id is not above every CNID")
    # Every block of every fork (the first eight extents of catalog records and
    # the special files) is marked in the allocation bitmap, and none is shared.
    f = vol.fork(0)
    bitmap = vol.fork_bytes([(f[3 + 2 * i], f[4 + 2 * i]) for i in range(8) if f[4 + 2 * i]], f[0])
    owner = {}
    forks = [("special file %d" % i, vol.vh[112 + 80 * i:192 + 80 * i]) for i in range(5)]
    for cnid, (_, name, data) in by_cnid.items():
        if struct.unpack_from(">H", data, 0)[0] == 2:
            forks += [(name, data[88:168]), (name + " rsrc", data[168:248])]
    for name, fork in forks:
        ext = struct.unpack_from(">16I", fork, 16)
        for i in range(8):
            for b in range(ext[2 * i], ext[2 * i] + ext[2 * i + 1]):
                if not bitmap[b // 8] & (0x80 >> (b % 8)):
                    fail("raw: block %d of %s is free in the bitmap" % (b, name))
                if b in owner:
                    fail("raw: block %d belongs to %s and %s" % (b, owner[b], name))
                owner[b] = name
    for e in entries:
        if e.generated or e.type == "hardlink" or e.tsk_name not in listing:
            continue
        if e.id and any(x.type == "hardlink" and x.link_target is e for x in entries):
            continue
        rec = by_cnid.get(listing[e.tsk_name]["inode"])
        if rec is None:
            fail("raw: no catalog record for %s" % e.tsk_name)
            continue
        data = rec[2]
        folder = e.type == "folder"
        perms = data[32:48]
        if e.perms is None:
            if perms != bytes(16):
                fail("raw: %s should have no BSD information" % e.tsk_name)
        else:
            admin, owner = perms[8], perms[9]
            want_owner = size_value(e.perms.get("owner_flags", 0)) | (0x20 if e.compress else 0)
            if (admin, owner) != (size_value(e.perms.get("admin_flags", 0)), want_owner):
                fail("raw: %s flags admin %#x owner %#x" % (e.tsk_name, admin, owner))
        fi = e.item.get("finder", {})
        if folder:
            flags, v_, h_ = struct.unpack_from(">Hhh", data, 56)
            ext = struct.unpack_from(">H", data, 72)[0]
            ftype = fcreator = None
        else:
            ftype, fcreator, flags, v_, h_ = struct.unpack_from(">IIHhh", data, 48)
            ext = struct.unpack_from(">H", data, 72)[0]
        want_flags = size_value(fi.get("flags", 0)) | (0x4000 if fi.get("invisible") else 0)
        if e.type == "symlink" and "type" not in fi:
            fi = dict(fi, type="slnk", creator="rhap")
        if flags != want_flags or [v_, h_] != fi.get("location", [0, 0]) or ext != size_value(fi.get("ext_flags", 0)):
            fail("raw: %s Finder flags %#x location %d,%d ext %#x" % (e.tsk_name, flags, v_, h_, ext))
        for key, got in (("type", ftype), ("creator", fcreator)):
            if key in fi and got != struct.unpack(">I", fi[key].encode("latin-1"))[0]:
                fail("raw: %s Finder %s %#x" % (e.tsk_name, key, got))
        backup = (e.item.get("dates") or {}).get("backup")
        if backup is not None and struct.unpack_from(">I", data, 28)[0] != parse_date(backup) + HFS_EPOCH:
            fail("raw: %s backup date differs" % e.tsk_name)
        if folder and not e.under_link:
            want = len(e.item.get("children", []))
            for c in e.item.get("children", []):
                if c["type"] == "generate":
                    want += (c.get("folders") or c.get("files", 0)) - 1
            if struct.unpack_from(">I", data, 4)[0] != want:
                fail("raw: %s valence %d, expected %d" % (e.tsk_name, struct.unpack_from(">I", data, 4)[0], want))


def check_root_xattrs(image, manifest):
    xattrs = manifest.get("root", {}).get("xattrs", [])
    if not xattrs:
        return
    out, rc, err = run(["istat", image, "2"], binary=False)
    for x in xattrs:
        line = [l for l in out.splitlines() if "Name: %s " % x["name"] in l]
        if not line:
            fail("tsk: the root folder lacks attribute %s" % x["name"])
            continue
        attr_id = line[0].split("(")[1].split(")")[0]
        got, rc, err = run(["icat", image, "2-%s" % attr_id])
        if got != content(x.get("value"), ""):
            fail("tsk: root attribute %s differs" % x["name"])


def check_fsstat(image, manifest):
    out, rc, err = run(["fsstat", image], binary=False)
    if rc != 0:
        fail("fsstat failed: " + err.strip())
        return
    v = manifest["volume"]
    name = stored_name(v.get("name", "untitled"))
    if "Volume Name: %s\n" % name not in out:
        fail("fsstat: volume name is not %s" % name)
    bs = v.get("block_size", 4096)
    if "Allocation Block Size: %d\n" % bs not in out:
        fail("fsstat: block size is not %d" % bs)
    want = "HFSX" if v.get("format") == "hfsx" else "HFS+"
    if "File System Version: %s" % want not in out:
        fail("fsstat: not %s" % want)


def main():
    if len(sys.argv) != 3:
        print(__doc__)
        return 2
    for tool in ("fls", "icat", "istat", "fsstat", "7zz"):
        if shutil.which(tool) is None:
            print("check_volume: %s is not installed" % tool)
            return 77
    mpath, image = sys.argv[1], sys.argv[2]
    with open(mpath) as f:
        manifest = json.load(f)
    hints = manifest.get("_checks", {})
    entries = expected_entries(manifest, os.path.dirname(mpath))
    if not hints.get("skip_tsk"):
        check_fsstat(image, manifest)
        check_root_xattrs(image, manifest)
    check_volume_raw(image, manifest, hints)
    if not hints.get("skip_tsk"):
        listing = check_tsk(image, entries, hints)
        check_fork_xattrs_raw(image, entries, listing)
        if manifest["volume"].get("catalog_key_length", 2) == 2:
            check_catalog_raw(image, manifest, entries, listing)
    if not hints.get("skip_7z_all"):
        check_7z(image, entries, hints)
    for m in failures[:60]:
        print("FAIL", m)
    if failures:
        print("%d mismatches" % len(failures))
        return 1
    print("ok: %d items agree with the manifest" % len(entries))
    return 0


if __name__ == "__main__":
    sys.exit(main())
