#!/usr/bin/env bash
# Real mounts of volumes made by other systems: file-system statistics from
# the volume header, a volume path with a comma, plain HFS refused, and the
# daemon ending (and its device closed) after unmounting.
set -u
: "${QUORVEL:?path of the quorvel binary}"
images=${SHARED_IMAGES:-}
if [ ! -e /dev/fuse ]; then echo "SKIP: /dev/fuse is missing"; exit 77; fi
if [ -z "$images" ] || [ ! -d "$images" ]; then echo "SKIP: no reference images"; exit 77; fi

work=$(mktemp -d)
mnt="$work/mnt"
mkdir -p "$mnt"
cleanup() {
    fusermount -u "$mnt" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

# be32 FILE OFFSET: a big-endian 32-bit value read straight from the image.
be32() { od -An -tu1 -j "$2" -N4 "$1" | awk '{print ($1*16777216)+($2*65536)+($3*256)+$4}'; }

image="$work/vol,with comma.img"
xz -dc "$images/dfvfs-hfsplus.img.xz" >"$image"
sum_before=$(sha256sum <"$image")

"$QUORVEL" "$image" "$mnt" || fail "mount failed"
findmnt -n -o SOURCE,FSTYPE,OPTIONS "$mnt" >"$work/findmnt" || fail "not mounted"
grep -qF "$image" "$work/findmnt" || fail "fsname lost the comma: $(cat "$work/findmnt")"
grep -q "fuse.hfs" "$work/findmnt" || fail "subtype: $(cat "$work/findmnt")"
grep -qw "ro" "$work/findmnt" || fail "not read-only: $(cat "$work/findmnt")"
grep -q "allow_other" "$work/findmnt" || fail "allow_other missing: $(cat "$work/findmnt")"

block_size=$(be32 "$image" $((1024 + 40)))
total=$(be32 "$image" $((1024 + 44)))
free=$(be32 "$image" $((1024 + 48)))
files=$(be32 "$image" $((1024 + 32)))
folders=$(be32 "$image" $((1024 + 36)))
read -r s_bsize s_blocks s_bfree s_bavail s_files s_ffree s_namemax < <(stat -f -c '%S %b %f %a %c %d %l' "$mnt")
[ "$s_bsize" = "$block_size" ] || fail "block size $s_bsize, header says $block_size"
[ "$s_blocks" = "$total" ] || fail "total blocks $s_blocks, header says $total"
[ "$s_bfree" = "$free" ] && [ "$s_bavail" = "$free" ] || fail "free blocks $s_bfree/$s_bavail vs $free"
[ "$s_files" = 4294967279 ] || fail "f_files $s_files"
[ "$s_ffree" = $((4294967279 - files - folders)) ] || fail "f_ffree $s_ffree with $files files, $folders folders"
[ "$s_namemax" = 765 ] || fail "namemax $s_namemax"

pid=$(pgrep -f -n "quorvel .*$mnt")
[ -n "$pid" ] && ls -l "/proc/$pid/fd" 2>/dev/null | grep -qF "vol,with comma.img" || fail "daemon does not hold the image open"
fusermount -u "$mnt" || fail "unmount failed"
for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
kill -0 "$pid" 2>/dev/null && fail "daemon still running after unmount"
[ "$(sha256sum <"$image")" = "$sum_before" ] || fail "the image changed"

# noallow_other leaves the option out.
"$QUORVEL" -o noallow_other,noublio "$image" "$mnt" || fail "mount with noallow_other failed"
findmnt -n -o OPTIONS "$mnt" | grep -q allow_other && fail "allow_other present with noallow_other"
fusermount -u "$mnt"

xz -dc "$images/classic-hfs.img.xz" >"$work/classic.img"
out=$("$QUORVEL" "$work/classic.img" "$mnt" 2>&1)
status=$?
[ "$status" -ne 0 ] || fail "plain HFS mounted"
grep -qF "Plain HFS volumes not currently supported" <<<"$out" || fail "plain HFS message: $out"

if [ "$failures" -ne 0 ]; then
    echo "$failures check(s) failed"
    exit 1
fi
echo "all mount checks passed"
