#!/usr/bin/env bash
# Mount cost of -o replay against --force on a volume whose 8 MiB journal is
# full of pending transactions (a folder of 17,000 new files: about 500
# catalog nodes in 200 transactions of 2 lists), and the speed of reading a
# 64 MiB file after replay against without.
#
# Usage: bench/journal_replay.sh BUILD_DIR [RUNS]   (root or FUSE for the user)
set -eu
build=$(cd "$1" && pwd)
runs=${2:-7}
work=$(mktemp -d)
trap 'fusermount3 -u "$work/mnt" 2>/dev/null || true; rm -rf "$work"' EXIT
python3 - "$work/m.json" <<'PY'
import json, sys
big = {"type": "file", "name": "big.bin", "data": {"pattern": "counter", "size": 64 << 20, "seed": 1}}
s1 = [big, {"type": "folder", "name": "fresh", "children": [
    {"type": "generate", "folders": 0, "files": 17000, "file_size": 0}]}]
json.dump({"volume": {"block_size": 4096, "journal": {"size": "8M", "byte_order": "little", "pending": {
    "before": {"items": [big]}, "transactions": 200, "lists": 2}}}, "items": s1}, open(sys.argv[1], "w"))
PY
"$build/mkhfs" --quiet "$work/m.json" "$work/v.img"
"$build/quorvel-extract" "$work/v.img" journal | sed -n '2,3p;$p'
mkdir -p "$work/mnt"
median() { sort -n | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }
mount_ms() { # options...: milliseconds from start to the first stat of the root
    local t0 t1
    t0=$(date +%s%N)
    "$build/quorvel" "$@" "$work/v.img" "$work/mnt" 2>/dev/null
    stat "$work/mnt/big.bin" >/dev/null
    t1=$(date +%s%N)
    echo $(((t1 - t0) / 1000000))
}
read_mbs() { # options...: MB/s of dd bs=1M of big.bin on a fresh mount
    "$build/quorvel" "$@" "$work/v.img" "$work/mnt" 2>/dev/null
    dd if="$work/mnt/big.bin" of=/dev/null bs=1M 2>&1 | awk '/copied/ {print $(NF-1)}'
    fusermount3 -u "$work/mnt"
}
cat "$work/v.img" >/dev/null # in the page cache
for how in "--force" "-o replay"; do
    # shellcheck disable=SC2086 # two words on purpose
    ms=$(for _ in $(seq "$runs"); do mount_ms $how; fusermount3 -u "$work/mnt"; done | median)
    # shellcheck disable=SC2086
    mbs=$(for _ in $(seq "$runs"); do read_mbs $how; done | median)
    printf '%-10s mount %5s ms   read big.bin %8s MB/s   (median of %s)\n' "$how" "$ms" "$mbs" "$runs"
done
