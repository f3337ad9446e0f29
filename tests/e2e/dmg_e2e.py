#!/usr/bin/env python3
"""Real disk images made by macOS (../shared/testdata/dmg): each decodes to the
disk its FILE.disk.sha256 names (through a test hook and through
quorvel-extract's disk command), its partitions list the file system
found, and it matches its own checksums; each HFS+ one mounts, and every item of its
ground truth reads right through the mount and through quorvel-extract; the
ones without HFS+ are refused with a list of what their map holds.

Ground truth: The Sleuth Kit's rows, except where it reports ERR (a
extended attribute stored as fork data), where 7-Zip's row for the same
attribute is used. 7-Zip's sizes of hard links (0) are wrong and not used.
Rows under the private-data folder (hard-link targets) are reached through
their links."""
import hashlib
import os
import subprocess
import sys
import tempfile

shared = os.environ.get("SHARED_DMG", "")
quorvel = os.environ["QUORVEL"]
extract = os.environ["QUORVEL_EXTRACT"]
decode = os.environ["IMAGE_DECODE"]
if not shared or not os.path.isdir(shared):
    print("SKIP: no shared disk images")
    sys.exit(77)
if not os.path.exists("/dev/fuse"):
    print("SKIP: /dev/fuse is missing")
    sys.exit(77)

failures = []


def fail(message):
    failures.append(message)
    print("FAIL:", message)


def digest(data):
    return hashlib.sha256(data).hexdigest()


def truth_rows(path):
    rows = [line.rstrip("\n").split("\t") for line in open(path, encoding="utf-8")][1:]
    tsk = [r for r in rows if r[0] == "tsk"]
    items = []  # (kind, path, name, size, sha256)
    for reader, kind, item, _inode, size, sha in tsk:
        if size == "ERR" or item.startswith("^"):
            continue
        if kind.startswith("ExATTR:"):
            items.append(("xattr", item, kind[len("ExATTR:"):], int(size), sha))
        elif kind == "RSRC:RSRC":
            items.append(("xattr", item, "com.apple.ResourceFork", int(size), sha))
        else:
            items.append((kind, item, None, int(size), sha))
    unreadable = {r[2] for r in tsk if r[4] == "ERR"}
    for reader, kind, item, _inode, size, sha in rows:
        if reader == "7z" and ":" in item:
            base, name = item.rsplit(":", 1)
            if base in unreadable:
                items.append(("xattr", base, name, int(size), sha))
    return items


def mounted_bytes(mnt, kind, item, name):
    path = os.path.join(mnt, item)
    if kind == "symlink":
        return os.readlink(path).encode()
    if kind == "xattr":
        return os.getxattr(path, "user." + name, follow_symlinks=False)
    with open(path, "rb") as f:
        return f.read()


def extracted_bytes(image, kind, item, name):
    if kind == "symlink":
        return None  # cat follows nothing; the mount covers links
    args = [extract, "--quiet", image]
    args += ["xattr", "/" + item, "user." + name] if kind == "xattr" else ["cat", "/" + item]
    run = subprocess.run(args, capture_output=True)
    if run.returncode != 0:
        raise OSError(run.stderr.decode(errors="replace").strip())
    return run.stdout


def check_image(image, work):
    base = os.path.basename(image)
    size, sha = open(image + ".disk.sha256").read().split()
    run = subprocess.run([decode, image], capture_output=True)
    if run.returncode != 0:
        fail(f"{base}: not decoded: {run.stderr.decode(errors='replace')}")
    elif (len(run.stdout), digest(run.stdout)) != (int(size), sha):
        fail(f"{base}: decoded disk is {len(run.stdout)} bytes {digest(run.stdout)}")

    run = subprocess.run([extract, image, "disk"], capture_output=True)
    if run.returncode != 0 or (len(run.stdout), digest(run.stdout)) != (int(size), sha):
        fail(f"{base}: quorvel-extract disk gives {len(run.stdout)} bytes {digest(run.stdout)}")
    listing = subprocess.run([extract, image, "partitions"], capture_output=True, text=True)
    found = "HFS+" if os.path.exists(image + ".groundtruth.tsv") else ""
    if os.path.exists(image + ".expect"):
        found = open(image + ".expect").read().strip().upper()
    if listing.returncode != 0 or found not in listing.stdout:
        fail(f"{base}: quorvel-extract partitions lacks {found}: {listing.stdout}{listing.stderr}")

    verify = subprocess.run([extract, image, "verify"], capture_output=True, text=True)
    if verify.returncode != 0 or "BAD" in verify.stdout or "ok " not in verify.stdout:
        fail(f"{base}: checksums do not verify: {verify.stdout}{verify.stderr}")

    mnt = os.path.join(work, "mnt")
    os.makedirs(mnt, exist_ok=True)
    mount = subprocess.run([quorvel, image, mnt], capture_output=True, text=True)
    if os.path.exists(image + ".expect"):
        expected = open(image + ".expect").read().strip()
        if mount.returncode == 0:
            subprocess.run(["fusermount", "-u", mnt])
            fail(f"{base}: mounted, but it holds no HFS+ volume")
        elif (expected.lower() not in mount.stderr.lower() or "partition 1" not in mount.stderr
              or "no HFS+ or HFSX volume" not in mount.stderr):
            fail(f"{base}: refusal does not list the partitions ({expected}): {mount.stderr}")
        return
    if mount.returncode != 0:
        fail(f"{base}: not mounted: {mount.stderr}")
        return
    try:
        items = truth_rows(image + ".groundtruth.tsv")
        for kind, item, name, size, sha in items:
            what = f"{base}: {item}" + (f" [{name}]" if name else "")
            try:
                data = mounted_bytes(mnt, kind, item, name)
                if (len(data), digest(data)) != (size, sha):
                    fail(f"{what}: mount gives {len(data)} bytes {digest(data)}")
                data = extracted_bytes(image, kind, item, name)
                if data is not None and (len(data), digest(data)) != (size, sha):
                    fail(f"{what}: quorvel-extract gives {len(data)} bytes")
            except OSError as e:
                fail(f"{what}: {e}")
        print(f"{base}: {len(items)} items checked")
    finally:
        subprocess.run(["fusermount", "-u", mnt])


def check_damage(work):
    """A byte changed inside a raw run reads as another byte (raw runs carry
    no check of their own), but verify finds it."""
    data = bytearray(open(os.path.join(shared, "nodeudif_raw.dmg"), "rb").read())
    data[300000] ^= 0x55
    damaged = os.path.join(work, "damaged.dmg")
    open(damaged, "wb").write(data)
    verify = subprocess.run([extract, damaged, "verify"], capture_output=True, text=True)
    if verify.returncode != 1 or "BAD" not in verify.stdout:
        fail(f"damaged.dmg: verify did not notice: {verify.stdout}{verify.stderr}")


with tempfile.TemporaryDirectory() as work:
    images = sorted(f for f in os.listdir(shared) if f.endswith(".dmg"))
    for name in images:
        check_image(os.path.join(shared, name), work)
    check_damage(work)
if failures:
    print(f"{len(failures)} check(s) failed")
    sys.exit(1)
print(f"{len(images)} disk images decode, mount and read right")
