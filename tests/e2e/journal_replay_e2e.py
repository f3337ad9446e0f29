#!/usr/bin/env python3
"""Journals with pending transactions, one builder volume per case a journal
reader must handle: mkhfs puts state S0 on disk and journals the blocks that
turn it into S1. Mounted with -o replay each volume must read exactly as S1
(names, sizes, contents, attributes); mounted with --force exactly as S0,
which 7-Zip and The Sleuth Kit (both ignore the journal) must agree with.
The replay line, `quorvel-extract journal --json` and the untouched image
are checked too."""
import copy
import hashlib
import json
import os
import re
import shutil
import struct
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
QUORVEL = os.environ.get("QUORVEL")
EXTRACT = os.environ.get("QUORVEL_EXTRACT")
MKHFS = os.environ.get("MKHFS")
if not (QUORVEL and EXTRACT and MKHFS) or not os.path.exists("/dev/fuse"):
    print("SKIP: needs QUORVEL, QUORVEL_EXTRACT, MKHFS and /dev/fuse")
    sys.exit(77)
for tool in ("7zz", "fls", "icat", "istat"):
    if not shutil.which(tool):
        print("SKIP: %s is not installed" % tool)
        sys.exit(77)

COMMON = [{"type": "folder", "name": "docs", "children": [
    {"type": "file", "name": "a.txt", "data": "a\n"},
    {"type": "file", "name": "b.txt", "data": {"pattern": "text", "size": 9000, "seed": 4}}]}]
# S0 -> S1: an attribute changed and one added, a rename, a file moved into a
# new folder, a new empty file, a folder of 300 new entries (the catalog
# grows by several nodes and moves), the bitmap and volume header change.
S0 = [
    {"type": "file", "name": "keep.txt", "data": "kept as it is\n",
     "xattrs": [{"name": "user.color", "value": "red"}]},
    {"type": "file", "name": "old name.txt", "data": {"pattern": "text", "size": 5000, "seed": 2}},
    {"type": "file", "name": "going.bin", "data": {"pattern": "random", "size": 20000, "seed": 3}},
] + COMMON
S1 = [
    {"type": "file", "name": "keep.txt", "data": "kept as it is\n",
     "xattrs": [{"name": "user.color", "value": "blue"}, {"name": "user.tag", "value": "new"}]},
    {"type": "file", "name": "new name.txt", "data": {"pattern": "text", "size": 5000, "seed": 2}},
    {"type": "folder", "name": "moved", "children": [
        {"type": "file", "name": "arrived.bin", "data": {"pattern": "random", "size": 20000, "seed": 3}}]},
] + copy.deepcopy(COMMON) + [
    {"type": "file", "name": "empty new.txt"},
    {"type": "folder", "name": "fresh", "children": [
        {"type": "generate", "folders": 0, "files": 300, "file_size": 0}]},
]

# name, byte order, volume block size, pending switches, expected:
# (transactions replayed, past the end, a dropped transaction), container.
CASES = [
    ("little-lists-killed-overridden", "little", 4096,
     {"transactions": 3, "lists": 2, "killed": True, "overridden": True, "checksums": True}, (4, 0, False), None),
    ("big-one-transaction", "big", 4096, {}, (1, 0, False), None),
    ("little-wrap", "little", 4096, {"transactions": 4, "lists": 2, "wrap": True}, (4, 0, False), None),
    ("big-past-end", "big", 4096, {"transactions": 4, "past_end": 2, "wrap": True}, (4, 2, False), None),
    ("little-no-sequence", "little", 4096, {"transactions": 2, "sequence": 0}, (2, 0, False), None),
    ("big-4k-units-2k-blocks", "big", 2048, {"jhdr_size": 4096, "transactions": 2, "killed": True}, (2, 0, False), None),
    ("little-512-blocks", "little", 512, {"transactions": 5, "lists": 3, "overridden": True}, (6, 0, False), None),
    ("damaged-block-checksum", "little", 4096,
     {"transactions": 2, "checksums": True, "damaged": "block_checksum"}, (2, 0, True), None),
    ("damaged-block-number", "big", 4096, {"transactions": 2, "damaged": "block_number"}, (2, 0, True), None),
    ("damaged-counts", "little", 4096, {"transactions": 2, "damaged": "counts"}, (2, 0, True), None),
    ("damaged-header-checksum", "big", 4096, {"transactions": 2, "damaged": "header_checksum"}, (2, 0, True), None),
    ("damaged-first", "little", 4096, {"transactions": 2, "damaged": "first"}, None, None),
    # The info block's flags changed after the build: the journal on another
    # device, a journal that needs initialising.
    ("other-device", "big", 4096, {"info_flags": 2}, None, None),
    ("needs-init", "little", 4096, {"info_flags": 5}, None, None),
    ("gpt-udif-past-end", "little", 4096, {"transactions": 3, "past_end": 1, "wrap": True, "killed": True},
     (3, 1, False), {"format": "udif", "partition_map": "gpt"}),
]

failures = []


def fail(msg):
    failures.append(msg)
    print("FAIL", msg)


def sha(path):
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


def mount(image, mnt, *options):
    os.makedirs(mnt, exist_ok=True)
    return subprocess.run([QUORVEL, *options, image, mnt], capture_output=True, text=True)


