#!/usr/bin/env python3
"""Builds one small volume in every disk-image variant mkhfs writes and checks
each against the builder's own plain outputs for the same manifest: the raw
disk (--container raw) and the bare volume (--partition-map none).

UDIF images are read by 7-Zip (`7zz l` must list the tables and the volume's
files, `7zz x -tdmg` must give the raw disk table by table and the volume as
the HFS+ table) and by the decoder below, which also checks what 7-Zip does not
show: the run types the variant asks for, table data offsets, the mish, master
and data-fork CRC-32s and the trailer fields. 7-Zip does not open sparse images
or bundles; they are decoded here alone. The decoders follow the published
layouts of the formats and share nothing with the builder.

usage: containers.py MKHFS WORKDIR
exit status: 0 pass, 1 mismatch, 77 7-Zip is missing
"""
import base64
import json
import os
import plistlib
import re
import shutil
import struct
import subprocess
import sys
import zlib
import bz2
import lzma

ZERO, RAW, IGNORE, COMMENT, ZLIB, BZIP2, LZMA, END = (
    0, 1, 2, 0x7FFFFFFE, 0x80000005, 0x80000006, 0x80000008, 0xFFFFFFFF)
DECODERS = {ZLIB: zlib.decompress, BZIP2: bz2.decompress, LZMA: lzma.decompress}

VOLUME = {
    "volume": {"name": "Boxes", "size": "3M"},
    "items": [
        {"type": "file", "name": "text.txt", "data": {"pattern": "text", "size": "300K"}},
        {"type": "file", "name": "random.bin", "data": {"pattern": "random", "size": "200K", "seed": 7}},
        {"type": "file", "name": "zeros.bin", "data": {"pattern": "zeros", "size": "600K"}},
        {"type": "folder", "name": "sub", "children": [
            {"type": "file", "name": "count.dat", "data": {"pattern": "counter", "size": "150K"}}]},
    ],
}
SECOND = {"name": "Extra", "size": "256K", "data": {"pattern": "counter", "size": "100K", "seed": 3}}
GPT_NAMES = ["MBR", "Primary GPT Header", "Primary GPT Table", "free", "hfs", "free",
             "Backup GPT Table", "Backup GPT Header"]

# name, "container" of the manifest, extra command-line arguments, what must be seen
VARIANTS = [
    ("udif-raw", {"format": "udif", "encoding": "raw", "chunk_sectors": 256}, [],
     {"types": {RAW, ZERO}}),
    ("udif-zlib", {"format": "udif", "chunk_sectors": 64}, [], {"types": {ZLIB, ZERO}}),
    ("udif-bzip2", {"format": "udif", "encoding": "bzip2", "zero_chunks": "ignore",
                    "chunk_sectors": 128}, [], {"types": {BZIP2, IGNORE}}),
    ("udif-lzma", {"format": "udif", "encoding": "lzma", "run_order": "reverse",
                   "chunk_sectors": 256, "data_checksum": False},
     [], {"types": {LZMA, ZERO}, "reverse": True}),
    ("udif-gpt", {"format": "udif", "partition_map": "gpt", "second_partition": SECOND,
                  "chunk_sectors": 64, "zero_chunks": "ignore", "run_offsets": "table",
                  "run_order": "reverse"},
     [], {"types": {ZLIB, ZERO, IGNORE}, "names": GPT_NAMES[:5] + [
         "EBD0A0A2-B9E5-4433-87C0-68B6B72699C7"] + GPT_NAMES[5:], "bases": True, "reverse": True}),
    ("udif-gpt-cli", {}, ["--container", "udif", "--partition-map", "gpt", "--encoding", "bzip2"],
     {"types": {BZIP2, IGNORE}, "names": GPT_NAMES}),
    ("sparseimage", {"format": "sparseimage", "band_size": "64K"}, [], {"shuffled": True}),
    ("sparseimage-gpt", {"format": "sparseimage", "partition_map": "gpt", "band_size": "32K",
                         "band_order": "reverse", "second_partition": SECOND}, [], {"shuffled": True}),
    ("sparsebundle", {"format": "sparsebundle", "band_size": "64K"}, [], {}),
    ("sparsebundle-gpt", {"format": "sparsebundle", "partition_map": "gpt", "band_size": "96K",
                          "trim_bands": True}, [], {"trimmed": True}),
]

