#!/usr/bin/env bash
# A large, mostly empty volume is written sparse and quickly, and TSK reads
# its generated tree and the size of its 1 GiB file.
set -euo pipefail
mkhfs=$1 work=$2
command -v fls >/dev/null || exit 77
mkdir -p "$work"
cat > "$work/large.json" <<'JSON'
{"volume": {"name": "Large", "size": "1200M"},
 "items": [{"type": "generate", "folders": 50, "files": 20000, "file_size": 10},
           {"type": "file", "name": "one-gib", "data": {"pattern": "zeros", "size": "1G"}, "extents": 3}]}
JSON
"$mkhfs" --quiet "$work/large.json" "$work/large.img"
[ "$(stat -c %s "$work/large.img")" -eq $((1200 * 1024 * 1024)) ]
used_kib=$(du -k "$work/large.img" | cut -f1)
[ "$used_kib" -lt 200000 ] || { echo "image not sparse: ${used_kib} KiB on disk"; exit 1; }
fls -r -p -m / "$work/large.img" > "$work/large.fls"
[ "$(grep -c '|r/rrw-r--r--|501|20|10|' "$work/large.fls")" -eq 20000 ]
grep -q '^0|/one-gib|[0-9]*|r/rrw-r--r--|501|20|1073741824|' "$work/large.fls"
grep -q '^0|/d00049/f0019999|' "$work/large.fls"
rm -f "$work/large.img"
echo "large volume ok"