def unmount(mnt):
    subprocess.run(["fusermount3", "-u", mnt], check=False)


def compare(mode, mnt, manifest, image, what):
    r = subprocess.run([sys.executable, os.path.join(HERE, "mount_vs_manifest.py"), mode, mnt,
                        manifest, image], capture_output=True, text=True)
    if r.returncode != 0:
        fail("%s: %s" % (what, (r.stdout + r.stderr)[-1500:]))


def main():
    work = tempfile.mkdtemp(prefix="journal-e2e-")
    try:
        for name, order, block_size, pending, expect, container in CASES:
            run_case(work, name, order, block_size, pending, expect, container)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    if failures:
        print("%d failures" % len(failures))
        return 1
    print("ok: %d journal cases" % len(CASES))
    return 0


def run_case(work, name, order, block_size, pending, expect, container):
    volume = {"name": "J", "block_size": block_size, "journal": {"size": "1M", "byte_order": order}}
    s1 = {"volume": volume, "items": S1}
    s0 = {"volume": copy.deepcopy(volume), "items": S0}
    built = copy.deepcopy(s1)
    pending = dict(pending)
    info_flags = pending.pop("info_flags", None)
    built["volume"]["journal"]["pending"] = dict(pending, before={"items": S0})
    if container:
        built["container"] = container
    paths = {}
    for key, manifest in (("s0", s0), ("s1", s1), ("built", built)):
        paths[key] = os.path.join(work, "%s-%s.json" % (name, key))
        with open(paths[key], "w") as f:
            json.dump(manifest, f)
    image = os.path.join(work, name + (".dmg" if container else ".img"))
    r = subprocess.run([MKHFS, "--quiet", paths["built"], image], capture_output=True, text=True)
    if r.returncode != 0:
        fail("%s: mkhfs: %s" % (name, r.stderr))
        return
    if info_flags is not None:
        with open(image, "r+b") as f:
            f.seek(1024 + 12)
            info_block = struct.unpack(">I", f.read(4))[0]
            f.seek(info_block * block_size)
            f.write(struct.pack(">I", info_flags))
    before = sha(image)
    mnt = os.path.join(work, "mnt-" + name)

    # Replayed: S1, with one line saying what was done.
    r = mount(image, mnt, "-o", "replay,rsrc_ext=.rsrc")
    if expect is None:
        if r.returncode != 5 or "cannot be replayed" not in r.stderr:
            fail("%s: an unreplayable journal: status %d: %s" % (name, r.returncode, r.stderr))
            if r.returncode == 0:
                unmount(mnt)
    elif r.returncode != 0:
        fail("%s: -o replay: status %d: %s" % (name, r.returncode, r.stderr))
    else:
        try:
            compare("same", mnt, paths["s1"], image, name + " replayed vs S1")
        finally:
            unmount(mnt)
        count, past, dropped = expect
        m = re.search(r"replayed in memory \(the image is unchanged\): (\d+) transactions?, "
                      r"\d+ blocks?, sequence numbers \d+-\d+, (\d+) past the header's end; "
                      r"stopped at journal offset \d+", r.stderr)
        if not m or (int(m.group(1)), int(m.group(2))) != (count, past) or \
                ("dropped the damaged transaction" in r.stderr) != dropped:
            fail("%s: replay line: %s" % (name, r.stderr))

    # Forced: S0, as the independent readers see it (they ignore the journal).
    r = mount(image, mnt, "--force", "-o", "rsrc_ext=.rsrc")
    if r.returncode != 0:
        fail("%s: --force: status %d: %s" % (name, r.returncode, r.stderr))
    else:
        try:
            compare("same" if container else "readers", mnt, paths["s0"], image, name + " forced vs S0")
        finally:
            unmount(mnt)

    # The listing of the pending transactions.
    r = subprocess.run([EXTRACT, image, "journal", "--json"], capture_output=True, text=True)
    try:
        j = json.loads(r.stdout)
        blocks = [b for t in j["transactions"] for l in t["lists"] for b in l["blocks"]]
        if expect is None:
            assert j["state"] == "unusable" and not j["transactions"]
            want = {None: "damaged", 2: "another device", 5: "initialis"}[info_flags]
            assert want in j["problem"], j["problem"]
        else:
            assert j["header"]["byte_order"] == order
            count, past, dropped = expect
            assert j["state"] == "dirty" and len(j["transactions"]) == count
            assert sum(t["past_end"] for t in j["transactions"]) == past
            assert j["stop"]["damaged"] == dropped and bool(j["dropped"]) == dropped
            assert any(b["killed"] for b in blocks) == bool(pending.get("killed"))
            assert any(b.get("belongs_to", "").startswith("volume header") for b in blocks)
            assert any(b.get("belongs_to", "").startswith("catalog node") for b in blocks)
            assert any("allocation bitmap" in b.get("belongs_to", "") for b in blocks)
            assert any(len(t["lists"]) > 1 for t in j["transactions"]) == (pending.get("lists", 1) > 1)
    except (ValueError, KeyError, AssertionError) as e:
        fail("%s: journal --json (%r): %s" % (name, e, r.stdout[:3000]))
    if sha(image) != before:
        fail("%s: the image changed" % name)


if __name__ == "__main__":
    sys.exit(main())