failures = []


def check(cond, msg):
    if not cond:
        failures.append(msg)
    return cond


def be(fmt, data, off):
    return struct.unpack_from(">" + fmt, data, off)


def crc32(b, crc=0):
    return zlib.crc32(b, crc) & 0xFFFFFFFF


# ---------------------------------------------------------------- UDIF

def decode_udif(path, name, want):
    """Returns the decoded disk; checks trailer, tables, runs and CRCs."""
    with open(path, "rb") as f:
        data = f.read()
    k = data[-512:]
    check(k[:4] == b"koly", f"{name}: no koly trailer")
    version, hsize, flags, running, df_off, df_len, rf_off, rf_len, seg, segs = be("IIIQQQQQII", k, 4)
    check((version, hsize, seg, segs) == (4, 512, 1, 1), f"{name}: trailer version/size/segments")
    (dsum_type, dsum_bits), (dsum,) = be("II", k, 80), be("I", k, 88)
    xml_off, xml_len = be("QQ", k, 216)
    (msum_type, msum_bits), (msum,) = be("II", k, 352), be("I", k, 360)
    (variant,), (sectors,) = be("I", k, 488), be("Q", k, 492)
    check(df_off == 0 and xml_off == df_off + df_len and xml_off + xml_len == len(data) - 512,
          f"{name}: data fork, plist and trailer are not back to back")
    fork = data[df_off:df_off + df_len]
    if want.get("no_data_checksum"):
        check(dsum_type == 0, f"{name}: data checksum present")
    elif check((dsum_type, dsum_bits) == (2, 32), f"{name}: data checksum type {dsum_type}"):
        check(dsum == crc32(fork), f"{name}: data fork CRC {dsum:08x} != {crc32(fork):08x}")
    check((msum_type, msum_bits) == (2, 32), f"{name}: master checksum type")
    check(variant == (1 if "names" in want else 2), f"{name}: image variant {variant}")

    blkx = plistlib.loads(data[xml_off:xml_off + xml_len])["resource-fork"]["blkx"]
    disk = bytearray(sectors * 512)
    master = b""
    types, bases, offsets = set(), [], []
    covered = 0
    for i, entry in enumerate(blkx):
        t = entry["Data"]
        check(entry["Name"] == entry["CFName"], f"{name}: Name/CFName differ")
        check(t[:4] == b"mish" and be("I", t, 4)[0] == 1, f"{name}: table {i} is not mish v1")
        first, count, base = be("QQQ", t, 8)
        (ctype, cbits), (csum,), (n,) = be("II", t, 64), be("I", t, 72), be("I", t, 200)
        check(len(t) == 204 + 40 * n, f"{name}: table {i} length")
        check(first == covered, f"{name}: table {i} starts at {first}, expected {covered}")
        covered = first + count
        bases.append(base)
        crc = 0
        at = 0
        for r in range(n):
            rtype, _, rfirst, rcount, roff, rlen = be("IIQQQQ", t, 204 + 40 * r)
            if rtype == END:
                check(r == n - 1 and rfirst == count, f"{name}: table {i} terminator")
                break
            types.add(rtype)
            check(rfirst == at, f"{name}: table {i} run {r} leaves a gap")
            at = rfirst + rcount
            size = rcount * 512
            if rtype in (ZERO, IGNORE):
                out = bytes(size)
            elif rtype == RAW:
                check(rlen == size, f"{name}: raw run length")
                out = fork[base + roff:base + roff + rlen]
            elif rtype in DECODERS:
                out = DECODERS[rtype](fork[base + roff:base + roff + rlen])
            else:
                check(False, f"{name}: unexpected run type {rtype:#x}")
                out = bytes(size)
            if rtype not in (ZERO, IGNORE):
                offsets.append(base + roff)
            check(len(out) == size, f"{name}: table {i} run {r} decodes to {len(out)} bytes, not {size}")
            disk[(first + rfirst) * 512:(first + rfirst) * 512 + size] = out[:size]
            if rtype != IGNORE:
                crc = crc32(out, crc)
        check(at == count, f"{name}: table {i} runs cover {at} of {count} sectors")
        check((ctype, cbits) == (2, 32) and csum == crc,
              f"{name}: table {i} CRC {csum:08x}, decoded bytes give {crc:08x}")
        master += struct.pack(">I", csum)
    check(covered == sectors, f"{name}: tables cover {covered} of {sectors} sectors")
    check(msum == crc32(master), f"{name}: master CRC {msum:08x} != {crc32(master):08x}")
    check(want["types"] <= types, f"{name}: run types {sorted(map(hex, types))} lack "
          f"{sorted(map(hex, want['types'] - types))}")
    if want.get("bases"):
        check(len(set(bases)) > 2, f"{name}: tables do not have their own data offsets: {bases}")
    if want.get("reverse"):
        check(len(offsets) > 2 and offsets == sorted(offsets, reverse=True),
              f"{name}: stored runs are not last to first")
    return bytes(disk)


