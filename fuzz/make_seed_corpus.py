#!/usr/bin/env python3
"""Rebuilds corpus/fuzz_lzfse/ from the shared compression vectors.

Usage: fuzz/make_seed_corpus.py [COMPRESS_DIR]   (default ../shared/testdata/compress)

Each seed is the selector byte of fuzz_lzfse.cpp followed by a stream: one
with a destination large enough for the whole output, and for some streams a
second one with a destination too small. Only small streams are taken.
"""
import os
import sys

here = os.path.dirname(os.path.abspath(__file__))
src = sys.argv[1] if len(sys.argv) > 1 else os.path.join(here, "..", "..", "shared", "testdata", "compress")
out = os.path.join(here, "corpus", "fuzz_lzfse")
os.makedirs(out, exist_ok=True)

def selector(lzvn, at_least):
    for s in range(128):
        if s * s * s // 8 >= at_least:
            return (s << 1) | lzvn
    return (127 << 1) | lzvn

total = 0
for sub, ext, lzvn in (("lzfse", ".lzfse", 0), ("lzvn", ".lzvn", 1)):
    for name in sorted(os.listdir(os.path.join(src, sub))):
        if not name.endswith(ext):
            continue
        packed = open(os.path.join(src, sub, name), "rb").read()
        raw_size = os.path.getsize(os.path.join(src, sub, name[: -len(ext)] + ".raw"))
        if len(packed) > 20000 or raw_size > 70000:
            continue
        stem = name[: -len(ext)]
        seeds = {f"{sub}-{stem}": selector(lzvn, raw_size + 1)}
        if raw_size > 64 and len(packed) < 2000:
            seeds[f"{sub}-{stem}-short"] = selector(lzvn, raw_size // 2) - 2
        for seed, sel in seeds.items():
            data = bytes([sel]) + packed
            open(os.path.join(out, seed), "wb").write(data)
            total += len(data)
print(f"{len(os.listdir(out))} seeds, {total} bytes in {out}")
