#!/usr/bin/env python3
"""Compares a folder extracted by quorvel-extract with the mounted volume.

Usage: compare_trees.py MOUNT EXTRACTED [SEVENZIP_FOLDER [EXTRACT_LOG]]
Names, types, modes, owners, sizes, times, contents, symbolic-link targets,
extended attributes and the grouping of hard links must agree. A folder seen
again through a folder hard link is a symbolic link to its first copy. With a
folder extracted by 7-Zip, every regular file 7-Zip could decode must hold
the same bytes. Prints each difference; exits 1 if there is any.
"""
import hashlib
import os
import stat
import sys

# ext4 keeps attribute values within one block; larger ones are refused and
# reported by the extractor rather than written.
LARGEST_STORABLE_ATTRIBUTE = 3000


def digest(path):
    h = hashlib.sha256()
    with open(path, "rb") as f:
        for block in iter(lambda: f.read(1 << 20), b""):
            h.update(block)
    return h.hexdigest()


def walk(root, rel=""):
    """Every path below root, without following (or touching) symbolic links."""
    paths = []
    with os.scandir(os.path.join(root, rel)) as entries:
        for entry in sorted(entries, key=lambda e: e.name):
            path = os.path.join(rel, entry.name)
            paths.append(path)
            if entry.is_dir(follow_symlinks=False):
                paths.extend(walk(root, path))
    return paths


def attributes(path):
    """Name -> value; None for a value the kernel will not pass (over 64 KiB)."""
    try:
        names = os.listxattr(path, follow_symlinks=False)
    except OSError:
        return None
    values = {}
    for name in names:
        try:
            values[name] = os.getxattr(path, name, follow_symlinks=False)
        except OSError:
            values[name] = None
    return values


def reported_failures(log):
    """The items quorvel-extract listed as not extracted."""
    failed = set()
    if log and os.path.exists(log):
        for line in open(log, encoding="utf-8", errors="surrogateescape"):
            if line.startswith("    /") and ": " in line:
                failed.add(line.strip().split(": ")[0].lstrip("/"))
    return failed


def sevenzip_errors(folder):
    """The files 7-Zip said it could not extract (its output is kept beside)."""
    errors = set()
    log = folder.rstrip("/") + ".log"
    if os.path.exists(log):
        for line in open(log, encoding="utf-8", errors="surrogateescape"):
            if line.startswith("ERROR: ") and " : " in line:
                path = line.rstrip("\n").split(" : ", 1)[1]
                errors.add(path.split("/", 1)[1] if "/" in path else path)
    return errors


def resource_layout(mount_path):
    """True when a chunked LZVN file keeps the resource-header chunk table,
    which 7-Zip cannot read."""
    try:
        head = os.getxattr(mount_path, "user.com.apple.ResourceFork")[:4]
    except OSError:
        return True
    return head == b"\x00\x00\x01\x00"


