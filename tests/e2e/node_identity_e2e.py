#!/usr/bin/env python3
"""What the kernel is told of identity, and what it may keep, through real mounts.

Usage: node_identity_e2e.py LINKS_IMAGE EVERYTHING_IMAGE WORKDIR   (QUORVEL set)

- Hard links: every name of a file is one kernel inode (one file handle from
  name_to_handle_at, which carries the FUSE node ID) and one st_ino; a folder
  shared through folder links is one st_ino but a kernel inode per place, so
  all its places are usable at once (a process inside one place keeps its
  working folder while another place is looked up; both listable while held
  open). A folder link leading to its own folder (patched into the image)
  gives ELOOP, and find and tar over the volume end, seeing every other path.
- Attributes outside user. are not supported (EOPNOTSUPP, which ls remembers:
  ls -l of a folder asks the daemon at most twice), user. names as before.
- A folder listing is kept: a second walk of the same mount sends no READDIR
  (libfuse 3; counted in the -d output, never timed).
- A name ending with the resource-fork suffix gives one answer (size, inode,
  contents) whether its folder was listed before or after.
"""
import ctypes
import errno
import os
import subprocess
import sys
import time

QUORVEL = os.environ["QUORVEL"]
bad = []


def check(cond, what):
    if not cond:
        bad.append(what)


libc = ctypes.CDLL(None, use_errno=True)


class FileHandle(ctypes.Structure):
    _fields_ = [("bytes", ctypes.c_uint), ("type", ctypes.c_int), ("data", ctypes.c_ubyte * 128)]


def handle(path):
    """The kernel's file handle of `path`: for FUSE, its node ID and generation."""
    fh = FileHandle()
    fh.bytes = 128
    mount_id = ctypes.c_int()
    if libc.name_to_handle_at(-100, path.encode(), ctypes.byref(fh), ctypes.byref(mount_id), 0):
        e = ctypes.get_errno()
        raise OSError(e, os.strerror(e), path)
    return bytes(fh.data[:fh.bytes])


class Mount:
    """quorvel IMAGE MNT [options], with -d output to LOG when given."""

    def __init__(self, image, mnt, *options, log=None):
        self.mnt, self.log = mnt, log
        os.makedirs(mnt, exist_ok=True)
        if log:
            self.proc = subprocess.Popen([QUORVEL, "-d", *options, image, mnt],
                                         stdout=subprocess.DEVNULL, stderr=open(log, "wb"))
            for _ in range(100):
                if os.path.ismount(mnt):
                    break
                time.sleep(0.05)
        else:
            self.proc = None
            subprocess.run([QUORVEL, *options, image, mnt], check=True)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        for _ in range(50):
            if subprocess.run(["fusermount", "-u", self.mnt], stderr=subprocess.DEVNULL).returncode == 0:
                break
            time.sleep(0.1)
        if self.proc:
            self.proc.wait(timeout=30)

    def requests(self, opcodes, since=0):
        with open(self.log, "rb") as f:
            f.seek(since)
            text = f.read().decode(errors="replace")
        return sum(text.count("opcode: %s (" % op) for op in opcodes)

    def log_size(self):
        return os.path.getsize(self.log)


def patch_loop(source, target):
    """The image with link 'loop up' (to folder 600) leading to folder 500, its own."""
    data = bytearray(open(source, "rb").read())
    name = "loop up".encode("utf-16-be")
    key = len("loop up").to_bytes(2, "big") + name
    at, patched = 0, 0
    while (at := data.find(key, at)) >= 0:
        rec = at + len(key)
        # A file record (type 2) whose BSD special field holds the link number.
        if data[rec:rec + 2] == b"\x00\x02" and data[rec + 44:rec + 48] == (600).to_bytes(4, "big"):
            data[rec + 44:rec + 48] = (500).to_bytes(4, "big")
            patched += 1
        at += 1
    if patched != 1:
        sys.exit("the link record 'loop up' was not found in %s" % source)
    open(target, "wb").write(data)


