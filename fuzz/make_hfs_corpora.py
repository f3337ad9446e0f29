#!/usr/bin/env python3
"""Rebuilds the seed corpora of fuzz_volume, fuzz_node, fuzz_records and
fuzz_unicode.

Usage: fuzz/make_hfs_corpora.py MKHFS [SHARED_IMAGES]
  (default SHARED_IMAGES: ../shared/testdata/images)

fuzz_volume: the small volumes of fuzz/seeds/*.json (512-byte blocks and
nodes) and the smallest real image. fuzz_node: every node of those volumes
and some nodes of the real images, behind the selector bytes of
fuzz_node.cpp. fuzz_records: their index and leaf records, behind the
selector byte of fuzz_records.cpp. fuzz_unicode: the names found in the
catalogs, as UTF-8 and as UTF-16.
"""
import hashlib
import lzma
import os
import subprocess
import sys
import tempfile

here = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(here, "..", "tests", "hostile"))
import hfsimage  # noqa: E402

mkhfs = sys.argv[1]
shared = sys.argv[2] if len(sys.argv) > 2 else os.path.join(here, "..", "..", "shared", "testdata", "images")
corpus = os.path.join(here, "corpus")
TREES = {"catalog": 1, "extents": 2, "attributes": 3}


def save(target, data):
    d = os.path.join(corpus, target)
    os.makedirs(d, exist_ok=True)
    with open(os.path.join(d, hashlib.sha1(data).hexdigest()[:16]), "wb") as f:
        f.write(data)


volumes = []
with tempfile.TemporaryDirectory() as tmp:
    for name in sorted(os.listdir(os.path.join(here, "seeds"))):
        img = os.path.join(tmp, name + ".img")
        subprocess.run([mkhfs, "--quiet", os.path.join(here, "seeds", name), img], check=True)
        data = open(img, "rb").read()
        save("fuzz_volume", data)
        volumes.append((data, None))
for name in ("ramdisk-symlinks", "dfvfs-hfsplus", "xattrs-5651", "newfs-xattrs"):
    path = os.path.join(shared, name + ".img.xz")
    if os.path.exists(path):
        volumes.append((lzma.open(path).read(), 6))

names = set()
for data, node_cap in volumes:
    vol = hfsimage.Volume(data)
    for tname, tree in vol.trees.items():
        if not tree.present:
            continue
        k = tree.node_size.bit_length() - 10  # 512 << k
        width = 4 if tname == "catalog" and vol.data[tree.header_at + 55] & 2 else 0
        if tname == "extents" and vol.data[tree.header_at + 55] & 2:
            width = 4
        for idx, at, kind, _, nrecs, offs in tree.nodes[:node_cap]:
            node = data[at : at + tree.node_size]
            save("fuzz_node", bytes([TREES[tname] | width, k | (1 << 3)]) + node)
            if kind not in (-1, 0):
                continue
            kind_bits = 0 if kind == -1 else 4
            which = {"catalog": 0, "extents": 1, "attributes": 2}[tname]
            for r in range(min(nrecs, 8)):
                rec = node[offs[r] : offs[r + 1]]
                save("fuzz_records", bytes([which | kind_bits | (1 << 6)]) + rec)
                if tname in ("catalog", "attributes") and len(rec) > 8:
                    at_name = 6 if tname == "catalog" else 12
                    n = int.from_bytes(rec[at_name : at_name + 2], "big")
                    names.add(rec[at_name + 2 : at_name + 2 + 2 * n])
for units in sorted(names)[:60]:
    save("fuzz_unicode", bytes([255]) + units)
    text = units.decode("utf-16-be", "replace").encode()
    save("fuzz_unicode", bytes([40]) + text)
for target in ("fuzz_volume", "fuzz_node", "fuzz_records", "fuzz_unicode"):
    d = os.path.join(corpus, target)
    files = os.listdir(d)
    print(f"{target}: {len(files)} seeds, {sum(os.path.getsize(os.path.join(d, f)) for f in files)} bytes")
