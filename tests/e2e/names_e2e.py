#!/usr/bin/env python3
"""Checks, on a mounted volume built from manifests/names.json, what Linux
shows of names the kernel may not take and of a large folder read in small
pieces.

usage: names_e2e.py MOUNTPOINT
- surrogates/: names holding unpaired surrogates or a NUL are left out of the
  listing, the others list and open; a name stored precomposed, or holding an
  on-disk ':', lists but is not found (paths are searched decomposed, ':'
  stands for '/'), whether or not the folder was listed.
- long/: names of 255 UTF-16 units need up to 765 UTF-8 bytes, beyond Linux's
  usual 255-byte NAME_MAX: the listing holds every entry and each is found
  again (FUSE allows names up to 1024 bytes).
- many/: 5,000 entries (and three unconvertible names among them) read with getdents64 and a buffer that holds one entry
  at a time come out complete, in order and once each; lseek to any entry's
  d_off resumes right after it.
exit status: 0 pass, 1 mismatch
"""
import ctypes
import errno
import os
import random
import struct
import sys

problems = []
libc = ctypes.CDLL(None, use_errno=True)
SYS_getdents64 = 217  # x86_64
if os.uname().machine == "aarch64":
    SYS_getdents64 = 61


def bad(msg):
    problems.append(msg)


def getdents(fd, size):
    """One getdents64 call: a list of (d_ino, d_off, d_type, name)."""
    buf = ctypes.create_string_buffer(size)
    n = libc.syscall(SYS_getdents64, fd, buf, size)
    if n < 0:
        raise OSError(ctypes.get_errno(), "getdents64")
    out, at = [], 0
    raw = buf.raw
    while at < n:
        ino, off, reclen, dtype = struct.unpack_from("<QqHB", raw, at)
        name = raw[at + 19:at + reclen].split(b"\0", 1)[0]
        out.append((ino, off, dtype, name.decode("utf-8", "surrogateescape")))
        at += reclen
    return out


def read_dir(path, size):
    fd = os.open(path, os.O_RDONLY | os.O_DIRECTORY)
    entries, calls = [], 0
    try:
        while True:
            got = getdents(fd, size)
            calls += 1
            if not got:
                return entries, calls
            entries += got
    finally:
        os.close(fd)


def check_surrogates(mnt):
    d = os.path.join(mnt, "surrogates")
    names = sorted(os.listdir(d))
    want = ["a-before", "c:d", "caf\u00e9", "m-middle", "z-after"]
    if names != want:
        bad("surrogates: listing %r, expected %r" % (names, want))
    for n, text in (("a-before", b"before\n"), ("m-middle", b"middle\n"), ("z-after", b"after\n")):
        with open(os.path.join(d, n), "rb") as f:
            if f.read() != text:
                bad("surrogates/%s: contents" % n)
    # An on-disk ':' lists as ':', which paths read as '/': not found either.
    for n in ("caf\u00e9", "cafe\u0301", "c:d"):
        try:
            os.lstat(os.path.join(d, n))
            bad("surrogates/%r: a name stored precomposed was found" % n)
        except OSError as e:
            if e.errno != errno.ENOENT:
                bad("surrogates/%r: %s" % (n, e.strerror))


def check_long(mnt):
    d = os.path.join(mnt, "long")
    names = os.listdir(d)
    lengths = sorted(len(n.encode()) for n in names)
    if lengths != [6, 7, 255, 258, 765, 765]:
        bad("long: listing has name lengths %r" % lengths)
    for n in names:
        p = os.path.join(d, n)
        try:
            st = os.lstat(p)
        except OSError as e:
            bad("long: a name of %d bytes: %s" % (len(n.encode()), e.strerror))
            continue
        if os.path.isdir(p):
            with open(os.path.join(p, "inner"), "rb") as f:
                if f.read() != b"inner\n":
                    bad("long: inside the 765-byte folder")
        elif len(n.encode()) > 7:
            with open(p, "rb") as f:
                if f.read() != b"%d bytes\n" % len(n.encode()):
                    bad("long: contents of the %d-byte name" % len(n.encode()))
        if st.st_ino < 16:
            bad("long: inode %d" % st.st_ino)


def check_many(mnt):
    d = os.path.join(mnt, "many")
    want = [".", ".."] + ["f%07d" % k for k in range(5000)]
    for size in (32, 4096):
        entries, calls = read_dir(d, size)
        names = [e[3] for e in entries]
        if names != want:
            missing = set(want) - set(names)
            bad("many (buffer %d): %d entries, %d missing, first differences %r" % (
                size, len(names), len(missing), [(a, b) for a, b in zip(names, want) if a != b][:3]))
        if size == 32 and calls < 5000:
            bad("many: a 32-byte buffer took only %d calls" % calls)
    # d_ino is the CNID shown by stat, d_type says regular file.
    for ino, off, dtype, name in random.Random(7).sample(entries[2:], 20):
        if os.lstat(os.path.join(d, name)).st_ino != ino or dtype != 8:
            bad("many/%s: d_ino %d d_type %d" % (name, ino, dtype))
    # Resuming at saved offsets (seekdir), in any order.
    fd = os.open(d, os.O_RDONLY | os.O_DIRECTORY)
    try:
        for k in random.Random(3).sample(range(len(entries) - 1), 40) + [0, 1, 2, len(entries) - 2]:
            os.lseek(fd, entries[k][1], os.SEEK_SET)
            got = getdents(fd, 64)
            if not got or got[0][3] != entries[k + 1][3]:
                bad("many: after the offset of %s came %r, expected %s" % (
                    entries[k][3], got[0][3] if got else None, entries[k + 1][3]))
        os.lseek(fd, entries[-1][1], os.SEEK_SET)
        if getdents(fd, 64):
            bad("many: entries after the last offset")
    finally:
        os.close(fd)


def main():
    mnt = sys.argv[1]
    check_surrogates(mnt)
    check_long(mnt)
    check_many(mnt)
    for p in problems:
        print("FAIL", p)
    if problems:
        return 1
    print("ok: names and large folders")
    return 0


if __name__ == "__main__":
    sys.exit(main())