def seven_zip(image, name, want, raw_disk, volume, work):
    listing = subprocess.run(["7zz", "l", "-tdmg", image], capture_output=True, text=True).stdout
    rows = re.findall(r"^ +\.{5} +\d+ +\d+  (\d+\..*)$", listing, re.M)
    names = want.get("names", ["hfs"])
    check(rows == [f"{i}.{n}" for i, n in enumerate(names)],
          f"{name}: 7zz lists tables {rows}")
    out = os.path.join(work, name + ".7z")
    shutil.rmtree(out, ignore_errors=True)
    r = subprocess.run(["7zz", "x", "-tdmg", "-y", "-o" + out, image], capture_output=True, text=True)
    if not check(r.returncode == 0, f"{name}: 7zz x failed: {r.stdout[-300:]} {r.stderr}"):
        return
    extracted = sorted(os.listdir(out), key=lambda s: int(s.split(".")[0]))
    whole = b"".join(open(os.path.join(out, f), "rb").read() for f in extracted)
    check(whole == raw_disk, f"{name}: 7zz x does not give the raw disk")
    hfs = [f for f in extracted if f.endswith(".hfs")]
    if not check(len(hfs) == 1 and open(os.path.join(out, hfs[0]), "rb").read() == volume,
                 f"{name}: 7zz's HFS+ table is not the plain volume"):
        return
    # 7-Zip opens the volume inside the image when it is the only partition.
    for source in [os.path.join(out, hfs[0])] + ([] if "names" in want else [image]):
        files = subprocess.run(["7zz", "l", source], capture_output=True, text=True).stdout
        for path in ("Boxes/text.txt", "Boxes/random.bin", "Boxes/zeros.bin", "Boxes/sub/count.dat"):
            check(path in files, f"{name}: 7zz does not list {path} in {source}")


# ---------------------------------------------------------------- sparse formats