def main(mount, extracted, sevenzip=None, log=None):
    problems = []
    bad = problems.append
    shown, copied = walk(mount), walk(extracted)
    failed = reported_failures(log)
    # Later names of a folder: a link to the copy of the same folder; what the
    # mount shows below them is compared at the first copy.
    relinked = set()
    for rel in shown:
        if any(rel.startswith(r + "/") for r in relinked):
            continue
        a, b = os.path.join(mount, rel), os.path.join(extracted, rel)
        if os.path.isdir(a) and not os.path.islink(a) and os.path.islink(b):
            relinked.add(rel)
            first = os.path.realpath(b)
            inside = os.path.relpath(first, os.path.realpath(extracted))
            if inside.startswith("..") or not os.path.isdir(first):
                bad(f"{rel}: links outside the copy or to no folder")
            elif os.stat(os.path.join(mount, inside)).st_ino != os.stat(a).st_ino:
                bad(f"{rel}: links to {inside}, another folder")
    shown = [rel for rel in shown if rel not in relinked and
             not any(rel.startswith(r + "/") for r in relinked)]
    copied = [rel for rel in copied if rel not in relinked]
    # Times first: reading a copy changes its access time (and that of every
    # other name of a hard link).
    stats = {}
    for rel in shown:
        try:
            stats[rel] = (os.lstat(os.path.join(mount, rel)), os.lstat(os.path.join(extracted, rel)))
        except OSError as e:
            if rel not in failed:
                bad(f"{rel}: {e}")
    missing = sorted(set(shown) - set(copied) - failed)[:10]
    extra = sorted(set(copied) - set(shown))[:10]
    if missing or extra:
        bad(f"names differ: missing {missing}, extra {extra}")
    groups_shown, groups_copied = {}, {}
    for rel in shown:
        a, b = os.path.join(mount, rel), os.path.join(extracted, rel)
        if rel not in stats:
            continue
        sa, sb = stats[rel]
        if stat.S_IFMT(sa.st_mode) != stat.S_IFMT(sb.st_mode):
            bad(f"{rel}: type {oct(sa.st_mode)} vs {oct(sb.st_mode)}")
            continue
        if not stat.S_ISLNK(sa.st_mode) and stat.S_IMODE(sa.st_mode) != stat.S_IMODE(sb.st_mode):
            bad(f"{rel}: mode {oct(sa.st_mode)} vs {oct(sb.st_mode)}")
        if (sa.st_uid, sa.st_gid) != (sb.st_uid, sb.st_gid) and os.geteuid() == 0:
            bad(f"{rel}: owner {sa.st_uid}:{sa.st_gid} vs {sb.st_uid}:{sb.st_gid}")
        if sa.st_mtime_ns != sb.st_mtime_ns:
            bad(f"{rel}: mtime {sa.st_mtime_ns} vs {sb.st_mtime_ns}")
        if not stat.S_ISDIR(sa.st_mode) and sa.st_atime_ns != sb.st_atime_ns:
            bad(f"{rel}: atime {sa.st_atime_ns} vs {sb.st_atime_ns}")
        if stat.S_ISLNK(sa.st_mode):
            if os.readlink(a) != os.readlink(b):
                bad(f"{rel}: link target {os.readlink(a)!r} vs {os.readlink(b)!r}")
        elif stat.S_ISREG(sa.st_mode):
            groups_shown.setdefault(sa.st_ino, set()).add(rel)
            groups_copied.setdefault(sb.st_ino, set()).add(rel)
            if sa.st_size != sb.st_size:
                bad(f"{rel}: size {sa.st_size} vs {sb.st_size}")
            else:
                try:
                    if digest(a) != digest(b):
                        bad(f"{rel}: contents differ")
                except OSError as e:
                    if os.path.exists(b) and sb.st_size != 0:
                        bad(f"{rel}: mount unreadable ({e}) but a copy was written")
        # Linux keeps user attributes to files and folders.
        plain = stat.S_ISREG(sa.st_mode) or stat.S_ISDIR(sa.st_mode)
        xa, xb = (attributes(a), attributes(b)) if plain else (None, None)
        if xa is not None and xb is not None:
            for name, value in xa.items():
                if value is None or (len(value) > LARGEST_STORABLE_ATTRIBUTE and name not in xb):
                    continue
                if xb.get(name) != value:
                    bad(f"{rel}: attribute {name} differs")
            for name in set(xb) - set(xa):
                bad(f"{rel}: extra attribute {name}")
    link_sets = lambda groups: sorted(sorted(g) for g in groups.values() if len(g) > 1)
    if link_sets(groups_shown) != link_sets(groups_copied):
        bad(f"hard links {link_sets(groups_shown)} vs {link_sets(groups_copied)}")

    checked_7z = 0
    if sevenzip:
        # 7-Zip puts the volume's files in a folder named after the volume.
        refused = sevenzip_errors(sevenzip)
        top = os.listdir(sevenzip)
        if len(top) == 1 and os.path.isdir(os.path.join(sevenzip, top[0])):
            sevenzip = os.path.join(sevenzip, top[0])
        for rel in walk(sevenzip):
            seven = os.path.join(sevenzip, rel)
            ours = os.path.join(extracted, rel)
            if not os.path.isfile(seven) or os.path.islink(seven) or not os.path.isfile(ours):
                continue
            st = os.lstat(ours)
            # The header is read by name: it is not listed, nor copied.
            try:
                decmpfs = os.getxattr(os.path.join(mount, rel), "user.com.apple.decmpfs")
            except OSError:
                decmpfs = None
            # 7-Zip shows hard-link records bare, decodes types 3, 4, 7 and 8
            # (8 only with the offset table), and gives up on some forks.
            if st.st_nlink > 1 or rel in refused or (decmpfs and decmpfs[4] not in (3, 4, 7, 8)):
                continue
            if decmpfs and decmpfs[4] == 8 and resource_layout(os.path.join(mount, rel)):
                continue
            checked_7z += 1
            if digest(seven) != digest(ours):
                bad(f"{rel}: differs from 7-Zip's extraction")

    for p in problems[:100]:
        print("DIFF:", p)
    print(f"{len(shown)} items compared with the mount, {checked_7z} files with 7-Zip, "
          f"{len(problems)} differences")
    return 1 if problems or not shown else 0


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:5]))
