#!/usr/bin/env python3
"""Damaged-volume suite: mounts hundreds of damaged volumes and walks each.

Usage: damaged_volumes.py WORKDIR [--jobs N] [--budget N] [--only SUBSTRING]

--budget N mounts about N variants, taken evenly from every base volume and
kind of damage (0: all of them, some thousands).

Base volumes: the builder manifests of tests/hostile/manifests/ and the real
images of the shared folder (skipped when absent). Variants are derived at
run time (hfsimage.damaged_variants) and never stored beyond the run.

For each variant: the image is written, hashed, mounted with the real daemon
(QUORVEL, in the sanitizer build under ./test.sh) and walked completely by
walker.py under a time limit; then the daemon must still run, must hold the
image read-only, must unmount cleanly and exit 0, and must have printed no
sanitizer report; the image must hash the same afterwards. A volume the
daemon refuses must be refused with an error message and a plain non-zero
exit (never a signal or a sanitizer report).

Prints a summary (variants tried, walks completed, refused at mount, errors
by kind, crashes, hangs) and exits 1 when any variant crashed, hung, changed
its image, leaked a sanitizer report or answered an unexpected error code;
77 when FUSE is unavailable.
"""
import argparse
import json
import lzma
import os
import subprocess
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import hfsimage  # noqa: E402
import mountlib  # noqa: E402

WALK_TIMEOUT = 120  # seconds; a walk of these volumes takes well under one
# Real images: (name, thorough). Large or slow ones get fewer variants.
REAL_IMAGES = [("dfvfs-hfsplus", True), ("hfsx-casesensitive-journaled", True),
               ("ramdisk-symlinks", True), ("newfs-xattrs", True), ("xattrs-5651", False),
               ("nps-hfsjtest1", False)]


def base_volumes(work):
    mkhfs = os.environ["MKHFS"]
    out = []
    for name in sorted(os.listdir(os.path.join(HERE, "manifests"))):
        img = os.path.join(work, "base-" + name.replace(".json", ".img"))
        subprocess.run([mkhfs, "--quiet", os.path.join(HERE, "manifests", name), img], check=True)
        with open(img, "rb") as f:
            out.append((name.replace(".json", ""), f.read(), True))
    shared = os.environ.get("SHARED_IMAGES", "")
    for name, thorough in REAL_IMAGES:
        path = os.path.join(shared, name + ".img.xz")
        if os.path.exists(path):
            with lzma.open(path) as f:
                out.append((name, f.read(), thorough))
        else:
            print(f"note: {path} absent, its variants are skipped")
    return out


class Tally:
    def __init__(self):
        self.lock = threading.Lock()
        self.tried = self.walked = self.refused = 0
        self.errors = {}
        self.by_damage = {}
        self.crashes, self.hangs, self.failures = [], [], []

    def add_errors(self, errors):
        with self.lock:
            for k, v in errors.items():
                self.errors[k] = self.errors.get(k, 0) + v


def run_variant(work, slot, name, kind, base, damage, tally):
    data = hfsimage.materialize(base, damage)
    img = os.path.join(work, f"slot{slot}.img")
    mnt = os.path.join(work, f"mnt{slot}")
    with open(img, "wb") as f:
        f.write(data)
    before = mountlib.sha256_file(img)
    problems = []
    crashed = hung = False
    m = mountlib.Mount(img, mnt)
    walked = False
    if m.hung:
        hung = True
        m.kill()
    elif m.mounted:
        if not m.opened_read_only():
            problems.append("image not held read-only")
        try:
            r = subprocess.run([sys.executable, os.path.join(HERE, "walker.py"), mnt],
                               capture_output=True, timeout=WALK_TIMEOUT)
            result = json.loads(r.stdout or b"{}")
            walked = r.returncode == 0 and "ops" in result
            if not walked:
                problems.append("walker failed: " + r.stderr.decode()[-300:])
            tally.add_errors(result.get("errors", {}))
            if result.get("unexpected"):
                problems.append("unexpected errors: " + "; ".join(result["unexpected"][:5]))
        except subprocess.TimeoutExpired:
            hung = True
        if not hung and not m.alive():
            crashed = True
        if hung:
            m.kill()
    status, err = m.stop()
    if status is None:
        hung = True
    elif status < 0:
        crashed = True
    elif m.mounted and status != 0:
        problems.append(f"daemon exit status {status} after unmount")
    elif not m.mounted and status == 0:
        problems.append("daemon ended without mounting and without an error")
    if mountlib.sanitizer_report(err):
        crashed = True
        problems.append("sanitizer report:\n" + err[-3000:])
    if mountlib.sha256_file(img) != before:
        problems.append("image changed")
    with tally.lock:
        tally.tried += 1
        tally.walked += walked
        tally.refused += not m.mounted and not hung and not crashed
        d = tally.by_damage.setdefault(kind, [0, 0])
        d[0] += 1
        d[1] += walked
        if crashed:
            tally.crashes.append(name)
        if hung:
            tally.hangs.append(name)
        if problems or crashed or hung:
            tally.failures.append((name, problems or ["crash" if crashed else "hang"]))
            # Keep the failing variant for a look.
            keep = os.path.join(work, "failed", name.replace("/", "_") + ".img")
            os.makedirs(os.path.dirname(keep), exist_ok=True)
            with open(keep, "wb") as f:
                f.write(data)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("work")
    ap.add_argument("--jobs", type=int, default=3)
    ap.add_argument("--budget", type=int, default=0)
    ap.add_argument("--only", default="")
    args = ap.parse_args()
    if not mountlib.fuse_available():
        print("SKIP: /dev/fuse or fusermount missing")
        return 77
    os.makedirs(args.work, exist_ok=True)
    started = time.monotonic()

    variants = []
    for tag, data, thorough in base_volumes(args.work):
        vol = hfsimage.Volume(data)
        vs = hfsimage.damaged_variants(vol, tag, thorough=thorough)
        print(f"{tag}: {len(vs)} variants")
        variants += [(name, kind, data, damage) for name, kind, damage in vs]
    generated = len(variants)
    variants = mountlib.select_variants(variants, args.only, args.budget)
    print(f"{generated} variants generated, {len(variants)} to mount")

    tally = Tally()
    mountlib.run_in_slots(variants, args.jobs,
                          lambda slot, *v: run_variant(args.work, slot, *v, tally))

    print(f"\ndamaged volumes: {tally.tried} variants tried, {tally.walked} walks completed, "
          f"{tally.refused} refused at mount ({time.monotonic() - started:.0f} s)")
    for kind, (n, w) in sorted(tally.by_damage.items()):
        print(f"  {kind:22} {n:4} variants, {w:4} walked")
    print("errors by kind: " + (", ".join(f"{k} {v}" for k, v in sorted(tally.errors.items()))
                                or "none"))
    print(f"crashes: {len(tally.crashes)}")
    print(f"hangs: {len(tally.hangs)}")
    for name, problems in tally.failures:
        print(f"FAIL {name}: " + " | ".join(problems))
    return 1 if tally.failures else 0


if __name__ == "__main__":
    sys.exit(main())
