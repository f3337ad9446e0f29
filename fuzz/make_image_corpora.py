#!/usr/bin/env python3
"""Rebuilds corpus/fuzz_udif/ and corpus/fuzz_sparse/: a small synthetic disk
written as each kind of image by tests/e2e/make_images.py (UDIF with
runs of every codec, the same with resource-fork tables, the first segment
of a segmented image, a sparse image) and a sparse bundle's Info.plist.
Every seed stays well under 64 KiB.

Usage: fuzz/make_image_corpora.py
"""
import os
import random
import sys
import tempfile

here = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(here, "..", "tests", "e2e"))
import make_images  # noqa: E402

make_images.RUN_SECTORS = 8  # 4 KiB runs: every codec in a small disk

rng = random.Random(11)
disk = bytearray()
for block in range(12):  # 48 KiB: text, random, repeated and zero blocks
    kind = block % 4
    if kind == 0:
        disk += (b"quorvel disk image seed %d\n" % block) * 150
    elif kind == 1:
        disk += bytes(rng.getrandbits(8) for _ in range(4096))
    elif kind == 2:
        disk += bytes([block]) * 4096
    else:
        disk += bytes(4096)
    disk = disk[: (block + 1) * 4096].ljust((block + 1) * 4096, b"\0")
disk[1024:1026] = b"H+"

with tempfile.TemporaryDirectory() as work:
    path = os.path.join(work, "disk")
    open(path, "wb").write(disk)
    make_images.main_with(path, work)
    seeds = {
        "fuzz_udif": {
            "udif": open(os.path.join(work, "udif.dmg"), "rb").read(),
            "rsrc": open(os.path.join(work, "rsrc.dmg"), "rb").read(),
            "segment1": open(os.path.join(work, "seg.dmg"), "rb").read(),
        },
        "fuzz_sparse": {
            "sparseimage": b"\0" + open(os.path.join(work, "disk.sparseimage"), "rb").read(),
            "bundle-plist": b"\1"
            + open(os.path.join(work, "disk.sparsebundle", "Info.plist"), "rb").read(),
        },
    }
for target, files in seeds.items():
    out = os.path.join(here, "corpus", target)
    os.makedirs(out, exist_ok=True)
    for name, data in files.items():
        assert len(data) < 65536, (name, len(data))
        open(os.path.join(out, name), "wb").write(data)
        print(f"{target}/{name}: {len(data)} bytes")
