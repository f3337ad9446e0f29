"""Mounting an image with the real daemon for the hostile-volume tests.

Mount(image, mountpoint) starts `quorvel -f` (foreground, so that its pid,
exit status and standard error are ours), waits until the mount is there or
the daemon has ended, and can tell whether the daemon still runs, how much
memory it holds, and whether it opened the image read-only. stop() unmounts
and collects the exit status and any sanitizer report.
"""
import concurrent.futures
import hashlib
import os
import shutil
import subprocess
import threading
import time

SANITIZER_MARKS = ("ERROR: AddressSanitizer", "ERROR: LeakSanitizer", "runtime error:",
                   "SUMMARY: UndefinedBehaviorSanitizer", "AddressSanitizer:DEADLYSIGNAL")


def quorvel():
    return os.environ["QUORVEL"]


def fuse_available():
    return os.path.exists("/dev/fuse") and shutil.which("fusermount") is not None


def sha256_file(path):
    h = hashlib.sha256()
    with open(path, "rb") as f:
        for chunk in iter(lambda: f.read(1 << 20), b""):
            h.update(chunk)
    return h.hexdigest()


def is_mounted(path):
    """Whether a file system is mounted on `path` (without touching it: the
    root of a damaged volume may not even stat)."""
    want = os.path.realpath(path)
    with open("/proc/self/mountinfo") as f:
        for line in f:
            point = line.split()[4].encode().decode("unicode_escape")
            if point == want:
                return True
    return False


def daemon_env():
    env = dict(os.environ)
    env.setdefault("ASAN_OPTIONS", "detect_leaks=1:abort_on_error=1")
    env.setdefault("UBSAN_OPTIONS", "print_stacktrace=1:halt_on_error=1")
    return env


class Mount:
    def __init__(self, image, mountpoint, options=(), timeout=30):
        self.image, self.mnt = image, mountpoint
        os.makedirs(mountpoint, exist_ok=True)
        self.err_path = mountpoint + ".stderr"
        self.err_file = open(self.err_path, "wb")
        self.proc = subprocess.Popen([quorvel(), "-f", *options, image, mountpoint],
                                     stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                     stderr=self.err_file, env=daemon_env())
        self.mounted = False
        self.hung = False
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if is_mounted(mountpoint):
                self.mounted = True
                break
            if self.proc.poll() is not None:
                break
            time.sleep(0.01)
        else:
            self.hung = True

    def alive(self):
        return self.proc.poll() is None

    def rss_kib(self):
        with open(f"/proc/{self.proc.pid}/status") as f:
            for line in f:
                if line.startswith("VmRSS:"):
                    return int(line.split()[1])
        return None

    def image_open_flags(self):
        """The open flags of every descriptor the daemon holds on the image."""
        flags = []
        real = os.path.realpath(self.image)
        fd_dir = f"/proc/{self.proc.pid}/fd"
        for fd in os.listdir(fd_dir):
            try:
                if os.readlink(os.path.join(fd_dir, fd)) != real:
                    continue
                with open(f"/proc/{self.proc.pid}/fdinfo/{fd}") as f:
                    for line in f:
                        if line.startswith("flags:"):
                            flags.append(int(line.split()[1], 8))
            except OSError:
                pass
        return flags

    def opened_read_only(self):
        flags = self.image_open_flags()
        return bool(flags) and all(f & os.O_ACCMODE == os.O_RDONLY for f in flags)

    def stop(self, timeout=30):
        """Unmounts; returns (exit status or None when it would not end, stderr)."""
        if self.mounted:
            for _ in range(100):
                r = subprocess.run(["fusermount", "-u", self.mnt], capture_output=True)
                if r.returncode == 0 or not is_mounted(self.mnt):
                    break
                time.sleep(0.1)
        try:
            status = self.proc.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            status = None
            self.kill()
        self.err_file.close()
        with open(self.err_path, "rb") as f:
            err = f.read().decode("utf-8", "replace")
        os.unlink(self.err_path)
        return status, err

    def kill(self):
        """Ends a hung daemon and detaches its mount."""
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()
        subprocess.run(["fusermount", "-u", "-z", self.mnt], capture_output=True)


def sanitizer_report(err):
    return any(mark in err for mark in SANITIZER_MARKS)


def select_variants(variants, only, budget):
    """The variants whose name holds `only`, then about `budget` of them
    (0: all), evenly spaced within every (base, kind) group. Each base starts
    at another point, so that bases sharing one list of damages together
    cover more of it. A variant is a tuple (name "BASE/...", kind, ...)."""
    if only:
        variants = [v for v in variants if only in v[0]]
    if not budget or budget >= len(variants):
        return variants
    groups = {}
    for v in variants:
        groups.setdefault((v[0].split("/")[0], v[1]), []).append(v)
    bases = list(dict.fromkeys(base for base, _kind in groups))
    ratio = budget / len(variants)
    out = []
    for (base, _kind), group in groups.items():
        n = max(1, round(len(group) * ratio))
        step = len(group) / n
        shift = bases.index(base) * step / len(bases)
        out += [group[int(i * step + shift) % len(group)] for i in range(n)]
    return out


def run_in_slots(variants, jobs, run):
    """Calls run(slot, *variant) for every variant, `jobs` at a time; each
    running call holds a slot number of its own (its mount point and files)."""
    slots = list(range(jobs))
    lock = threading.Lock()

    def job(v):
        with lock:
            slot = slots.pop()
        try:
            run(slot, *v)
        finally:
            with lock:
                slots.append(slot)

    with concurrent.futures.ThreadPoolExecutor(jobs) as pool:
        list(pool.map(job, variants))
