#!/usr/bin/env python3
"""Rebuilds corpus/fuzz_journal/: journals with pending transactions written
by mkhfs (a small volume of 512-byte blocks where one file is renamed and
one added), one per case of the journal format: both byte orders, several
lists per transaction, killed entries, overridden writes, wrap-around,
transactions past the header's end, no sequence numbers, 4096-byte units,
block checksums and each kind of damage. Each seed is the selector byte of
the target (0x1: set the header's size and fix its checksum; the builder's
are right already, so this changes nothing) followed by
the journal's bytes.

Usage: fuzz/make_journal_corpus.py MKHFS
"""
import json
import os
import struct
import subprocess
import sys
import tempfile

here = os.path.dirname(os.path.abspath(__file__))
out = os.path.join(here, "corpus", "fuzz_journal")
mkhfs = sys.argv[1]

S0 = [{"type": "file", "name": "a", "data": "a\n"}, {"type": "file", "name": "b", "data": "b\n"}]
S1 = [{"type": "file", "name": "a", "data": "a\n"}, {"type": "file", "name": "renamed", "data": "b\n"},
      {"type": "folder", "name": "new"}]
CASES = {
    "little-lists-killed": ("little", {"transactions": 2, "lists": 2, "killed": True}),
    "big-overridden-checksums": ("big", {"overridden": True, "checksums": True}),
    "little-wrap-past-end": ("little", {"transactions": 3, "past_end": 1, "wrap": True}),
    "big-no-sequence": ("big", {"transactions": 2, "sequence": 0}),
    "big-4k-units": ("big", {"jhdr_size": 4096}),
    "little-damaged-checksum": ("little", {"checksums": True, "damaged": "block_checksum"}),
    "big-damaged-number": ("big", {"damaged": "block_number"}),
    "little-damaged-counts": ("little", {"damaged": "counts"}),
    "big-damaged-header": ("big", {"damaged": "header_checksum"}),
    "little-damaged-first": ("little", {"damaged": "first"}),
}

os.makedirs(out, exist_ok=True)
with tempfile.TemporaryDirectory() as work:
    for name, (order, pending) in CASES.items():
        size = "64K" if pending.get("jhdr_size") == 4096 else "32K"
        manifest = {"volume": {"block_size": 512, "journal": {
            "size": size, "byte_order": order, "pending": dict(pending, before={"items": S0})}},
            "items": S1}
        path = os.path.join(work, name + ".json")
        with open(path, "w") as f:
            json.dump(manifest, f)
        image = os.path.join(work, name + ".img")
        subprocess.run([mkhfs, "--quiet", path, image], check=True)
        with open(image, "rb") as f:
            disk = f.read()
        info_block, block_size = struct.unpack(">I", disk[1036:1040])[0], struct.unpack(">I", disk[1064:1068])[0]
        info = info_block * block_size
        offset, length = struct.unpack(">QQ", disk[info + 36:info + 52])
        with open(os.path.join(out, name), "wb") as f:
            f.write(b"\x01" + disk[offset:offset + length])
        print(name, length)