def decode_sparseimage(path, name, want):
    with open(path, "rb") as f:
        data = f.read()
    sig, version, band_sectors, _, sectors = be("4sIIII", data, 0)
    check(sig == b"sprs" and version == 3, f"{name}: not a version 3 sparse image")
    band = band_sectors * 512
    nbands = -(-sectors // band_sectors)
    table = be(f"{(4096 - 64) // 4}I", data, 64)
    used = [b for b in table if b]
    check(len(set(used)) == len(used) and all(b <= nbands for b in used), f"{name}: band table {used}")
    check(len(data) == 4096 + len(used) * band, f"{name}: file size")
    if want.get("shuffled"):
        check(used != sorted(used), f"{name}: bands are stored in disk order")
    disk = bytearray(sectors * 512)
    for i, b in enumerate(table):
        if b:
            chunk = data[4096 + i * band:4096 + (i + 1) * band]
            disk[(b - 1) * band:b * band] = chunk[:len(disk) - (b - 1) * band]
    return bytes(disk), nbands, len(used), band


def decode_sparsebundle(path, name, want):
    with open(os.path.join(path, "Info.plist"), "rb") as f:
        info_bytes = f.read()
    info = plistlib.loads(info_bytes)
    check(info.get("diskimage-bundle-type") == "com.apple.diskimage.sparsebundle"
          and info.get("bundle-backingstore-version") == 1
          and info.get("CFBundleInfoDictionaryVersion") == "6.0", f"{name}: Info.plist {info}")
    check(open(os.path.join(path, "Info.bckup"), "rb").read() == info_bytes, f"{name}: Info.bckup")
    band, size = info["band-size"], info["size"]
    nbands = -(-size // band)
    disk = bytearray(size)
    files = os.listdir(os.path.join(path, "bands"))
    for fname in files:
        n = int(fname, 16)
        check(fname == format(n, "x") and n < nbands, f"{name}: band file {fname}")
        chunk = open(os.path.join(path, "bands", fname), "rb").read()
        check(len(chunk) <= band, f"{name}: band {fname} longer than a band")
        if want.get("trimmed"):
            check(len(chunk) % 512 == 0 and chunk[-512:] != bytes(512),
                  f"{name}: band {fname} not cut after its last non-zero sector")
        disk[n * band:n * band + len(chunk)] = chunk
    return bytes(disk), nbands, len(files), band


def main():
    mkhfs, work = sys.argv[1], sys.argv[2]
    if not shutil.which("7zz"):
        print("skip: 7zz is not installed")
        return 77
    os.makedirs(work, exist_ok=True)
    for name, container, args, want in VARIANTS:
        manifest = os.path.join(work, name + ".json")
        with open(manifest, "w") as f:
            json.dump(dict(VOLUME, container=container), f)
        ext = {"sparseimage": ".sparseimage", "sparsebundle": ".sparsebundle"}
        image = os.path.join(work, name + ext.get(container.get("format"), ".dmg"))
        raw, plain = os.path.join(work, name + ".raw"), os.path.join(work, name + ".img")
        shutil.rmtree(image, ignore_errors=True)
        subprocess.run([mkhfs, "--quiet", *args, manifest, image], check=True)
        subprocess.run([mkhfs, "--quiet", *args, "--container", "raw", manifest, raw], check=True)
        subprocess.run([mkhfs, "--quiet", "--container", "raw", "--partition-map", "none",
                        manifest, plain], check=True)
        raw_disk, volume = open(raw, "rb").read(), open(plain, "rb").read()
        gpt = "gpt" in args or container.get("partition_map") == "gpt"
        check(gpt != (raw_disk == volume), f"{name}: raw disk and plain volume")
        if gpt and shutil.which("sgdisk"):
            r = subprocess.run(["sgdisk", "-v", raw], capture_output=True, text=True)
            check("No problems found" in r.stdout, f"{name}: sgdisk -v: {r.stdout}")
        before = len(failures)
        if image.endswith(".dmg"):
            if not container.get("data_checksum", True):
                want = dict(want, no_data_checksum=True)
            check(decode_udif(image, name, want) == raw_disk, f"{name}: decoded UDIF != raw disk")
            seven_zip(image, name, want, raw_disk, volume, work)
        else:
            decode = decode_sparseimage if image.endswith(".sparseimage") else decode_sparsebundle
            disk, nbands, stored, band = decode(image, name, want)
            check(disk == raw_disk, f"{name}: decoded disk != raw disk")
            nonzero = sum(raw_disk[i * band:(i + 1) * band] != bytes(len(raw_disk[i * band:(i + 1) * band]))
                          for i in range(nbands))
            check(stored == nonzero and stored < nbands,
                  f"{name}: {stored} bands stored, {nonzero} of {nbands} hold data")
        print(f"{name}: {'ok' if len(failures) == before else 'FAILED'}")
    for msg in failures:
        print("FAIL:", msg)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