def links(image, work):
    mnt = os.path.join(work, "mnt-links")
    with Mount(image, mnt):
        p = lambda rel: os.path.join(mnt, rel)  # noqa: E731
        files = ["tree/shared", "snap1/tree/shared", "snap1/again/shared", "snap2/tree/shared",
                 "snap2/file link"]
        check({handle(p(f)) for f in files} == {handle(p(files[0]))}, "a file's names are several inodes")
        check({os.stat(p(f)).st_ino for f in files} == {510}, "a file's names show several st_ino")
        places = ["tree", "snap1/tree", "snap1/again", "snap2/tree"]
        for below in ("", "/sub"):
            got = [handle(p(f + below)) for f in places]
            check(len(set(got)) == len(places), "a shared folder is one inode at several places%s" % below)
        check({os.stat(p(f)).st_ino for f in places} == {500}, "a shared folder shows several st_ino")
        # Inside one place while the others are looked up: the working folder stays.
        here = os.getcwd()
        os.chdir(p("snap1/tree/sub"))
        for f in places:
            os.stat(p(f + "/sub/deep"))
        check(os.getcwd() == p("snap1/tree/sub"), "working folder moved to %s" % os.getcwd())
        check(os.listdir(".") == ["deep"], "listing of the working folder")
        os.chdir(here)
        fds = [os.open(p(f), os.O_RDONLY | os.O_DIRECTORY) for f in places]
        listed = [sorted(os.listdir(fd)) for fd in fds]
        for fd in fds:
            os.close(fd)
        check(all(x == ["loop up", "shared", "sub"] for x in listed), "shared folder listings %r" % listed)
        for f in places:
            try:
                os.stat(p(f + "/loop up"))
                bad.append("%s/loop up: a folder link to its own folder resolved" % f)
            except OSError as e:
                check(e.errno == errno.ELOOP, "%s/loop up: %s" % (f, e))
        # Walks end, and see every path but the loops.
        out = subprocess.run(["timeout", "60", "find", mnt], capture_output=True, text=True)
        check(out.returncode == 1, "find ended with %d" % out.returncode)
        found = {line[len(mnt) + 1:] for line in out.stdout.splitlines() if line != mnt}
        want = {"other", "other/o", "snap1", "snap2", "snap2/file link"}
        for f in places:
            want |= {f, f + "/shared", f + "/sub", f + "/sub/deep"}
        check(found == want, "find: %r more, %r missing" % (found - want, want - found))
        out = subprocess.run(["timeout", "60", "tar", "-cf", "/dev/null", "-C", mnt, "."],
                             capture_output=True, text=True)
        check(out.returncode in (0, 2), "tar ended with %d: %s" % (out.returncode, out.stderr[-300:]))
        # Namespaces other than user.: not supported.
        for name in ("security.selinux", "system.posix_acl_access", "trusted.x"):
            for f in ("tree/shared", "tree"):
                try:
                    os.getxattr(p(f), name)
                    bad.append("%s: %s has a value" % (f, name))
                except OSError as e:
                    check(e.errno == errno.EOPNOTSUPP, "%s %s: %s" % (f, name, e))
        try:
            os.getxattr(p("tree/shared"), "user.nothing")
            bad.append("user.nothing has a value")
        except OSError as e:
            check(e.errno == errno.ENODATA, "user.nothing: %s" % e)
        check(os.listxattr(p("tree/shared")) == ["user.quorvel.record.date_created"],
              "listxattr: %r" % os.listxattr(p("tree/shared")))


def requests(image, work, fuse3):
    mnt = os.path.join(work, "mnt-requests")
    with Mount(image, mnt, "-o", "rsrc_ext=.rsrc", log=os.path.join(work, "requests.log")) as m:
        entries = len(os.listdir(mnt))
        start = m.log_size()
        subprocess.run(["ls", "-l", mnt], check=True, capture_output=True)
        asked = m.requests(["GETXATTR"], start)
        check(asked <= 2, "ls -l of %d entries asked for %d attributes" % (entries, asked))
        walk = ["find", mnt, "-name", "no such name"]
        subprocess.run(walk, check=True)
        first = m.requests(["READDIR", "READDIRPLUS"])
        start = m.log_size()
        subprocess.run(walk, check=True)
        again = m.requests(["READDIR", "READDIRPLUS"], start)
        check(first > 0, "the first walk listed no folder")
        if fuse3:
            check(again == 0, "the second walk listed folders again: %d requests" % again)


def suffix(image, work):
    # Listing first, then the name; and the name first, then listing.
    seen = []
    for listing_first in (True, False):
        mnt = os.path.join(work, "mnt-suffix-%d" % listing_first)
        with Mount(image, mnt, "-o", "rsrc_ext=.rsrc"):
            name = os.path.join(mnt, "x.rsrc")
            listed = None
            if listing_first:
                listed = {e.name: e.stat(follow_symlinks=False) for e in os.scandir(mnt)}
            st = os.stat(name)
            with open(name, "rb") as f:
                data = f.read()
            if not listing_first:
                listed = {e.name: e.stat(follow_symlinks=False) for e in os.scandir(mnt)}
            again = os.stat(name)
            seen.append((st.st_size, st.st_ino, data))
            for what, s in (("listed", listed["x.rsrc"]), ("again", again)):
                check((s.st_size, s.st_ino) == (st.st_size, st.st_ino),
                      "x.rsrc %s: size %d inode %d, stat gave %d %d" % (what, s.st_size, s.st_ino,
                                                                         st.st_size, st.st_ino))
    check(seen[0] == seen[1], "x.rsrc differs with the listing first: %r" % seen)
    check(seen[0][0] == len(seen[0][2]) and seen[0][2] == b"the resource fork of x\n",
          "x.rsrc: size %d, contents %r" % (seen[0][0], seen[0][2]))


def main():
    links_image, everything_image, work = sys.argv[1:4]
    version = subprocess.run([QUORVEL, "-v"], capture_output=True, text=True)
    fuse3 = "FUSE library version 3" in version.stdout + version.stderr
    looped = os.path.join(work, "links-loop.img")
    patch_loop(links_image, looped)
    links(looped, work)
    requests(everything_image, work, fuse3)
    suffix(everything_image, work)
    for b in bad:
        print("FAIL", b)
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main())
