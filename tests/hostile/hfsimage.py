"""Locating the structures of an HFS+/HFSX image and deriving damaged copies.

Volume (bytes) finds the volume header, the three B-trees (their header
records, every node's descriptor and record offsets), the catalog's file and
folder records, the attribute records (with decmpfs headers) and the resource
forks of compressed files. damaged_variants(volume, tag) gives
(name, kind, damage) for every damage this suite applies: truncations at the
structure boundaries, rewritten fields in headers, node descriptors, record
offsets, keys, extents, attribute records, decmpfs headers and chunk tables,
crafted cycles, and seeded random bit flips.
"""
import random
import struct

VH = 1024  # the volume header's offset in the volume
FORKS = {"allocation": 112, "extents": 192, "catalog": 272, "attributes": 352}
U32_MAX = 0xFFFFFFFF


def be16(b, o):
    return struct.unpack_from(">H", b, o)[0]


def be32(b, o):
    return struct.unpack_from(">I", b, o)[0]


def be64(b, o):
    return struct.unpack_from(">Q", b, o)[0]


class Tree:
    """One B-tree file: node i lives at image offset node_offset(i)."""

    def __init__(self, vol, name, fork_at):
        self.vol, self.name = vol, name
        data = vol.data
        f = vol.base + VH + fork_at
        self.fork_at = f
        self.logical = be64(data, f)
        self.extents = [(be32(data, f + 16 + 8 * i), be32(data, f + 20 + 8 * i)) for i in range(8)]
        self.present = self.extents[0][1] != 0
        self.nodes = []  # (index, image offset, kind, height, nrecs, [record offsets])
        if not self.present:
            return
        h = self.fork_offset(0)
        self.header_at = h
        self.node_size = be16(data, h + 32)
        self.root = be32(data, h + 16)
        self.total = be32(data, h + 36)
        if self.node_size < 512 or self.node_size & (self.node_size - 1):
            self.present = False
            return
        for i in range(min(self.total, self.logical // self.node_size, 4096)):
            at = self.fork_offset(i * self.node_size)
            if at is None or at + self.node_size > len(data):
                break
            kind = struct.unpack_from(">b", data, at + 8)[0]
            nrecs = be16(data, at + 10)
            if kind not in (-1, 0, 1, 2) or nrecs == 0 or 2 * nrecs + 16 > self.node_size:
                continue
            end = at + self.node_size
            offs = [be16(data, end - 2 * (r + 1)) for r in range(nrecs + 1)]
            self.nodes.append((i, at, kind, data[at + 9], nrecs, offs))

    def fork_offset(self, pos):
        """Image offset of byte `pos` of the tree file (first eight extents)."""
        bs = self.vol.block_size
        for start, count in self.extents:
            if pos < count * bs:
                return self.vol.base + start * bs + pos
            pos -= count * bs
        return None

    def of_kind(self, kind):
        return [n for n in self.nodes if n[2] == kind]

    def records(self, kind):
        """(node, image offset of record, record length) of every record."""
        for node in self.of_kind(kind):
            _, at, _, _, nrecs, offs = node
            for r in range(nrecs):
                if offs[r] < offs[r + 1] <= self.node_size:
                    yield node, at + offs[r], offs[r + 1] - offs[r]


class Volume:
    def __init__(self, data, base=0):
        self.data = bytes(data)
        self.base = base
        vh = base + VH
        self.signature = data[vh : vh + 2]
        self.block_size = be32(data, vh + 40)
        self.total_blocks = be32(data, vh + 44)
        self.trees = {n: Tree(self, n, FORKS[n]) for n in ("extents", "catalog", "attributes")}
        self.files = {}  # cnid -> image offset of the file record body
        self.folders = {}  # cnid -> image offset of the folder record body
        self.threads = {}  # cnid -> image offset of the thread record body
        cat = self.trees["catalog"]
        if cat.present:
            for _, at, length in cat.records(-1):
                klen = be16(data, at)
                body = at + 2 + klen
                if body + 2 > at + length:
                    continue
                rtype = be16(data, body)
                if rtype == 2 and body + 248 <= at + length:
                    self.files[be32(data, body + 8)] = body
                elif rtype == 1 and body + 88 <= at + length:
                    self.folders[be32(data, body + 8)] = body
                elif rtype in (3, 4):
                    self.threads[be32(data, at + 2)] = body
        self.attrs = []  # (record offset, body offset, cnid, name)
        att = self.trees["attributes"]
        if att.present:
            for _, at, length in att.records(-1):
                klen = be16(data, at)
                nlen = be16(data, at + 12)
                name = data[at + 14 : at + 14 + 2 * min(nlen, 255)].decode("utf-16-be", "replace")
                self.attrs.append((at, at + 2 + klen, be32(data, at + 4), name))

    def fork_image_offset(self, fork_body):
        """Image offset of the first extent of the fork record at fork_body."""
        start, count = be32(self.data, fork_body + 16), be32(self.data, fork_body + 20)
        if count == 0:
            return None
        return self.base + start * self.block_size


# ---------------------------------------------------------------------------
# Damage


# A damage is a list of edits (offset, new bytes), or ("cut", length) for a
# truncation; materialize() applies it to a copy of the volume.


def put(data, at, fmt, value):
    if at is None or at < 0 or at + struct.calcsize(fmt) > len(data):
        return None
    return [(at, struct.pack(fmt, value))]


def flip(data, at, bit):
    if at is None or at >= len(data):
        return None
    return [(at, bytes([data[at] ^ (1 << bit)]))]


def both(a, b):
    return a + b if a is not None and b is not None else None


def materialize(data, damage):
    if damage and damage[0] == "cut":
        return data[: damage[1]]
    b = bytearray(data)
    for at, new in damage:
        b[at : at + len(new)] = new
    return bytes(b)


def damaged_variants(vol, tag, rng_seed=1, thorough=True):
    """(name, kind, damage) for every damaged copy of vol."""
    d = vol.data
    vh = vol.base + VH
    out = []

    def add(name, kind, damage):
        if damage is None:
            return
        if damage[0] != "cut" and all(d[at : at + len(new)] == new for at, new in damage):
            return  # changes nothing
        out.append((f"{tag}/{name}", kind, damage))

    # Truncations at every structure boundary.
    cuts = {0, 512, vh, vh + 2, vh + 256, vh + 512, len(d) - 1024, len(d) - 1}
    for tree in vol.trees.values():
        if not tree.present:
            continue
        cuts.add(tree.header_at)
        cuts.add(tree.header_at + 14)
        cuts.add(tree.header_at + tree.node_size)
        for _, at, *_ in tree.nodes[:: max(1, len(tree.nodes) // 4)]:
            cuts.add(at + tree.node_size // 2)
        if tree.nodes:
            cuts.add(tree.nodes[-1][1] + tree.node_size - 1)
    for body in list(vol.files.values())[:6]:
        for fork in (88, 168):
            at = vol.fork_image_offset(body + fork)
            if at is not None:
                cuts.add(at + 1)
    for cut in sorted(c for c in cuts if 0 <= c < len(d)):
        add(f"truncate-{cut}", "truncation", ("cut", cut))

    # The volume header.
    for value in (b"XX", b"BD", b"H+" if vol.signature == b"HX" else b"HX"):
        add(f"vh-signature-{value.decode()}", "volume header", [(vh, value)])
    add("vh-journaled-bit", "volume header", put(d, vh + 4, ">I", be32(d, vh + 4) ^ 0x2000))
    add("vh-journal-block", "volume header", put(d, vh + 12, ">I", U32_MAX))
    for v in (0, 1, 256, 3, 0x80000000, U32_MAX):
        add(f"vh-block-size-{v}", "volume header", put(d, vh + 40, ">I", v))
    for v in (0, 1):
        add(f"vh-total-blocks-{v}", "volume header", put(d, vh + 44, ">I", v))
    add("vh-counts", "volume header", both(put(d, vh + 32, ">I", U32_MAX), put(d, vh + 36, ">I", U32_MAX)))
    for name, at in FORKS.items():
        f = vh + at
        for v in (0, U32_MAX, max(vol.total_blocks, 1) - 1):
            add(f"vh-{name}-start-{v}", "volume header", put(d, f + 16, ">I", v))
        for v in (0, 1, U32_MAX):
            add(f"vh-{name}-count-{v}", "volume header", put(d, f + 20, ">I", v))
        for v in (0, 1, 1 << 63, (1 << 64) - 1):
            add(f"vh-{name}-size-{v}", "volume header", put(d, f, ">Q", v))
        add(f"vh-{name}-extent1", "volume header",
            both(put(d, f + 24, ">I", 0xFFFFFFF0), put(d, f + 28, ">I", 0xFFFF)))

    # B-tree header records.
    for tree in vol.trees.values():
        if not tree.present:
            continue
        h, t = tree.header_at, tree.name
        fields = [("depth", 14, ">H", (0, 1, 255, 0xFFFF)),
                  ("root", 16, ">I", (0, U32_MAX, tree.total)),
                  ("first-leaf", 24, ">I", (0, U32_MAX)),
                  ("node-size", 32, ">H", (0, 1, 256, 513, 1024, 32768, 0xFFFF)),
                  ("max-key", 34, ">H", (0, 6, 0xFFFF)),
                  ("total-nodes", 36, ">I", (0, 1, U32_MAX)),
                  ("key-compare", 51, ">B", (0, 0xBC, 0xCF)),
                  ("attributes", 52, ">I", (be32(d, h + 52) ^ 2, be32(d, h + 52) ^ 4)),
                  ("desc-nrecs", 10, ">H", (0, 2, 0xFFFF)),
                  ("desc-kind", 8, ">b", (0, -1))]
        for field, off, fmt, values in fields:
            for v in values:
                add(f"{t}-header-{field}-{v}", "tree header", put(d, h + off, fmt, v))

    # Node descriptors, record offsets and keys of chosen nodes: the root,
    # the first and last leaf and one index node of each tree.
    for tree in vol.trees.values():
        if not tree.present or not tree.nodes:
            continue
        ns, t = tree.node_size, tree.name
        leaves = tree.of_kind(-1)
        chosen = {n[0]: n for n in ([leaves[0], leaves[-1]] if leaves else [])}
        for n in tree.nodes:
            if n[0] == tree.root or (n[2] == 0 and len(chosen) < 4):
                chosen[n[0]] = n
        for idx, at, kind, height, nrecs, offs in chosen.values():
            p = f"{t}-node{idx}"
            for v in {-1, 0, 1, 2, 5} - {kind}:
                add(f"{p}-kind-{v}", "node descriptor", put(d, at + 8, ">b", v))
            for v in (0, 200):
                add(f"{p}-height-{v}", "node descriptor", put(d, at + 9, ">B", v))
            for v in (0, 1, nrecs + 1, 0xFFFF):
                add(f"{p}-nrecs-{v}", "node descriptor", put(d, at + 10, ">H", v))
            for v in (idx, 0, U32_MAX):
                add(f"{p}-flink-{v}", "node descriptor", put(d, at, ">I", v))
            add(f"{p}-blink-self", "node descriptor", put(d, at + 4, ">I", idx))
            end = at + ns
            last = nrecs - 1
            for r, v in ((0, 0), (0, 13), (0, 15), (last, ns), (last, offs[last] + 1),
                         (nrecs, 0xFFFF), (nrecs, 14), (nrecs, offs[last])):
                add(f"{p}-offset{r}-{v}", "record offsets", put(d, end - 2 * (r + 1), ">H", v))
            if nrecs >= 2:
                add(f"{p}-offsets-swapped", "record offsets",
                    [(end - 4, d[end - 2 : end]), (end - 2, d[end - 4 : end - 2])])
            for r in sorted({0, nrecs // 2, last}):
                rec = at + offs[r]
                if rec + 16 > end:
                    continue
                klen = be16(d, rec)
                for v in (0, 1, 0xFFFF, klen + 2):
                    add(f"{p}-rec{r}-keylen-{v}", "keys", put(d, rec, ">H", v))
                if t == "catalog":
                    for v in (0, 256, 0xFFFF):
                        add(f"{p}-rec{r}-namelen-{v}", "keys", put(d, rec + 6, ">H", v))
                    add(f"{p}-rec{r}-parent-0", "keys", put(d, rec + 2, ">I", 0))
                elif t == "attributes":
                    for v in (0, 256, 0xFFFF):
                        add(f"{p}-rec{r}-namelen-{v}", "keys", put(d, rec + 12, ">H", v))
                    add(f"{p}-rec{r}-cnid-0", "keys", put(d, rec + 4, ">I", 0))
                else:
                    add(f"{p}-rec{r}-start-max", "keys", put(d, rec + 8, ">I", U32_MAX))
                # Crafted cycles: an index record pointing at its own node, at
                # the header node and at the root.
                if kind == 0:
                    child = rec + 2 + klen
                    for v, what in ((idx, "self"), (0, "header"), (tree.root, "root")):
                        add(f"{p}-rec{r}-child-{what}", "cycles", put(d, child, ">I", v))
        # Sibling loops.
        if len(leaves) >= 2:
            add(f"{t}-leaf-loop", "cycles", put(d, leaves[-1][1], ">I", leaves[0][0]))
            add(f"{t}-leaf-self", "cycles", put(d, leaves[0][1], ">I", leaves[0][0]))
            add(f"{t}-leaf-back", "cycles", put(d, leaves[1][1], ">I", leaves[0][0]))

    # Catalog records: file forks, types, identities.
    for cnid, body in list(vol.files.items())[: 12 if thorough else 4]:
        p = f"file{cnid}"
        for fork, fname in ((88, "data"), (168, "rsrc")):
            f = body + fork
            if be64(d, f) == 0 and fname == "rsrc":
                continue
            add(f"{p}-{fname}-start-max", "extents", put(d, f + 16, ">I", U32_MAX - 1))
            add(f"{p}-{fname}-start-end", "extents", put(d, f + 16, ">I", vol.total_blocks - 1))
            add(f"{p}-{fname}-count-0", "extents", put(d, f + 20, ">I", 0))
            add(f"{p}-{fname}-count-max", "extents", put(d, f + 20, ">I", U32_MAX))
            add(f"{p}-{fname}-size-huge", "extents", put(d, f, ">Q", 1 << 62))
            add(f"{p}-{fname}-size-plus", "extents", put(d, f, ">Q", be64(d, f) + 4096 * 9))
            add(f"{p}-{fname}-extent7", "extents",
                both(put(d, f + 72, ">I", 0xFFFFFF00), put(d, f + 76, ">I", 0x1000)))
        for v in (0, 5, 3):
            add(f"{p}-type-{v}", "catalog records", put(d, body, ">H", v))
        add(f"{p}-cnid-root", "catalog records", put(d, body + 8, ">I", 2))
        add(f"{p}-compressed-flag", "catalog records", put(d, body + 41, ">B", d[body + 41] ^ 0x20))
        add(f"{p}-mode-symlink", "catalog records", put(d, body + 42, ">H", 0o120777))
        add(f"{p}-mode-ffff", "catalog records", put(d, body + 42, ">H", 0xFFFF))
    for cnid, body in list(vol.folders.items())[:6]:
        p = f"folder{cnid}"
        add(f"{p}-valence-max", "catalog records", put(d, body + 4, ">I", U32_MAX))
        # Child links to self: a folder record naming its own parent, and
        # one naming the root.
        if cnid in vol.threads:
            parent = be32(d, vol.threads[cnid] + 4)
            add(f"{p}-cnid-parent", "cycles", put(d, body + 8, ">I", parent))
        add(f"{p}-cnid-root", "cycles", put(d, body + 8, ">I", 2))
    for cnid, body in list(vol.threads.items())[:6]:
        add(f"thread{cnid}-parent-self", "cycles", put(d, body + 4, ">I", cnid))
        add(f"thread{cnid}-namelen-max", "keys", put(d, body + 8, ">H", 0xFFFF))

    # Extents overflow records: records that add nothing, repeat or overlap.
    ext = vol.trees["extents"]
    if ext.present:
        for n, (node, at, length) in enumerate(list(ext.records(-1))[:4]):
            p = f"overflow{n}"
            add(f"{p}-adds-nothing", "cycles",
                [(at + 12 + 8 * e + 4, bytes(4)) for e in range(8)])
            add(f"{p}-start-0", "cycles", put(d, at + 8, ">I", 0))
            add(f"{p}-start-max", "extents", put(d, at + 8, ">I", U32_MAX))
            add(f"{p}-count-max", "extents", put(d, at + 16, ">I", U32_MAX))
            add(f"{p}-block-max", "extents", put(d, at + 12, ">I", U32_MAX - 1))

    # Attribute records and decmpfs headers.
    for n, (rec, body, cnid, name) in enumerate(vol.attrs[: 40 if thorough else 8]):
        p = f"attr{n}"
        rtype = be32(d, body)
        if name != "com.apple.decmpfs" or n % 3 == 0:
            for v in (0, 0x40, 0x30 if rtype != 0x30 else 0x10):
                add(f"{p}-type-{v:x}", "attribute records", put(d, body, ">I", v))
        if rtype == 0x10:
            size = be32(d, body + 12)
            for v in (0, size + 1, U32_MAX):
                add(f"{p}-inline-size-{v}", "attribute records", put(d, body + 12, ">I", v))
        elif rtype == 0x20:
            add(f"{p}-fork-size-huge", "attribute records", put(d, body + 8, ">Q", 1 << 40))
            add(f"{p}-fork-start-max", "attribute records", put(d, body + 24, ">I", U32_MAX - 1))
            add(f"{p}-fork-count-0", "attribute records", put(d, body + 28, ">I", 0))
        elif rtype == 0x30:
            add(f"{p}-ext-count-0", "cycles", put(d, body + 12, ">I", 0))
            add(f"{p}-ext-start-max", "attribute records", put(d, body + 8, ">I", U32_MAX - 1))
        if name != "com.apple.decmpfs" or rtype != 0x10:
            continue
        # decmpfs: header at body + 16 ("fpmc", type, size; little-endian).
        h = body + 16
        ctype = struct.unpack_from("<I", d, h + 4)[0]
        usize = struct.unpack_from("<Q", d, h + 8)[0]
        p = f"decmpfs{cnid}-t{ctype}"
        add(f"{p}-magic", "decmpfs", flip(d, h, 0))
        for v in (0, 1, 2, 6, 13, 255):
            add(f"{p}-type-{v}", "decmpfs", put(d, h + 4, "<I", v))
        for v in (0, usize - 1 if usize else 1, usize * 2 + 1, 1 << 63, (1 << 64) - 1):
            add(f"{p}-size-{v}", "decmpfs", put(d, h + 8, "<Q", v))
        isize = be32(d, body + 12)
        for v in (16, 17):
            if v < isize:
                add(f"{p}-attr-cut-{v}", "decmpfs", put(d, body + 12, ">I", v))
        if isize > 17:
            add(f"{p}-payload-flip", "decmpfs", flip(d, h + 16 + (isize - 16) // 2, 3))
            add(f"{p}-payload-first", "decmpfs", put(d, h + 16, ">B", d[h + 16] ^ 0xF0))
        # The resource fork of chunked types: the chunk table.
        fbody = vol.files.get(cnid)
        r = vol.fork_image_offset(fbody + 168) if fbody is not None else None
        if r is None or ctype not in (4, 8, 12) or r + 0x120 > len(d):
            continue
        if be32(d, r) == 0x100:
            t = r + 0x104
            count = struct.unpack_from("<I", d, t)[0]
            add(f"{p}-rsrc-dataoffset", "decmpfs chunk table", put(d, r, ">I", U32_MAX))
            add(f"{p}-rsrc-length", "decmpfs chunk table", put(d, r + 0x100, ">I", 3))
            for v in (0, count + 1, U32_MAX):
                add(f"{p}-table-count-{v}", "decmpfs chunk table", put(d, t, "<I", v))
            for v in (0, 0xFFFFFFF0, 1):
                add(f"{p}-chunk0-offset-{v}", "decmpfs chunk table", put(d, t + 4, "<I", v))
            for v in (0, 1, 70000, U32_MAX):
                add(f"{p}-chunk0-length-{v}", "decmpfs chunk table", put(d, t + 8, "<I", v))
            first = t + struct.unpack_from("<I", d, t + 4)[0]
            add(f"{p}-chunk0-flip", "decmpfs chunk table", flip(d, first + 7, 5))
            add(f"{p}-chunk0-marker", "decmpfs chunk table", put(d, first, ">B", d[first] ^ 0xFF))
        else:
            first = struct.unpack_from("<I", d, r)[0]
            for v in (0, 4, U32_MAX, first + 1):
                add(f"{p}-offsets0-{v}", "decmpfs chunk table", put(d, r, "<I", v))
            add(f"{p}-offsets1-back", "decmpfs chunk table", put(d, r + 4, "<I", 1))
            add(f"{p}-offsets1-max", "decmpfs chunk table", put(d, r + 4, "<I", U32_MAX))
            if first < 0x10000:
                add(f"{p}-chunk0-flip", "decmpfs chunk table", flip(d, r + first + 5, 2))

    # Seeded random bit flips in every tree's nodes.
    rng = random.Random(f"{tag}-{rng_seed}")
    for tree in vol.trees.values():
        if not tree.present or not tree.nodes:
            continue
        for k in range(12 if thorough else 4):
            _, at, *_ = rng.choice(tree.nodes)
            edits = []
            for _ in range(rng.choice((1, 1, 2, 8))):
                edits += flip(d, at + rng.randrange(tree.node_size), rng.randrange(8)) or []
            add(f"{tree.name}-random{k}", "random bit flips", edits or None)
    return out
