#!/usr/bin/env python3
"""Damaged disk images: damaged variants of real UDIF images and of crafted
sparse images and bundles, each mounted and walked.

Usage: damaged_disk_images.py WORKDIR [--jobs N] [--budget N] [--only SUBSTRING] [--verbose]

--budget N mounts about N variants, taken evenly from every base image and
kind of damage (0: all of them).

Base images: a few real .dmg images of the shared folder (SHARED_DMG; zlib,
bzip2, LZFSE, LZMA and ADC runs, GPT disks and a whole-disk volume; skipped
when absent) and a sparse image and a sparse bundle built by MKHFS from
tests/hostile/manifests/mixed.json. Variants are derived at run time and
never stored beyond the run: truncations, rewritten trailer fields, damaged
property lists, damaged run tables, flipped compressed bytes, damaged band
tables, missing band files.

Besides, hostile images that must always be refused at open, promptly and
with a message saying why (never mounted, so nothing of what they point at
is shown): band files, an Info.plist and a segment that are FIFOs, device
nodes or links, a FIFO given as the volume, an old image whose resource
fork names one table a million times, and runs decoding one stored range
again. These are mounted whatever the budget.

For each variant the image is written, hashed, mounted with the real daemon
(QUORVEL) and walked completely by walker.py under a time limit, as
damaged_volumes.py does: the daemon must not crash or hang, must hold the
image read-only, must unmount cleanly, must print no sanitizer report, and
the image must hash the same afterwards. Refusing an image is fine when it
comes with a message and a plain non-zero exit.

Exits 1 on any failure, 77 when FUSE is unavailable.
"""
import argparse
import base64
import hashlib
import json
import os
import re
import shutil
import stat
import struct
import subprocess
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import mountlib  # noqa: E402

WALK_TIMEOUT = 120
VERBOSE = False
REAL_DMG = ["keramics_hfsplus_zlib.dmg", "keramics_hfsplus_bzip2.dmg",
            "keramics_hfsplus_lzfse.dmg", "keramics_hfsplus_lzma.dmg",
            "keramics_hfsplus_adc.dmg", "dfvfs_hfsplus_zlib.dmg",
            "nodeudif_zlib-compressed.dmg"]
COMPRESSED = {0x80000004, 0x80000005, 0x80000006, 0x80000007, 0x80000008}
RAW, ZERO, IGNORE, COMMENT, END = 1, 0, 2, 0x7FFFFFFE, 0xFFFFFFFF
U64 = (1 << 64) - 1


# --- UDIF -------------------------------------------------------------------

