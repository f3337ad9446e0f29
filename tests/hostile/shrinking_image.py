#!/usr/bin/env python3
"""Faults under a mount: the volume file shrinks while it is mounted.

Usage: shrinking_image.py WORKDIR

A copy of a builder volume is mounted and walked once (the expected
contents); a second mount of the copy reads a few files, then the copy is
cut to lose its last KiB (the alternate header), to half its size, to
64 KiB and to nothing, with a full walk after each
cut. Pass: every file read whole has its expected contents, the other
requests fail with an error code (EIO among them), the daemon stays up and
unmounts cleanly without sanitizer reports, and it wrote nothing (the copy
hashes as the cut left it; the original is untouched).
"""
import json
import os
import shutil
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import mountlib  # noqa: E402


def walk(mnt):
    r = subprocess.run([sys.executable, os.path.join(HERE, "walker.py"), mnt],
                       capture_output=True, timeout=300)
    return json.loads(r.stdout)


def main():
    if not mountlib.fuse_available():
        print("SKIP: /dev/fuse or fusermount missing")
        return 77
    work = sys.argv[1]
    os.makedirs(work, exist_ok=True)
    original = os.path.join(work, "mixed.img")
    subprocess.run([os.environ["MKHFS"], "--quiet", os.path.join(HERE, "manifests", "mixed.json"),
                    original], check=True)
    original_sum = mountlib.sha256_file(original)
    copy = os.path.join(work, "copy.img")
    shutil.copyfile(original, copy)
    problems = []

    m = mountlib.Mount(copy, os.path.join(work, "mnt-sound"))
    expected = walk(m.mnt)["files"] if m.mounted else {}
    status, err = m.stop()
    if not expected or status != 0:
        print(f"FAIL: the sound copy did not mount and walk ({status}) {err}")
        return 1

    m = mountlib.Mount(copy, os.path.join(work, "mnt"))
    if not m.mounted:
        print("FAIL: could not mount the copy")
        return 1
    if not m.opened_read_only():
        problems.append("image not held read-only")
    # Names and a few files known before the cut: the daemon's caches and
    # the kernel's may answer some requests after it.
    for root, dirs, files in os.walk(m.mnt):
        for name in dirs + files:
            os.lstat(os.path.join(root, name))
    for rel in list(expected)[:3]:
        with open(os.path.join(m.mnt, rel), "rb") as f:
            f.read()
    errors = {}
    size = os.path.getsize(copy)
    for cut in (size - 1024, size // 2, 65536, 0):
        os.truncate(copy, cut)
        cut_sum = mountlib.sha256_file(copy)
        result = walk(m.mnt)
        for k, v in result["errors"].items():
            errors[k] = errors.get(k, 0) + v
        if result["unexpected"]:
            problems.append(f"cut to {cut}: unexpected errors " + "; ".join(result["unexpected"][:5]))
        for rel, digest in result["files"].items():
            if digest is not None and digest != expected.get(rel):
                problems.append(f"cut to {cut}: {rel} read whole with other contents")
        if not m.alive():
            problems.append(f"cut to {cut}: daemon died")
            break
        if mountlib.sha256_file(copy) != cut_sum:
            problems.append(f"cut to {cut}: the image changed")
        print(f"cut to {cut} bytes: {result['ops']} requests, errors "
              + (", ".join(f"{k} {v}" for k, v in sorted(result["errors"].items())) or "none"))
    status, err = m.stop()
    if status != 0:
        problems.append(f"daemon exit status {status}")
    if mountlib.sanitizer_report(err):
        problems.append("sanitizer report:\n" + err[-3000:])
    if errors.get("EIO", 0) == 0:
        problems.append("no request failed with EIO after the image shrank")
    if mountlib.sha256_file(original) != original_sum:
        problems.append("the original image changed")
    for p in problems:
        print("FAIL:", p)
    if not problems:
        print("shrinking image: every read whole was right, the rest failed with errors; "
              "daemon up and unmounted cleanly")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
