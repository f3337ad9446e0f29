#!/usr/bin/env python3
"""Hostile opens: what a user holding many opens of a hostile image costs the daemon.

Usage: hostile_opens.py WORKDIR [--only NAME] [--bound-mib 128]

One volume holds every case:
  - zero-table:  a type-4 compressed file claiming 1 TiB, whose chunk table
                 (2^24 entries, 128 MiB) lies in a resource fork of zeros
                 that the image file holds as a hole;
  - inline:      three type-3 files of 28 MiB of zeros, each inline in its
                 attribute record (27 KiB of zlib): together more than the
                 daemon keeps decoded, so one of them is read by decoding
                 on demand;
  - spellings:   a folder of 20,000 entries opened under 128 spellings of
                 its name (names match without regard to case).
Each case gets a mount of its own (as root, allow_other, served by several
threads: the opens race to share one file's or folder's state) and is opened by
an unprivileged user (`runuser -u nobody`, when there is one; else by this
process's user) from 16 threads, every descriptor held open until the end:
the zero-table file 16 times, each inline file 16 times, the folder once per
spelling. While they are held, another process stats the mount's root.

Pass, for every case: every open succeeded (the inline files also read back
as zeros at their start and end), the stat answered within 30 s, the
daemon's peak resident memory (VmHWM) stayed under --bound-mib, and the
daemon unmounted cleanly with exit status 0 and no sanitizer report. Exits
77 when FUSE is unavailable.
"""
import argparse
import json
import os
import random
import shutil
import struct
import subprocess
import sys
import threading

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import hfsimage  # noqa: E402
import mountlib  # noqa: E402

BLOCK = 4096
VOLUME_BLOCKS = 65536  # 256 MiB, mostly holes
INLINE_SIZE = 28 << 20
ZERO_TABLE_CNID, INLINE_CNIDS = 100, (101, 102, 103)
ZERO_TABLE_CLAIM = 1 << 40  # 2^24 chunks of 64 KiB
FOLDER = "bigfolder"
ENTRIES = 20000
THREADS = 16


def make_volume(work):
    items = [{"type": "file", "name": "zerotable.bin", "cnid": ZERO_TABLE_CNID,
              "data": {"pattern": "text", "size": 100000}, "compress": {"type": 4}}]
    for k, cnid in enumerate(INLINE_CNIDS):
        items.append({"type": "file", "name": f"inline{k}.txt", "cnid": cnid,
                      "data": {"pattern": "zeros", "size": INLINE_SIZE}, "compress": {"type": 3}})
    items.append({"type": "folder", "name": FOLDER, "children": [
        {"type": "generate", "folders": 0, "files": ENTRIES, "file_size": 0, "prefix": "e"}]})
    manifest = os.path.join(work, "opens.json")
    with open(manifest, "w") as f:
        json.dump({"volume": {"name": "Opens", "block_size": BLOCK, "size": VOLUME_BLOCKS * BLOCK,
                              "node_size": {"catalog": 8192, "attributes": 32768}},
                   "items": items}, f)
    img = os.path.join(work, "opens.img")
    subprocess.run([os.environ["MKHFS"], "--quiet", manifest, img], check=True)
    with open(img, "rb") as f:
        vol = hfsimage.Volume(f.read())

    # The zero-table file: its decmpfs header claims 1 TiB, and its resource
    # fork moves to the end of the volume (the image's hole), holding only a
    # resource header whose table counts 2^24 chunks: every entry is zero.
    chunks = ZERO_TABLE_CLAIM >> 16
    fork_blocks = (0x108 + 8 * chunks) // BLOCK + 1
    start = VOLUME_BLOCKS - fork_blocks - 16
    edits = []
    for rec, body, cnid, name in vol.attrs:
        if cnid == ZERO_TABLE_CNID and name == "com.apple.decmpfs":
            edits.append((body + 16 + 8, struct.pack("<Q", ZERO_TABLE_CLAIM)))
    fork = vol.files[ZERO_TABLE_CNID] + 168
    edits.append((fork, struct.pack(">QII", fork_blocks * BLOCK, 0, fork_blocks)))
    edits.append((fork + 16, struct.pack(">II", start, fork_blocks) + bytes(56)))
    header = start * BLOCK
    edits.append((header, struct.pack(">I", 0x100)))
    edits.append((header + 0x104, struct.pack("<I", chunks)))
    with open(img, "r+b") as f:
        for at, data in edits:
            f.seek(at)
            f.write(data)
    if len(edits) != 5:
        raise SystemExit("the zero-table file's decmpfs attribute was not found")
    return img


def spellings(name, count):
    rng = random.Random(5)
    out = {name}
    while len(out) < count:
        out.add("".join(c.upper() if rng.random() < 0.5 else c for c in name))
    return sorted(out)