class Udif:
    """The parts of a UDIF image: data fork, property list, trailer."""

    def __init__(self, data):
        self.data = data
        self.koly = bytearray(data[-512:])
        assert self.koly[:4] == b"koly"
        self.fork_at, self.fork_len = struct.unpack_from(">QQ", self.koly, 24)
        self.xml_at, self.xml_len = struct.unpack_from(">QQ", self.koly, 216)
        self.xml = data[self.xml_at:self.xml_at + self.xml_len]
        # Every mish table: (start, end) of its base64 text in the XML.
        self.tables = [(m.start(1), m.end(1)) for m in
                       re.finditer(rb"<key>Data</key>\s*<data>([^<]*)</data>", self.xml)]
        self.tables = [t for i, t in enumerate(self.tables) if self.mish(i)[:4] == b"mish"]
        # The table with the most runs (the HFS+ partition or whole volume).
        best = max(range(len(self.tables)), key=lambda i: len(self.mish(i)))
        self.main = best

    def mish(self, i):
        s, e = self.tables[i]
        return bytearray(base64.b64decode(re.sub(rb"\s", b"", self.xml[s:e])))

    def runs(self, blob):
        n = struct.unpack_from(">I", blob, 200)[0]
        return [list(struct.unpack_from(">IIQQQQ", blob, 204 + 40 * k))
                for k in range(min(n, (len(blob) - 204) // 40))]

    @staticmethod
    def put_runs(blob, runs):
        for k, r in enumerate(runs):
            struct.pack_into(">IIQQQQ", blob, 204 + 40 * k, *r)

    def build(self, xml=None, koly=None, fork=None):
        """The image with the XML, trailer and/or data fork replaced; the XML
        is placed after the fork and the trailer's offsets follow it."""
        xml = self.xml if xml is None else xml
        k = bytearray(self.koly if koly is None else koly)
        fork = self.data[self.fork_at:self.fork_at + self.fork_len] if fork is None else fork
        head = self.data[:self.fork_at]
        if koly is None:
            struct.pack_into(">QQ", k, 24, self.fork_at, len(fork))
            struct.pack_into(">QQ", k, 216, len(head) + len(fork), len(xml))
        return head + fork + xml + bytes(k)

    def with_table(self, blob, i=None):
        i = self.main if i is None else i
        s, e = self.tables[i]
        text = base64.b64encode(bytes(blob))
        return self.build(xml=self.xml[:s] + text + self.xml[e:])

    def with_rsrc(self, fork):
        """The image with its tables in the resource fork `fork` (placed
        after the data fork) and no property list, as old images are."""
        k = bytearray(self.koly)
        data = self.data[:self.fork_at + self.fork_len]
        struct.pack_into(">QQ", k, 40, len(data), len(fork))
        struct.pack_into(">QQ", k, 216, 0, 0)
        return data + fork + bytes(k)

    def koly_field(self, fmt, at, value):
        k = bytearray(self.koly)
        struct.pack_into(fmt, k, at, value)
        return self.data[:-512] + bytes(k)


def rsrc_fork(tables, types):
    """A classic resource fork holding the mish `tables` (each stored once)
    and one 'blkx' type per entry of `types`: a list of table positions, or
    ("same", N, i), N references to table i. Types with the same list share
    one reference list."""
    data = bytearray()
    at = []
    for t in tables:
        at.append(len(data))
        data += struct.pack(">I", len(t)) + t
    ref_lists, offsets = bytearray(), {}
    entries = bytearray()
    head = 2 + 8 * len(types)
    for refs in types:
        key = repr(refs)
        if key not in offsets:
            offsets[key] = head + len(ref_lists)
            names = [refs[2]] * refs[1] if refs[0] == "same" else refs
            for i in names:
                ref_lists += struct.pack(">hHB", -1, 0xFFFF, 0x50) + at[i].to_bytes(3, "big") + \
                    bytes(4)
        count = refs[1] if refs[0] == "same" else len(refs)
        entries += b"blkx" + struct.pack(">HH", count - 1, offsets[key])
    map_at = 256 + len(data)
    fork = bytearray(struct.pack(">IIII", 256, map_at, len(data), 0)).ljust(256, b"\0") + data
    fork += bytes(24) + struct.pack(">HH", 28, 0)
    fork += struct.pack(">H", len(types) - 1) + entries + ref_lists
    struct.pack_into(">I", fork, 12, len(fork) - map_at)
    return bytes(fork)


def udif_variants(u):
    """(kind, label, bytes) for one UDIF image."""
    out = []
    d = u.data
    blob = u.mish(u.main)
    runs = u.runs(blob)
    comp = [k for k, r in enumerate(runs) if r[0] in COMPRESSED or r[0] == RAW]
    big = max(comp, key=lambda k: runs[k][5]) if comp else 0
    first = comp[0] if comp else 0

    # Truncations.
    out.append(("truncate", "trailer-gone", d[:-512]))
    out.append(("truncate", "trailer-half", d[:-300]))
    if comp:
        r = runs[big]
        mid = u.fork_at + r[4] + r[5] // 2
        out.append(("truncate", "fork-cut-mid-run", d[:mid]))
        # The fork cut mid-run but the plist and trailer kept (they claim more).
        fork = d[u.fork_at:mid]
        k = bytearray(u.koly)
        struct.pack_into(">QQ", k, 216, u.fork_at + len(fork), len(u.xml))
        out.append(("truncate", "fork-cut-trailer-kept",
                    d[:u.fork_at] + fork + u.xml + bytes(k)))

    # Trailer fields.
    for label, fmt, at, v in [
            ("fork-offset-huge", ">Q", 24, U64 - 1000), ("fork-offset-past-end", ">Q", 24, len(d)),
            ("fork-length-0", ">Q", 32, 0), ("fork-length-half", ">Q", 32, u.fork_len // 2),
            ("fork-length-huge", ">Q", 32, U64 // 2),
            ("plist-offset-huge", ">Q", 216, U64 - 10), ("plist-offset-in-fork", ">Q", 216, 0),
            ("plist-length-0", ">Q", 224, 0), ("plist-length-1", ">Q", 224, 1),
            ("plist-length-huge", ">Q", 224, 1 << 40),
            ("sectors-0", ">Q", 492, 0), ("sectors-huge", ">Q", 492, U64),
            ("sectors-1", ">Q", 492, 1),
            ("segment-number-5", ">I", 56, 5), ("segment-count-0", ">I", 60, 0),
            ("segment-count-3", ">I", 60, 3), ("version-99", ">I", 4, 99),
            ("header-size-0", ">I", 8, 0), ("running-offset", ">Q", 16, 1 << 20)]:
        out.append(("trailer", label, u.koly_field(fmt, at, v)))

    # The same tables in a resource fork.
    out.append(("rsrc", "tables-in-resource-fork",
                u.with_rsrc(rsrc_fork([bytes(u.mish(i)) for i in range(len(u.tables))],
                                      [list(range(len(u.tables)))]))))

    # Property list.
    out.append(("plist", "not-xml", u.build(xml=bytes((b ^ 0x5A) for b in u.xml))))
    out.append(("plist", "cut-half", u.build(xml=u.xml[:len(u.xml) // 2])))
    s, e = u.tables[u.main]
    out.append(("plist", "base64-bad-char", u.build(xml=u.xml[:s + 8] + b"!*?" + u.xml[s + 11:])))
    out.append(("plist", "base64-cut", u.build(xml=u.xml[:s] + u.xml[s:e][:61] + u.xml[e:])))
    out.append(("plist", "no-blkx", u.build(xml=u.xml.replace(b"<key>blkx</key>",
                                                                b"<key>blkz</key>"))))
    out.append(("plist", "data-empty", u.build(xml=u.xml[:s] + u.xml[e:])))

    # Run tables.
    def table(label, edit):
        b = bytearray(blob)
        rs = [list(r) for r in runs]
        edit(b, rs)
        Udif.put_runs(b, rs)
        out.append(("mish", label, u.with_table(b)))

    def setcount(n):
        return lambda b, rs: struct.pack_into(">I", b, 200, n)
    table("count-huge", setcount(0xFFFFFFFF))
    table("count-plus-1000", setcount(len(runs) + 1000))
    table("count-0", setcount(0))
    table("signature", lambda b, rs: b.__setitem__(slice(0, 4), b"hsim"))
    table("first-sector-huge", lambda b, rs: struct.pack_into(">Q", b, 8, U64 - 5))
    table("table-sectors-huge", lambda b, rs: struct.pack_into(">Q", b, 16, U64 - 5))
    if comp:
        def run(label, k, field, value):
            def edit(b, rs):
                rs[k][field] = value
            table(label, edit)
        run("run-sector-overflow", first, 2, U64 - 3)
        run("run-count-overflow", first, 3, U64 - 3)
        run("run-count-plus-1", big, 3, runs[big][3] + 1)
        run("run-count-minus-1", big, 3, max(0, runs[big][3] - 1))
        run("run-offset-past-fork", big, 4, u.fork_len + 4096)
        run("run-offset-huge", big, 4, U64 - 10)
        run("run-length-past-fork", big, 5, u.fork_len * 2 + 1)
        run("run-length-huge", big, 5, U64 - 10)
        run("run-length-0", big, 5, 0)
        run("run-type-unknown", big, 0, 0x80000099)
        for t in (0x80000004, 0x80000005, 0x80000006, 0x80000007, 0x80000008, RAW, ZERO):
            if t != runs[big][0]:
                run(f"run-type-{t:x}", big, 0, t)
        if len(comp) > 1:
            a, b2 = comp[0], comp[1]
            run("runs-overlap", b2, 2, runs[a][2])

            def swap(b, rs):
                rs[a], rs[b2] = rs[b2], rs[a]
            table("runs-unordered", swap)

            def same_bytes(b, rs):
                rs[b2][4], rs[b2][5] = rs[a][4], rs[a][5]
            table("runs-share-bytes", same_bytes)

        # Compressed bytes flipped.
        for label, k in (("flip-first-run", first), ("flip-biggest-run", big)):
            r = runs[k]
            at = u.fork_at + r[4]
            b = bytearray(d)
            for off in (r[5] // 3, r[5] // 2, r[5] - 2):
                if 0 <= off < r[5]:
                    b[at + off] ^= 0xA5
            out.append(("flip", label, bytes(b)))
        r = runs[big]
        at = u.fork_at + r[4]
        b = bytearray(d)
        b[at + r[5] // 2:at + r[5]] = bytes(r[5] - r[5] // 2)
        out.append(("flip", "zero-run-tail", bytes(b)))
    return out


# --- sparse images and bundles ---------------------------------------------

def rebanded(data, per_band=64):
    """The sparse image `data` rewritten with bands of `per_band` sectors,
    stored in reverse order, unwritten bands left out: many bands, so that
    band tables can be damaged in more ways than one band allows."""
    old_per, sectors = struct.unpack_from(">I", data, 8)[0], struct.unpack_from(">I", data, 16)[0]
    old_count = -(-sectors // old_per)
    disk = bytearray(sectors * 512)
    for i in range(old_count):
        b = struct.unpack_from(">I", data, 64 + 4 * i)[0]
        if b:
            chunk = data[4096 + i * old_per * 512:4096 + (i + 1) * old_per * 512]
            at = (b - 1) * old_per * 512
            disk[at:at + len(chunk)] = chunk[:len(disk) - at]
    band = per_band * 512
    count = -(-sectors // per_band)
    assert count <= 1008
    header = bytearray(data[:4096])
    struct.pack_into(">I", header, 8, per_band)
    header[64:4096] = bytes(4096 - 64)
    body = bytearray()
    written = [b for b in range(count) if any(disk[b * band:(b + 1) * band])]
    for i, b in enumerate(reversed(written)):
        struct.pack_into(">I", header, 64 + 4 * i, b + 1)
        body += disk[b * band:(b + 1) * band].ljust(band, b"\0")
    return bytes(header + body)


def sparseimage_variants(data):
    out = [("sparse", "undamaged-rebanded", data)]
    per_band, sectors = struct.unpack_from(">I", data, 8)[0], struct.unpack_from(">I", data, 16)[0]
    count = -(-sectors // per_band)
    table = [struct.unpack_from(">I", data, 64 + 4 * i)[0] for i in range(count)]
    used = [i for i, v in enumerate(table) if v]
    # Stored order reversed: the last entry holds band 1 (the volume header).

    def edit(label, fn):
        b = bytearray(data)
        fn(b)
        out.append(("sparse", label, bytes(b)))

    def entry(i, v):
        return lambda b: struct.pack_into(">I", b, 64 + 4 * i, v)
    edit("band-index-out-of-range", entry(used[0], count + 7))
    edit("band-index-huge", entry(used[-1], 0xFFFFFFFF))
    if len(used) > 1:
        edit("band-duplicate", entry(used[1], table[used[0]]))
        edit("band-duplicate-header", entry(used[0], table[used[-1]]))

        def swap(b):
            struct.pack_into(">II", b, 64 + 4 * used[0], table[used[1]], table[used[0]])
        edit("bands-swapped", swap)
        edit("band-entry-cleared", entry(used[0], 0))
    edit("band-table-zero", lambda b: b.__setitem__(slice(64, 64 + 4 * count), bytes(4 * count)))
    edit("band-table-ones", lambda b: b.__setitem__(slice(64, 64 + 4 * count), b"\x01" * 4 * count))
    edit("per-band-0", lambda b: struct.pack_into(">I", b, 8, 0))
    edit("per-band-huge", lambda b: struct.pack_into(">I", b, 8, 0xFFFFFFFF))
    edit("sectors-huge", lambda b: struct.pack_into(">I", b, 16, 0xFFFFFFFF))
    edit("version-9", lambda b: struct.pack_into(">I", b, 4, 9))
    out.append(("sparse", "last-band-cut", data[:len(data) - per_band * 512 // 2]))
    out.append(("sparse", "header-only", data[:4096]))
    return out


def read_tree(root):
    """The files below `root` by relative path: the bytes of regular files,
    a description of anything else (which is never opened)."""
    files = {}
    for dirpath, _dirs, names in os.walk(root):
        for n in names:
            p = os.path.join(dirpath, n)
            st = os.lstat(p)
            if stat.S_ISREG(st.st_mode):
                with open(p, "rb") as f:
                    files[os.path.relpath(p, root)] = f.read()
            else:
                files[os.path.relpath(p, root)] = f"mode {st.st_mode:o} dev {st.st_rdev}".encode()
    return files


def sparsebundle_variants(files):
    out = []
    bands = sorted((k for k in files if k.startswith("bands/")), key=lambda k: int(k[6:], 16))
    info = files["Info.plist"]

    def variant(label, fn):
        f = dict(files)
        fn(f)
        out.append(("bundle", label, f))
    variant("band-missing-first", lambda f: f.pop(bands[0]))
    variant("band-missing-middle", lambda f: f.pop(bands[len(bands) // 2]))
    variant("bands-folder-empty", lambda f: [f.pop(b) for b in bands])
    variant("band-name-out-of-range", lambda f: f.__setitem__("bands/ffffffffffff",
                                                               files[bands[0]]))
    variant("band-name-not-hex", lambda f: f.__setitem__("bands/zz", files[bands[0]]))
    variant("band-too-long", lambda f: f.__setitem__(bands[0], files[bands[0]] + bytes(1 << 20)))
    variant("info-missing", lambda f: (f.pop("Info.plist"), f.pop("Info.bckup", None)))
    variant("info-not-xml", lambda f: f.update({"Info.plist": bytes(b ^ 0x5A for b in info),
                                                "Info.bckup": bytes(b ^ 0x5A for b in info)}))

    def info_edit(label, pat, rep):
        new = re.sub(pat, rep, info)
        variant(label, lambda f: f.update({"Info.plist": new, "Info.bckup": new}))
    info_edit("band-size-0", rb"(band-size</key>\s*<integer>)\d+", rb"\g<1>0")
    info_edit("band-size-huge", rb"(band-size</key>\s*<integer>)\d+", rb"\g<1>18446744073709551615")
    info_edit("band-size-odd", rb"(band-size</key>\s*<integer>)\d+", rb"\g<1>1000")
    info_edit("size-huge", rb"(size</key>\s*<integer>)\d+", rb"\g<1>9223372036854775807")
    info_edit("size-small", rb"(<key>size</key>\s*<integer>)\d+", rb"\g<1>4096")
    return out


# --- hostile files ------------------------------------------------------------

class Node:
    """A file that is no regular file: a FIFO ("fifo"), a device node
    ("block" or "char", `arg` its device number) or a symbolic link
    ("symlink" to `arg`)."""

    def __init__(self, kind, arg=None):
        self.kind, self.arg = kind, arg

    def make(self, path):
        if self.kind == "fifo":
            os.mkfifo(path, 0o644)
        elif self.kind == "symlink":
            os.symlink(self.arg, path)
        else:
            mode = stat.S_IFBLK if self.kind == "block" else stat.S_IFCHR
            os.mknod(path, 0o600 | mode, self.arg)


class Segmented:
    """A first segment and the files beside it ({".002.dmgpart": content})."""

    def __init__(self, first, parts):
        self.first, self.parts = first, parts


def a_block_device():
    """The device number of a block device of this machine (a disk holding
    data: the test makes sure nothing of it is shown), or None."""
    try:
        with open("/proc/partitions") as f:
            for line in f.read().splitlines()[2:]:
                major, minor, blocks, _name = line.split()
                if int(blocks) > 0:
                    return os.makedev(int(major), int(minor))
    except (OSError, ValueError):
        pass
    return None


def rebundled(files, band=65536):
    """The sparse bundle `files` with bands of `band` bytes (unwritten ones
    left out): a volume spread over many band files."""
    size = int(re.search(rb"<key>size</key>\s*<integer>(\d+)", files["Info.plist"]).group(1))
    old = int(re.search(rb"band-size</key>\s*<integer>(\d+)", files["Info.plist"]).group(1))
    disk = bytearray(size)
    for name, data in files.items():
        if name.startswith("bands/"):
            at = int(name[6:], 16) * old
            disk[at:at + len(data)] = data[:size - at]
    out = {k: v for k, v in files.items() if not k.startswith("bands/")}
    for n in range(-(-size // band)):
        chunk = bytes(disk[n * band:(n + 1) * band])
        if any(chunk):
            out[f"bands/{n:x}"] = chunk
    info = re.sub(rb"(band-size</key>\s*<integer>)\d+", rb"\g<1>" + str(band).encode(),
                  files["Info.plist"])
    out["Info.plist"] = out["Info.bckup"] = info
    return out


def must_refuse_variants(udif, bundle):
    """(name, suffix, content, pattern) of the images that must be refused
    at open with a message matching `pattern` (IMAGE: the image's path)."""
    out = [("volume/fifo", ".img", Node("fifo"),
            r"IMAGE is a FIFO, not a disk, disk image or volume file")]
    if bundle:
        files = rebundled(bundle)
        bands = sorted((k for k in files if k.startswith("bands/")), key=lambda k: int(k[6:], 16))
        victim = bands[len(bands) // 2]  # not the one holding the volume header
        secret = "/etc/shadow" if os.path.exists("/etc/shadow") else "/etc/passwd"
        nodes = [("fifo", Node("fifo"), "a FIFO"),
                 ("symlink", Node("symlink", secret), "a symbolic link"),
                 ("dev-zero", Node("char", os.makedev(1, 5)), "a character device")]
        disk = a_block_device()
        if disk is not None and os.geteuid() == 0:
            nodes.append(("block-device", Node("block", disk), "a block device"))
        else:
            print("note: no block device node can be made here: that row is left out")
        for label, node, what in nodes:
            out.append((f"bundle/band-{label}", ".sparsebundle", {**files, victim: node},
                        rf"IMAGE/{victim} is {what}, not a regular file"))
        out.append(("bundle/info-plist-fifo", ".sparsebundle", {**files, "Info.plist": Node("fifo")},
                    r"IMAGE/Info.plist is a FIFO, not a regular file"))
    if udif:
        k = bytearray(udif.koly)
        struct.pack_into(">II", k, 56, 1, 2)
        out.append(("udif/segment-fifo", ".dmg",
                    Segmented(udif.data[:-512] + bytes(k), {".002.dmgpart": Node("fifo")}),
                    r"segment 2 of 2 \(slot\d+\.002\.dmgpart\) is a FIFO, not a regular file"))
        # An old image naming one empty table 16 x 65536 times beside its own.
        tables = [bytes(udif.mish(i)) for i in range(len(udif.tables))]
        empty = bytearray(204 + 40)
        empty[:4] = b"mish"
        struct.pack_into(">I", empty, 4, 1)
        struct.pack_into(">I", empty, 200, 1)
        struct.pack_into(">I", empty, 204, END)
        types = [list(range(len(tables)))] + [("same", 65536, len(tables))] * 16
        out.append(("udif/rsrc-one-table-a-million-times", ".dmg",
                    udif.with_rsrc(rsrc_fork(tables + [bytes(empty)], types)),
                    r"resource fork: it lists more block tables than its \d+ bytes can hold"))
        # Every compressed run of the main table decoding the first one's bytes.
        blob = udif.mish(udif.main)
        runs = udif.runs(blob)
        comp = [i for i, r in enumerate(runs) if r[0] in COMPRESSED]
        for i in comp[1:]:
            runs[i][0], runs[i][4], runs[i][5] = runs[comp[0]][0], runs[comp[0]][4], runs[comp[0]][5]
        Udif.put_runs(blob, runs)
        out.append(("udif/runs-sharing-stored-bytes", ".dmg", udif.with_table(blob),
                    r"share stored bytes at byte \d+ of the data"))
    return out


# --- running ----------------------------------------------------------------

def siblings(path, content):
    """The paths of the files written beside the image `path`."""
    if not isinstance(content, Segmented):
        return []
    stem = path[:-4] if path.endswith(".dmg") else path
    return [stem + suffix for suffix in content.parts]


def remove_image(path, content=None):
    for p in [path] + siblings(path, content):
        if os.path.isdir(p) and not os.path.islink(p):
            shutil.rmtree(p)
        elif os.path.lexists(p):
            os.unlink(p)


def write_file(path, content):
    if isinstance(content, Node):
        content.make(path)
    else:
        with open(path, "wb") as f:
            f.write(content)


def write_image(path, content):
    remove_image(path, content)
    if isinstance(content, dict):
        os.makedirs(os.path.join(path, "bands"))
        for name, data in content.items():
            write_file(os.path.join(path, name), data)
    elif isinstance(content, Segmented):
        for p, part in zip(siblings(path, content), content.parts.values()):
            write_file(p, part)
        write_file(path, content.first)
    else:
        write_file(path, content)


def digest(path):
    st = os.lstat(path)
    if stat.S_ISREG(st.st_mode):
        return mountlib.sha256_file(path)
    if not stat.S_ISDIR(st.st_mode):
        return f"mode {st.st_mode:o}"
    h = hashlib.sha256()
    for name, data in sorted(read_tree(path).items()):
        h.update(name.encode() + b"\0" + hashlib.sha256(data).digest())
    return h.hexdigest()


def writable_fds(pid, image):
    """Descriptors the daemon holds on the image (or inside the bundle)
    opened for writing."""
    real = os.path.realpath(image)
    bad = []
    for fd in os.listdir(f"/proc/{pid}/fd"):
        try:
            target = os.readlink(f"/proc/{pid}/fd/{fd}")
            if target != real and not target.startswith(real + "/"):
                continue
            with open(f"/proc/{pid}/fdinfo/{fd}") as f:
                for line in f:
                    if line.startswith("flags:") and int(line.split()[1], 8) & os.O_ACCMODE:
                        bad.append(target)
        except OSError:
            pass
    return bad


def reason(err, img):
    """The daemon's first line that says why it refused the image, with the
    image's name replaced by IMAGE."""
    for line in err.splitlines():
        line = line.strip().replace(img, "IMAGE")
        if line and not line.startswith(("Couldn't open volume", "could not open device")) \
                and not line.endswith("the lines below say why it cannot be mounted"):
            return line
    return None


class Tally:
    def __init__(self):
        self.lock = threading.Lock()
        self.tried = self.walked = self.refused = 0
        self.errors, self.by_kind, self.messages = {}, {}, {}
        self.crashes, self.hangs, self.failures = [], [], []


def run_variant(work, slot, name, kind, suffix, content, expect, tally):
    img = os.path.join(work, f"slot{slot}{suffix}")
    mnt = os.path.join(work, f"mnt{slot}")
    write_image(img, content)
    before = digest(img)
    problems = []
    crashed = hung = walked = False
    m = mountlib.Mount(img, mnt)
    if m.hung:
        hung = True
        m.kill()
    elif m.mounted:
        if writable_fds(m.proc.pid, img):
            problems.append("image opened for writing")
        try:
            r = subprocess.run([sys.executable, os.path.join(HERE, "walker.py"), mnt],
                               capture_output=True, timeout=WALK_TIMEOUT)
            result = json.loads(r.stdout or b"{}")
            walked = r.returncode == 0 and "ops" in result
            if not walked:
                problems.append("walker failed: " + r.stderr.decode()[-300:])
            with tally.lock:
                for k, v in result.get("errors", {}).items():
                    tally.errors[k] = tally.errors.get(k, 0) + v
            if result.get("unexpected"):
                problems.append("unexpected errors: " + "; ".join(result["unexpected"][:5]))
        except subprocess.TimeoutExpired:
            hung = True
        if not hung and not m.alive():
            crashed = True
        if hung:
            m.kill()
    status, err = m.stop()
    if status is None:
        hung = True
    elif status < 0:
        crashed = True
    elif m.mounted and status != 0:
        problems.append(f"daemon exit status {status} after unmount")
    elif not m.mounted and not hung:
        if status == 0:
            problems.append("daemon ended without mounting and without an error")
        elif not reason(err, img):
            problems.append("refused without saying why: " + err[-300:])
    if expect and (m.mounted or hung or crashed):
        problems.append("not refused at open" + (" (hung)" if hung else ""))
    elif expect and not re.search(expect.replace("IMAGE", re.escape(img)), err):
        problems.append(f"refused without saying /{expect}/: " + err[-300:])
    if mountlib.sanitizer_report(err):
        crashed = True
        problems.append("sanitizer report:\n" + err[-3000:])
    if digest(img) != before:
        problems.append("image changed")
    refused = not m.mounted and not hung and not crashed
    if VERBOSE:
        print(f"{name}: " + ("refused: " + str(reason(err, img)) if refused else
                             "walked" if walked else "FAILED"), flush=True)
    with tally.lock:
        tally.tried += 1
        tally.walked += walked
        tally.refused += refused
        d = tally.by_kind.setdefault(kind, [0, 0, 0])
        d[0] += 1
        d[1] += walked
        d[2] += refused
        if refused:
            msg = re.sub(r"\d+", "N", reason(err, img) or "")[:110]
            tally.messages[msg] = tally.messages.get(msg, 0) + 1
        if crashed:
            tally.crashes.append(name)
        if hung:
            tally.hangs.append(name)
        if problems or crashed or hung:
            tally.failures.append((name, problems or ["crash" if crashed else "hang"]))
            keep = os.path.join(work, "failed", name.replace("/", "_") + suffix)
            os.makedirs(os.path.dirname(keep), exist_ok=True)
            write_image(keep, content)
    remove_image(img, content)


def base_images(work):
    """(tag, suffix, variants) of every base image, and the variants that
    must be refused."""
    out = []
    first_udif = bundle = None
    shared = os.environ.get("SHARED_DMG", "")
    if shared and os.path.isdir(shared):
        for name in REAL_DMG:
            path = os.path.join(shared, name)
            if not os.path.exists(path):
                print(f"note: {path} absent")
                continue
            with open(path, "rb") as f:
                u = Udif(f.read())
            first_udif = first_udif or u
            out.append((name.replace(".dmg", ""), ".dmg", udif_variants(u)))
    else:
        print(f"note: {shared or 'SHARED_DMG'} absent: only the crafted sparse images are damaged")
    mkhfs = os.environ["MKHFS"]
    manifest = os.path.join(HERE, "manifests", "mixed.json")
    for fmt, suffix in (("sparseimage", ".sparseimage"), ("sparsebundle", ".sparsebundle")):
        path = os.path.join(work, "base" + suffix)
        if os.path.isdir(path):
            shutil.rmtree(path)
        subprocess.run([mkhfs, "--quiet", "--container", fmt, manifest, path], check=True)
        if fmt == "sparseimage":
            with open(path, "rb") as f:
                vs = sparseimage_variants(rebanded(f.read()))
        else:
            bundle = read_tree(path)
            vs = sparsebundle_variants(bundle)
        out.append(("crafted-" + fmt, suffix, vs))
    return out, must_refuse_variants(first_udif, bundle)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("work")
    ap.add_argument("--jobs", type=int, default=3)
    ap.add_argument("--budget", type=int, default=0)
    ap.add_argument("--only", default="")
    ap.add_argument("--verbose", action="store_true", help="one line per variant")
    args = ap.parse_args()
    global VERBOSE
    VERBOSE = args.verbose
    if not mountlib.fuse_available():
        print("SKIP: /dev/fuse or fusermount missing")
        return 77
    os.makedirs(args.work, exist_ok=True)
    started = time.monotonic()
    variants = []
    bases, refused = base_images(args.work)
    for tag, suffix, vs in bases:
        print(f"{tag}: {len(vs)} variants")
        variants += [(f"{tag}/{kind}/{label}", kind, suffix, content, None)
                     for kind, label, content in vs]
    generated = len(variants)
    variants = mountlib.select_variants(variants, args.only, args.budget)
    print(f"{generated} variants generated, {len(variants)} to mount, and {len(refused)} that "
          "must be refused")
    variants += [(f"must-refuse/{name}", "refuse", suffix, content, expect)
                 for name, suffix, content, expect in refused if args.only in f"must-refuse/{name}"]

    tally = Tally()
    mountlib.run_in_slots(variants, args.jobs,
                          lambda slot, *v: run_variant(args.work, slot, *v, tally))

    print(f"\ndamaged disk images: {tally.tried} variants tried, {tally.walked} walks completed, "
          f"{tally.refused} refused at open ({time.monotonic() - started:.0f} s)")
    for kind, (n, w, r) in sorted(tally.by_kind.items()):
        print(f"  {kind:10} {n:4} variants, {w:4} walked, {r:4} refused")
    print("refusal messages:")
    for msg, n in sorted(tally.messages.items(), key=lambda x: -x[1]):
        print(f"  {n:4} {msg}")
    print("errors by kind: " + (", ".join(f"{k} {v}" for k, v in sorted(tally.errors.items()))
                                or "none"))
    print(f"crashes: {len(tally.crashes)}")
    print(f"hangs: {len(tally.hangs)}")
    for name, problems in tally.failures:
        print(f"FAIL {name}: " + " | ".join(problems))
    return 1 if tally.failures else 0


if __name__ == "__main__":
    sys.exit(main())
