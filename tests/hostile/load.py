#!/usr/bin/env python3
"""Load: eight concurrent readers for a minute against one mount.

Usage: load.py WORKDIR [--seconds 60] [--readers 8]

The volume is built from a folder of random files (--from-dir) plus a
manifest adding compressed files of the chunked kinds and attributes; the
expected contents are known independently of the daemon (the folder's files,
the manifest's patterns). After a first full pass (every file and attribute
checked), the readers run (a first round of each action and a warm-up of a
quarter of the time, at most 10 s, after which the daemon's memory is taken,
then until the time is up) `find`-like walks, `cat` of large and compressed
files (page cache dropped for each file first, so that reads reach the
daemon) and `getfattr`-like attribute reads, checking every byte. Then a
last full pass. Pass: no request failed, every checksum matched, the daemon's
resident memory at the end has not grown by more than 10% over its memory
after the warm-up, it unmounts cleanly without sanitizer reports, it held the image read-only
and the image is unchanged.
"""
import argparse
import hashlib
import json
import multiprocessing
import os
import random
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import mountlib  # noqa: E402


def text_pattern(size, seed=0):
    """mkhfs pattern "text": byte i + seed of lines "%08u quorvel sample text line\\n"."""
    first = seed // 34
    lines = []
    total = 0
    n = first
    while total < size + 34:
        line = b"%08u quorvel sample text line\n" % n
        lines.append(line)
        total += len(line)
        n += 1
    blob = b"".join(lines)
    skip = seed - first * 34
    return blob[skip : skip + size]


def counter_pattern(size, seed=0):
    block = bytes((i + seed) % 251 for i in range(251))
    reps = (size + seed % 251) // 251 + 2
    return (block * reps)[:size]


COMPRESSED = {  # name: (type, layout, pattern, size)
    "z4.txt": (4, None, "text", 2_000_000),
    "z8r.txt": (8, "resource", "text", 1_000_000),
    "z8o.bin": (8, "offsets", "counter", 700_000),
    "z12.txt": (12, None, "text", 900_000),
    "z3.txt": (3, None, "text", 2000),
}


def make_volume(work):
    src = os.path.join(work, "src")
    os.makedirs(src, exist_ok=True)
    rng = random.Random(8)
    expected = {}
    for name, size in (("big1.bin", 8 << 20), ("big2.bin", 3 << 20)):
        data = rng.randbytes(size)
        with open(os.path.join(src, name), "wb") as f:
            f.write(data)
        expected[name] = data
    for d in range(4):
        os.makedirs(os.path.join(src, f"d{d}"), exist_ok=True)
        for i in range(40):
            data = rng.randbytes(rng.randrange(0, 9000))
            rel = f"d{d}/f{i:03}"
            with open(os.path.join(src, rel), "wb") as f:
                f.write(data)
            expected[rel] = data
    items = []
    for name, (ctype, layout, pattern, size) in COMPRESSED.items():
        comp = {"type": ctype}
        if layout:
            comp["layout"] = layout
        items.append({"type": "file", "name": name, "data": {"pattern": pattern, "size": size},
                      "compress": comp})
        expected[name] = (text_pattern if pattern == "text" else counter_pattern)(size)
    xattrs = {"com.example.small": b"small value", "com.example.fork": counter_pattern(20000, 3)}
    items.append({"type": "file", "name": "attrs", "data": "has attributes\n", "xattrs": [
        {"name": "com.example.small", "value": "small value"},
        {"name": "com.example.fork", "value": {"pattern": "counter", "size": 20000, "seed": 3},
         "storage": "fork"}]})
    expected["attrs"] = b"has attributes\n"
    manifest = os.path.join(work, "load.json")
    with open(manifest, "w") as f:
        json.dump({"volume": {"name": "Load", "block_size": 4096}, "items": items}, f)
    img = os.path.join(work, "load.img")
    subprocess.run([os.environ["MKHFS"], "--quiet", "--from-dir", src, manifest, img], check=True)
    sums = {k: hashlib.sha256(v).hexdigest() for k, v in expected.items()}
    xsums = {"user." + k: hashlib.sha256(v).hexdigest() for k, v in xattrs.items()}
    return img, sums, xsums


def read_file(path):
    fd = os.open(path, os.O_RDONLY)
    try:
        os.posix_fadvise(fd, 0, 0, os.POSIX_FADV_DONTNEED)
        h = hashlib.sha256()
        n = 0
        while True:
            chunk = os.read(fd, 1 << 17)
            if not chunk:
                break
            h.update(chunk)
            n += 1
        return h.hexdigest(), n + 1
    finally:
        os.close(fd)


def full_pass(mnt, sums, xsums):
    """Checks every expected file and attribute; returns (requests, failures)."""
    requests, failures = 0, []
    for rel, digest in sums.items():
        try:
            got, n = read_file(os.path.join(mnt, rel))
            requests += n
            if got != digest:
                failures.append(f"{rel}: wrong contents")
        except OSError as e:
            failures.append(f"{rel}: {e}")
    for name, digest in xsums.items():
        requests += 1
        try:
            if hashlib.sha256(os.getxattr(os.path.join(mnt, "attrs"), name)).hexdigest() != digest:
                failures.append(f"attrs@{name}: wrong value")
        except OSError as e:
            failures.append(f"attrs@{name}: {e}")
    return requests, failures


