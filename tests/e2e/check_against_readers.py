#!/usr/bin/env python3
"""Compares a mounted volume with what independent readers report about it.

The reports are the ground-truth files kept beside each reference image:
NAME.groundtruth.tsv (contents, resource forks and extended attributes as
The Sleuth Kit's icat and 7-Zip's extraction read them) and NAME.fls.txt
(fls: every item with its inode, dates, size, uid and gid).

Usage: check_against_readers.py MOUNTPOINT GROUNDTRUTH.tsv FLS.txt [RSRC_SUFFIX]
The volume must be mounted with -o rsrc_ext=RSRC_SUFFIX (default .rsrc).
Prints one line per difference and exits 1 if there is any.
"""
import errno
import hashlib
import os
import stat
import sys

# Root entries that the file system hides, as fls prints them.
HIDDEN_ROOT = {".journal", ".journal_info_block", "^^^^HFS+ Private Data",
               ".HFS+ Private Directory Data^"}


def sha256(data):
    return hashlib.sha256(data).hexdigest()


def main(mount, truth_path, fls_path, rsrc_suffix=".rsrc"):
    problems = []
    checked = 0

    def bad(message):
        problems.append(message)

    def hidden(path):
        return path.split("/")[0] in HIDDEN_ROOT

    # What fls lists: path -> (kind, inode, size, uid, gid)
    listed = {}
    with open(fls_path, encoding="utf-8", errors="surrogateescape") as f:
        for line in f:
            line = line.rstrip("\n")
            if not line:
                continue
            head, _, rest = line.partition(":\t")
            kind, inode = head.split()[0], head.split()[1]
            fields = rest.split("\t")
            path = fields[0]
            if path.startswith("$") or hidden(path):
                continue
            size, first_id, second_id = fields[5], fields[6], fields[7]
            listed[path] = (kind, int(inode), int(size), int(first_id), int(second_id))

    # Every listed item is there, with its inode number, type and size.
    for path, (kind, inode, size, a, b) in sorted(listed.items()):
        full = os.path.join(mount, path)
        try:
            st = os.lstat(full)
        except OSError as e:
            bad(f"{path}: {e.strerror}")
            continue
        checked += 1
        if st.st_ino != inode:
            bad(f"{path}: inode {st.st_ino}, fls says {inode}")
        want = {"d/d": stat.S_ISDIR, "r/r": stat.S_ISREG, "l/l": stat.S_ISLNK}.get(kind)
        if want and not want(st.st_mode):
            bad(f"{path}: mode {oct(st.st_mode)}, fls says {kind}")
        if kind != "d/d" and st.st_size != size:
            bad(f"{path}: size {st.st_size}, fls says {size}")
        if {st.st_uid, st.st_gid} != {a, b}:
            bad(f"{path}: uid/gid {st.st_uid}/{st.st_gid}, fls says {a}/{b}")

    # Nothing more is shown than fls lists.
    shown = set()
    for root, dirs, files in os.walk(mount):
        for name in dirs + files:
            shown.add(os.path.relpath(os.path.join(root, name), mount))
    for path in sorted(shown - set(listed)):
        bad(f"{path}: shown but not listed by fls")

    with open(truth_path, encoding="utf-8", errors="surrogateescape") as f:
        rows = [line.rstrip("\n").split("\t") for line in f if line.strip()]
    links = {path for reader, kind, path, *_ in rows if reader == "7z" and kind == "symlink"}
    items = set(listed) | {path for reader, kind, path, *_ in rows if ":" not in path}

    # What each reader expects: (path, what) -> (size, digest), where what is
    # "data", "rsrc" or an attribute name; 7-Zip writes PATH:rsrc and
    # PATH:ATTRIBUTE, The Sleuth Kit RSRC:RSRC and ExATTR:ATTRIBUTE.
    expected = {}
    for reader, kind, path, _inode, size, digest in rows:
        if hidden(path):
            continue
        if reader == "tsk":
            what = ("data" if kind == "data" else "rsrc" if kind == "RSRC:RSRC"
                    else kind[len("ExATTR:"):] if kind.startswith("ExATTR:") else None)
        else:
            what = "data"
            if path not in items:
                base, _, name = path.rpartition(":")
                while base and base not in items and ":" in base:
                    base, _, more = base.rpartition(":")
                    name = more + ":" + name
                if base not in items:
                    bad(f"{path}: 7-Zip names an item the listing lacks")
                    continue
                path, what = base, ("rsrc" if name == "rsrc" else name)
        if what is None:
            continue
        expected[(path, what)] = (int(size), digest)

    attributes = {}
    for (path, what), (size, digest) in sorted(expected.items()):
        full = os.path.join(mount, path)
        try:
            if what == "data":
                data = (os.readlink(full).encode("utf-8", "surrogateescape") if path in links
                        else open(full, "rb").read())
            elif what == "rsrc":
                data = open(full + rsrc_suffix, "rb").read()
            else:
                attributes.setdefault(path, set()).add("user." + what)
                data = os.getxattr(full, "user." + what, follow_symlinks=False)
        except OSError as e:
            bad(f"{path} [{what}]: {e.strerror}")
            continue
        checked += 1
        if len(data) != size or sha256(data) != digest:
            bad(f"{path} [{what}]: {len(data)} bytes {sha256(data)[:12]}, "
                f"readers say {size} bytes {digest[:12]}")

    # Every stored attribute is listed, and no other.
    synthetic = {"user.quorvel.record.date_created", "user.quorvel.record.date_backedup",
                 "user.com.apple.FinderInfo", "user.com.apple.ResourceFork"}
    for path in sorted(items):
        full = os.path.join(mount, path)
        try:
            names = set(os.listxattr(full, follow_symlinks=False))
            mode = os.lstat(full).st_mode
        except OSError as e:
            # Linux cannot list more than 64 KiB of attribute names at once.
            wanted = sum(len(n) + 1 for n in attributes.get(path, ()))
            if e.errno != errno.E2BIG or wanted <= 65536:
                bad(f"{path}: listxattr: {e.strerror}")
            continue
        if not (stat.S_ISREG(mode) or stat.S_ISDIR(mode)):
            # Linux reads no user. attributes there: none are listed.
            if names or attributes.get(path):
                bad(f"{path}: attributes {sorted(names)} on a {stat.filemode(mode)[0]} item")
            continue
        if "user.quorvel.record.date_created" not in names:
            bad(f"{path}: creation date attribute not listed")
        stored = names - synthetic
        if stored != attributes.get(path, set()):
            bad(f"{path}: attributes {sorted(stored)[:5]}, readers show "
                f"{sorted(attributes.get(path, set()))[:5]}")

    for p in problems[:200]:
        print("DIFF:", p)
    print(f"{checked} items checked, {len(problems)} differences")
    nothing_expected = not listed and not rows
    return 1 if problems or (checked == 0 and not nothing_expected) else 0


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:5]))