CASES = {  # name: [(path under the mount, folder?, expected contents)]
    "zero-table": [("zerotable.bin", False, None)] * THREADS,
    "inline": [(f"inline{k}.txt", False, INLINE_SIZE) for k in range(3)] * THREADS,
    "spellings": [(s, True, None) for s in spellings(FOLDER, 128)],
}


def opener(mnt, paths):
    """Opens every (path, folder?, size) from 16 threads and holds them; prints
    {"opened": n, "failed": [...]} and waits for standard input to close."""
    fds, failed, lock = [], [], threading.Lock()

    def one(item):
        rel, folder, size = item
        path = os.path.join(mnt, rel)
        try:
            fd = os.open(path, os.O_RDONLY | (os.O_DIRECTORY if folder else 0))
        except OSError as e:
            with lock:
                failed.append(f"{rel}: {e}")
            return
        with lock:
            fds.append(fd)
        if size:
            try:
                if os.pread(fd, 4096, 0) != bytes(4096) or os.pread(fd, 4096, size - 4096) != bytes(4096):
                    with lock:
                        failed.append(f"{rel}: wrong contents")
            except OSError as e:
                with lock:
                    failed.append(f"{rel}: read: {e}")

    items = [tuple(p) for p in paths]
    threads = [threading.Thread(target=lambda k=k: [one(i) for i in items[k::THREADS]])
               for k in range(THREADS)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    print(json.dumps({"opened": len(fds), "failed": failed}), flush=True)
    sys.stdin.read()
    return 0


def vm_hwm_kib(pid):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1])
    return None


def as_other_user():
    """The command opening as an unprivileged user (runuser and a Python it
    may run), when there is one; else this process's Python."""
    if os.geteuid() == 0 and shutil.which("runuser"):
        for python in (sys.executable, "/usr/bin/python3"):
            command = ["runuser", "-u", "nobody", "--", python]
            try:
                subprocess.run([*command, os.path.abspath(__file__), "--check"], check=True,
                               timeout=30, capture_output=True)
                return command
            except (OSError, subprocess.SubprocessError):
                pass
    return [sys.executable]


def run_case(work, img, name, bound_kib, prefix):
    mnt = os.path.join(work, "mnt-" + name)
    m = mountlib.Mount(img, mnt, options=("-o", "threads"))
    if not m.mounted:
        status, err = m.stop()
        return [f"could not mount ({status}): {err[-500:]}"], None
    problems = []
    paths = CASES[name]
    proc = subprocess.Popen([*prefix, os.path.abspath(__file__), "--opener", mnt],
                            stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    proc.stdin.write(json.dumps(paths) + "\n")
    proc.stdin.flush()
    line = proc.stdout.readline()
    result = json.loads(line) if line else {"opened": 0, "failed": ["opener ended"]}
    if result["opened"] != len(paths) or result["failed"]:
        problems.append(f"{result['opened']} of {len(paths)} opens: " +
                        "; ".join(result["failed"][:5]))
    try:
        r = subprocess.run(["stat", mnt], capture_output=True, timeout=30)
        if r.returncode != 0:
            problems.append("stat of the mount failed: " + r.stderr.decode()[-200:])
    except subprocess.TimeoutExpired:
        problems.append("stat of the mount did not answer within 30 s")
    peak = vm_hwm_kib(m.proc.pid) if m.alive() else None
    proc.stdin.close()
    proc.wait(timeout=120)
    alive = m.alive()
    status, err = m.stop()
    if not alive:
        problems.append("daemon died")
    elif peak is None or peak > bound_kib:
        problems.append(f"daemon peak memory {peak} KiB over {bound_kib} KiB")
    if status != 0:
        problems.append(f"daemon exit status {status}")
    if mountlib.sanitizer_report(err):
        problems.append("sanitizer report:\n" + err[-3000:])
    return problems, peak


def main():
    if sys.argv[1:] == ["--check"]:
        return 0
    if len(sys.argv) == 3 and sys.argv[1] == "--opener":
        return opener(sys.argv[2], json.loads(sys.stdin.readline()))
    ap = argparse.ArgumentParser()
    ap.add_argument("work")
    ap.add_argument("--only", default="")
    ap.add_argument("--bound-mib", type=int, default=128)
    args = ap.parse_args()
    if not mountlib.fuse_available():
        print("SKIP: /dev/fuse or fusermount missing")
        return 77
    os.makedirs(args.work, exist_ok=True)
    os.chmod(args.work, 0o755)
    img = make_volume(args.work)
    prefix = as_other_user()
    print(f"opening as {'nobody' if prefix[0] == 'runuser' else 'this user'}")
    failures = 0
    for name in CASES:
        if args.only and args.only not in name:
            continue
        problems, peak = run_case(args.work, img, name, args.bound_mib << 10, prefix)
        print(f"{name}: {len(CASES[name])} opens held, daemon peak {peak} KiB"
              f" (bound {args.bound_mib} MiB)")
        for p in problems:
            print(f"FAIL {name}: {p}")
        failures += bool(problems)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
