#!/usr/bin/env python3
"""Writes a disk (any file of whole 512-byte sectors) as Apple disk images,
for the tests and the fuzz seed corpora:

  make_images.py DISK OUTDIR

makes in OUTDIR: udif.dmg (runs of every kind: zero, ignore, raw, ADC, zlib,
bzip2, xz; stored out of order; two tables, the second with a non-zero data
offset; table and master checksums), seg.dmg + seg.002.dmgpart ... seg.004.dmgpart (the same, segmented,
runs crossing segment boundaries, the third segment empty), rsrc.dmg (the tables in a resource fork
only), disk.sparseimage (bands stored out of order, unwritten bands left
out) and disk.sparsebundle (the same as band files, the last ones short).
"""
import bz2
import lzma
import os
import random
import struct
import sys
import zlib

SECTOR = 512
RUN_SECTORS = 64  # small runs, so that a small disk has many (settable by importers)


def adc_encode(data):
    """Literals, and long matches of distance 0 for repeated bytes."""
    out = bytearray()
    i = 0
    while i < len(data):
        j = i + 1
        while j < len(data) and data[j] == data[i] and j - i < 68:
            j += 1
        if j - i >= 5:  # one literal, then the rest repeats it
            out += bytes([0x80, data[i]])
            out += bytes([0x40 | (j - i - 1 - 4), 0, 0])
            i = j
            continue
        n = min(128, len(data) - i)
        out += bytes([0x80 | (n - 1)]) + data[i : i + n]
        i += n
    return bytes(out)


CODECS = [
    (0x00000001, lambda d: d),
    (0x80000004, adc_encode),
    (0x80000005, zlib.compress),
    (0x80000006, bz2.compress),
    (0x80000008, lambda d: lzma.compress(d, format=lzma.FORMAT_XZ)),
]


def runs_of(disk, first, count, rng):
    """(type, first sector within the table, sectors, stored bytes)."""
    runs = []
    step = RUN_SECTORS
    for s in range(0, count, step):
        n = min(step, count - s)
        chunk = disk[(first + s) * SECTOR : (first + s + n) * SECTOR]
        if chunk.count(0) == len(chunk):
            runs.append((rng.choice([0, 2]), s, n, b""))
        else:
            kind, encode = CODECS[len(runs) % len(CODECS)]
            runs.append((kind, s, n, encode(chunk)))
    return runs


def mish(first, count, base, runs, offsets, crc):
    out = bytearray(b"mish" + struct.pack(">IQQQII", 1, first, count, base, 0, 0))
    out += bytes(64 - len(out)) + struct.pack(">III", 2, 32, crc)
    out += bytes(200 - len(out))
    entries = [(0x7FFFFFFE, b"+beg", 0, 0, 0, 0)]
    for (kind, s, n, data), offset in zip(runs, offsets):
        entries.append((kind, b"\0\0\0\0", s, n, offset if data else 0, len(data)))
    entries.append((0xFFFFFFFF, b"\0\0\0\0", count, 0, 0, 0))
    out += struct.pack(">I", len(entries))
    for kind, comment, s, n, offset, length in entries:
        out += struct.pack(">I4sQQQQ", kind, comment, s, n, offset, length)
    return bytes(out)


def udif_parts(disk, rng):
    """The data stream and the tables (name, mish bytes) of a disk."""
    sectors = len(disk) // SECTOR
    split = sectors // 3
    tables = [(0, split), (split, sectors - split)]
    stream = bytearray(b"\xEE" * 37)  # bytes no run uses
    blobs = []
    for t, (first, count) in enumerate(tables):
        runs = runs_of(disk, first, count, rng)
        order = list(range(len(runs)))
        rng.shuffle(order)  # stored out of disk order
        base = len(stream) if t == 1 else 0
        offsets = [0] * len(runs)
        for i in order:
            offsets[i] = len(stream) - base
            stream += runs[i][3]
        # The table's checksum: its decoded bytes, ignore runs left out.
        crc = 0
        for kind, s, n, _data in runs:
            if kind != 2:
                crc = zlib.crc32(disk[(first + s) * SECTOR : (first + s + n) * SECTOR], crc)
        blobs.append((f"part {t} (Apple_HFS : {t})",
                      mish(first, count, base, runs, offsets, crc)))
    return bytes(stream), blobs


def plist(blobs):
    import base64

    items = ""
    for i, (name, blob) in enumerate(blobs):
        text = base64.b64encode(blob).decode()
        lines = "\n".join("\t\t\t\t" + text[k : k + 52] for k in range(0, len(text), 52))
        items += (
            "\t\t\t<dict>\n\t\t\t\t<key>Attributes</key>\n\t\t\t\t<string>0x0050</string>\n"
            f"\t\t\t\t<key>Data</key>\n\t\t\t\t<data>\n{lines}\n\t\t\t\t</data>\n"
            f"\t\t\t\t<key>ID</key>\n\t\t\t\t<string>{i}</string>\n"
            f"\t\t\t\t<key>Name</key>\n\t\t\t\t<string>{name}</string>\n\t\t\t</dict>\n"
        )
    return (
        '<?xml version="1.0" encoding="UTF-8"?>\n'
        '<!DOCTYPE plist PUBLIC "-//Apple//DTD PLIST 1.0//EN" '
        '"http://www.apple.com/DTDs/PropertyList-1.0.dtd">\n'
        '<plist version="1.0">\n<dict>\n\t<key>resource-fork</key>\n\t<dict>\n'
        f"\t\t<key>blkx</key>\n\t\t<array>\n{items}\t\t</array>\n\t</dict>\n</dict>\n</plist>\n"
    ).encode()