def raise_error(e):
    raise e


def reader(k, mnt, sums, xsums, deadline, queue, first_round):
    requests, failures = 0, []
    rounds = 0
    big = [r for r in sums if r.startswith("big")]
    compressed = list(COMPRESSED)
    step = k
    while time.monotonic() < deadline or rounds < 4:
        if rounds == 4:
            first_round.wait()  # the daemon's memory is measured now
        rounds += 1
        action = step % 4
        step += 1
        try:
            if action == 0:  # find + stat
                for root, dirs, files in os.walk(mnt, onerror=raise_error):
                    for name in dirs + files:
                        os.lstat(os.path.join(root, name))
                        requests += 1
                    requests += 1
            elif action in (1, 2):  # cat a large or a compressed file
                pool = big if action == 1 else compressed
                rel = pool[step % len(pool)]
                got, n = read_file(os.path.join(mnt, rel))
                requests += n
                if got != sums[rel]:
                    failures.append(f"{rel}: wrong contents")
            else:  # getfattr -d on a few files
                # (Not the compressed files: their resource fork, shown as an
                # attribute, is beyond the kernel's 64 KiB attribute limit.)
                for rel in ("attrs", "z3.txt", f"d{step % 4}/f{step % 40:03}"):
                    path = os.path.join(mnt, rel)
                    for name in os.listxattr(path):
                        value = os.getxattr(path, name)
                        requests += 2
                        if name in xsums and hashlib.sha256(value).hexdigest() != xsums[name]:
                            failures.append(f"{rel}@{name}: wrong value")
        except OSError as e:
            failures.append(f"reader {k}: {e}")
    queue.put((requests, failures))


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("work")
    ap.add_argument("--seconds", type=float, default=60)
    ap.add_argument("--readers", type=int, default=8)
    args = ap.parse_args()
    if not mountlib.fuse_available():
        print("SKIP: /dev/fuse or fusermount missing")
        return 77
    os.makedirs(args.work, exist_ok=True)
    img, sums, xsums = make_volume(args.work)
    before = mountlib.sha256_file(img)
    # A small quarantine, so that the sanitizer's own bookkeeping does not
    # pass for growth.
    os.environ["ASAN_OPTIONS"] = (os.environ.get("ASAN_OPTIONS", "detect_leaks=1") +
                                  ":quarantine_size_mb=16")
    mnt = os.path.join(args.work, "mnt")
    m = mountlib.Mount(img, mnt)
    if not m.mounted:
        status, err = m.stop()
        print(f"FAIL: could not mount ({status}): {err}")
        return 1
    problems = []
    if not m.opened_read_only():
        problems.append("image not held read-only")

    # The first pass: every file and attribute checked; then every reader's
    # first round of each of its four actions and the warm-up, after which
    # the daemon's memory is taken.
    requests, failures = full_pass(mnt, sums, xsums)
    queue = multiprocessing.Queue()
    first_round = multiprocessing.Barrier(args.readers + 1)
    deadline = time.monotonic() + args.seconds
    procs = [multiprocessing.Process(target=reader,
                                     args=(k, mnt, sums, xsums, deadline, queue, first_round))
             for k in range(args.readers)]
    for p in procs:
        p.start()
    first_round.wait(timeout=args.seconds + 120)
    # The daemon serves on several threads, started as requests queue up:
    # each new one brings its own stack and allocator arena. The memory is
    # taken once the readers have kept all of them busy for a while.
    time.sleep(min(10, args.seconds / 4))
    rss_first = m.rss_kib()
    for _ in procs:
        r, f = queue.get()
        requests += r
        failures += f
    for p in procs:
        p.join()
    r, f = full_pass(mnt, sums, xsums)
    requests += r
    failures += f
    rss_end = m.rss_kib()
    alive = m.alive()
    status, err = m.stop()
    growth = (rss_end - rss_first) / rss_first

    print(f"load: {args.readers} readers for {args.seconds:.0f} s: {requests} requests, "
          f"{len(failures)} failures")
    print(f"daemon memory (RSS): {rss_first} KiB after the first round and the warm-up, "
          f"{rss_end} KiB at the end ({growth:+.1%})")
    if failures:
        problems.append(f"{len(failures)} failed requests: " + "; ".join(failures[:5]))
    # Growth is what a leak or an unbounded cache would show; the sanitizer's
    # allocator may also hand memory back, which is no fault.
    if growth > 0.10:
        problems.append("daemon memory grew by more than 10%")
    if not alive:
        problems.append("daemon died")
    if status != 0:
        problems.append(f"daemon exit status {status}")
    if mountlib.sanitizer_report(err):
        problems.append("sanitizer report:\n" + err[-3000:])
    if mountlib.sha256_file(img) != before:
        problems.append("image changed")
    for p in problems:
        print("FAIL:", p)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
