#!/usr/bin/env python3
"""Walks a mounted volume completely and prints what happened as JSON.

Usage: walker.py MOUNTPOINT

What find, stat, cat and getfattr -d do, as their system calls: every folder
is listed (readdir), every entry stat'ed (lstat), every regular file read to
its end (its resource fork is read as the attribute
user.com.apple.ResourceFork: the kernel refuses NAME/rsrc below a file
before the daemon sees it), every symbolic link read
(readlink), and every extended attribute listed and read. Folders are entered
once per inode (hard-linked folders and damaged catalogs may form cycles) and
to a bounded depth; the walk stops after a bounded number of entries.

Output: {"ops": N, "errors": {"EIO": n, ...}, "unexpected": [...],
         "files": {path: sha256 or null}}. An error code outside the set a
read-only file system may answer is listed under "unexpected".
"""
import errno
import hashlib
import json
import os
import stat
import sys

MAX_ENTRIES = 20000
MAX_DEPTH = 48
READ_CAP = 64 << 20
EXPECTED = {
    "EIO", "ENOENT", "EINVAL", "ENOTDIR", "ENODATA", "ERANGE", "EOPNOTSUPP", "ENOMEM",
    "ENAMETOOLONG", "EFAULT", "E2BIG", "EFBIG", "EOVERFLOW", "ELOOP", "EISDIR", "EACCES",
    "EPERM", "ENXIO", "ENODEV", "ESTALE", "ENOTSUP",
}


class Walk:
    def __init__(self, root):
        self.root = root
        self.ops = 0
        self.errors = {}
        self.unexpected = []
        self.files = {}

    def failed(self, what, path, e):
        name = errno.errorcode.get(e.errno, str(e.errno))
        self.errors[name] = self.errors.get(name, 0) + 1
        if name not in EXPECTED:
            self.unexpected.append(f"{what} {path}: {name}")

    def call(self, what, path, fn, *args):
        self.ops += 1
        try:
            return fn(*args)
        except OSError as e:
            self.failed(what, path, e)
            return None

    def read_all(self, path):
        def body():
            h = hashlib.sha256()
            total = 0
            with open(path, "rb", buffering=0) as f:
                while total < READ_CAP:
                    chunk = f.read(1 << 17)
                    if not chunk:
                        break
                    h.update(chunk)
                    total += len(chunk)
            return h.hexdigest()

        return self.call("read", path, body)

    def xattrs(self, path):
        names = self.call("listxattr", path, lambda: os.listxattr(path, follow_symlinks=False))
        for name in names or []:
            self.call("getxattr", path, lambda: os.getxattr(path, name, follow_symlinks=False))

    def run(self):
        seen = set()
        stack = [(self.root, 0)]
        entries = 0
        st = self.call("stat", self.root, os.lstat, self.root)
        self.xattrs(self.root)
        if st:
            seen.add(st.st_ino)
        while stack and entries < MAX_ENTRIES:
            folder, depth = stack.pop()
            names = self.call("readdir", folder, os.listdir, folder)
            for name in names or []:
                entries += 1
                if entries > MAX_ENTRIES:
                    break
                path = os.path.join(folder, name)
                st = self.call("stat", path, os.lstat, path)
                self.xattrs(path)
                if st is None:
                    continue
                rel = os.path.relpath(path, self.root)
                if stat.S_ISDIR(st.st_mode):
                    if st.st_ino not in seen and depth < MAX_DEPTH:
                        seen.add(st.st_ino)
                        stack.append((path, depth + 1))
                elif stat.S_ISREG(st.st_mode):
                    self.files[rel] = self.read_all(path)
                elif stat.S_ISLNK(st.st_mode):
                    self.call("readlink", path, os.readlink, path)
        return {"ops": self.ops, "errors": self.errors, "unexpected": self.unexpected,
                "files": self.files}


if __name__ == "__main__":
    json.dump(Walk(sys.argv[1]).run(), sys.stdout)