def resource_fork(blobs):
    data = bytearray()
    refs = bytearray()
    for i, (_name, blob) in enumerate(blobs):
        refs += struct.pack(">hHB", i - 1, 0xFFFF, 0x50) + len(data).to_bytes(3, "big") + bytes(4)
        data += struct.pack(">I", len(blob)) + blob
    type_list = struct.pack(">H4sHH", 0, b"blkx", len(blobs) - 1, 10)
    map_ = bytes(16) + bytes(4) + bytes(2) + bytes(2) + struct.pack(">HH", 28, 28 + 10 + len(refs))
    map_ += type_list + refs
    data_at = 256
    header = struct.pack(">IIII", data_at, data_at + len(data), len(data), len(map_))
    return header + bytes(data_at - 16) + bytes(data) + map_


def koly(sectors, data_length, xml_at=0, xml_length=0, rsrc_at=0, rsrc_length=0,
         running=0, number=1, count=1, ident=b"\x11" * 16, master=None):
    t = bytearray(512)
    t[0:4] = b"koly"
    struct.pack_into(">III", t, 4, 4, 512, 1)
    struct.pack_into(">QQQQQ", t, 16, running, 0, data_length, rsrc_at, rsrc_length)
    struct.pack_into(">II", t, 56, number, count)
    t[64:80] = ident
    struct.pack_into(">QQ", t, 216, xml_at, xml_length)
    struct.pack_into(">I", t, 488, 2)
    struct.pack_into(">Q", t, 492, sectors)
    if master is not None:
        struct.pack_into(">III", t, 352, 2, 32, master)
    return bytes(t)


def write_udif(disk, out, rng):
    sectors = len(disk) // SECTOR
    stream, blobs = udif_parts(disk, rng)
    xml = plist(blobs)
    master = zlib.crc32(b"".join(blob[72:76] for _name, blob in blobs))
    with open(os.path.join(out, "udif.dmg"), "wb") as f:
        f.write(stream + xml + koly(sectors, len(stream), len(stream), len(xml), master=master))
    rsrc = resource_fork(blobs)
    with open(os.path.join(out, "rsrc.dmg"), "wb") as f:
        f.write(stream + rsrc + koly(sectors, len(stream), rsrc_at=len(stream),
                                     rsrc_length=len(rsrc)))
    # Four segments cut at arbitrary points of the stream, the third empty.
    cuts = [0, len(stream) // 3 + 5, 2 * len(stream) // 3 + 11, 2 * len(stream) // 3 + 11,
            len(stream)]
    for k in range(4):
        part = stream[cuts[k] : cuts[k + 1]]
        name = "seg.dmg" if k == 0 else f"seg.{k + 1:03d}.dmgpart"
        extra = xml if k == 0 else b""
        trailer = koly(sectors, len(part), len(part) if k == 0 else 0, len(extra),
                       running=cuts[k], number=k + 1, count=4)
        with open(os.path.join(out, name), "wb") as f:
            f.write(part + extra + trailer)


def write_sparse(disk, out, rng):
    per_band = 32
    band = per_band * SECTOR
    sectors = len(disk) // SECTOR
    count = -(-sectors // per_band)
    assert count <= 1008, "disk too large for one sparse image header"
    written = [b for b in range(count) if disk[b * band : (b + 1) * band].count(0) != band]
    rng.shuffle(written)
    header = bytearray(4096)
    header[0:4] = b"sprs"
    struct.pack_into(">IIII", header, 4, 3, per_band, 1, sectors)
    body = bytearray()
    for i, b in enumerate(written):
        struct.pack_into(">I", header, 64 + 4 * i, b + 1)
        body += disk[b * band : (b + 1) * band].ljust(band, b"\0")
    with open(os.path.join(out, "disk.sparseimage"), "wb") as f:
        f.write(header + body)

    band = 64 * 1024
    bundle = os.path.join(out, "disk.sparsebundle")
    os.makedirs(os.path.join(bundle, "bands"), exist_ok=True)
    info = (
        '<?xml version="1.0" encoding="UTF-8"?>\n<plist version="1.0">\n<dict>\n'
        "\t<key>CFBundleInfoDictionaryVersion</key>\n\t<string>6.0</string>\n"
        f"\t<key>band-size</key>\n\t<integer>{band}</integer>\n"
        "\t<key>bundle-backingstore-version</key>\n\t<integer>1</integer>\n"
        "\t<key>diskimage-bundle-type</key>\n"
        "\t<string>com.apple.diskimage.sparsebundle</string>\n"
        f"\t<key>size</key>\n\t<integer>{len(disk)}</integer>\n</dict>\n</plist>\n"
    )
    for name in ("Info.plist", "Info.bckup"):
        with open(os.path.join(bundle, name), "w") as f:
            f.write(info)
    open(os.path.join(bundle, "token"), "wb").close()
    for b in range(-(-len(disk) // band)):
        data = disk[b * band : (b + 1) * band].rstrip(b"\0")  # the tail never written
        if data:
            with open(os.path.join(bundle, "bands", format(b, "x")), "wb") as f:
                f.write(data)


def main_with(disk_path, out):
    disk = open(disk_path, "rb").read()
    disk += bytes(-len(disk) % SECTOR)
    os.makedirs(out, exist_ok=True)
    rng = random.Random(7)
    write_udif(disk, out, rng)
    write_sparse(disk, out, rng)


if __name__ == "__main__":
    main_with(sys.argv[1], sys.argv[2])
