#!/usr/bin/env bash
# quorvel-extract against the mount and against 7-Zip: every builder volume
# and every reference image, extracted whole, must equal what the mount
# shows; the other commands print what the mount shows.
set -u
here=$(dirname "$0")
source "$here/../e2e/lib.sh"
source "$here/../manifest_data.sh"
require_fuse
: "${EXTRACT:?path of quorvel-extract}" "${MKHFS:?path of mkhfs}" "${SOURCE_DIR:?}"

check_volume() {
    local name=$1 image=$2
    shift 2
    local mnt="$E2E_WORK/mnt-$name" out="$E2E_WORK/out-$name" seven="$E2E_WORK/7z-$name"
    local before
    before=$(sha256sum <"$image")
    mount_volume "$image" "$mnt" "$@" || return
    "$EXTRACT" --quiet --same-permissions "$@" "$image" extract "$out" 2>"$E2E_WORK/extract-$name.log"
    local status=$?
    # Items the mount cannot read either are listed, with a non-zero status.
    if [ "$status" -ne 0 ] && ! grep -q "could not be extracted" "$E2E_WORK/extract-$name.log"; then
        fail "$name: extract exited $status: $(head -5 "$E2E_WORK/extract-$name.log")"
    fi
    # 7-Zip shows data forks: only compared when the mount does too.
    local sevenzip=""
    if [[ " $* " != *rsrc_only* ]]; then
        mkdir -p "$seven"
        7zz x -y -o"$seven" "$image" >"$seven.log" 2>&1
        sevenzip=$seven
    fi
    python3 "$here/compare_trees.py" "$mnt" "$out" "$sevenzip" "$E2E_WORK/extract-$name.log" || fail "$name: extract differs"

    # ls and cat agree with the mount.
    diff <(ls -A "$mnt" | LC_ALL=C sort) <("$EXTRACT" "$@" "$image" ls / | LC_ALL=C sort) >/dev/null ||
        fail "$name: ls of the root differs"
    local file count=0
    while IFS= read -r -d '' file; do
        file=${file#.}
        cat "$mnt$file" >/dev/null 2>&1 || continue
        [ "$("$EXTRACT" "$@" "$image" cat "$file" 2>/dev/null | sha256sum)" = \
            "$(sha256sum <"$mnt$file")" ] || fail "$name: cat $file differs"
        count=$((count + 1))
        [ "$count" -ge 3 ] && break
    done < <(cd "$mnt" && find . -type f -size +0 -print0 2>/dev/null)
    unmount_volume "$mnt"
    [ "$(sha256sum <"$image")" = "$before" ] || fail "$name: the image changed"
    rm -rf "$out" "$seven"
}

for manifest in "$SOURCE_DIR"/tests/mkhfs/manifests/*.json "$SOURCE_DIR/tools/mkhfs/examples/showcase.json"; do
    name=$(basename "$manifest" .json)
    case "$name" in deep-catalog|journal-dirty-*) continue ;; esac
    manifest_data_present "$manifest" || { echo "SKIP: $name needs the shared reference data"; continue; }
    "$MKHFS" --quiet "$manifest" "$E2E_WORK/$name.img" || { fail "mkhfs $name"; continue; }
    check_volume "$name" "$E2E_WORK/$name.img"
done
check_volume showcase-rsrc "$E2E_WORK/showcase.img" -o rsrc_only

if [ -n "${SHARED_IMAGES:-}" ] && [ -d "$SHARED_IMAGES" ]; then
    for name in dfvfs-hfsplus hfsx-casesensitive-journaled ramdisk-symlinks nps-hfsjtest1 \
        newfs-xattrs; do
        xz -dc "$SHARED_IMAGES/$name.img.xz" >"$E2E_WORK/$name.img"
        check_volume "$name" "$E2E_WORK/$name.img"
    done
fi

# The commands a script would use, on the sample volume.
img="$E2E_WORK/showcase.img"
[ "$("$EXTRACT" "$img" xattr /xattrs.txt user.com.example.small)" = "inline value" ] ||
    fail "xattr value"
"$EXTRACT" "$img" xattr /xattrs.txt | grep -qx "user.com.example.large" || fail "xattr list"
"$EXTRACT" "$img" stat /Documents/readme.txt | grep -q "Inode: 100" || fail "stat inode"
"$EXTRACT" "$img" ls -l /Documents | grep -q "fragmented.bin" || fail "ls -l"
[ "$("$EXTRACT" -o rsrc_ext=.rsrc "$img" cat "/Documents/notes with resource fork.rsrc" | wc -c)" = 3000 ] ||
    fail "resource fork through the suffix"
out=$("$EXTRACT" "$img" cat /missing 2>&1)
[ $? -ne 0 ] && grep -qF "/missing: No such file or directory" <<<"$out" || fail "missing file: $out"
out=$("$EXTRACT" "$E2E_WORK/nothing.img" ls 2>&1)
[ $? -eq 2 ] && grep -qF "Couldn't open volume: No such file or directory" <<<"$out" || fail "missing volume: $out"
# Options refused with a line naming the mistake.
while IFS='|' read -r option message; do
    out=$("$EXTRACT" -o "$option" "$img" ls 2>&1)
    [ $? -eq 1 ] && grep -qF -- "$message" <<<"$out" || fail "-o $option: $out"
done <<'EOF'
bogus|unknown option `bogus'
threads|option `threads' concerns only a mount (quorvel); quorvel-extract does not take it
rsrc_only,direct_io|option `direct_io' concerns only a mount
noallow_other|option `noallow_other' concerns only a mount
partition=0|bad value for partition: 0 (partitions are numbered from 1
rw|unknown option `rw'
EOF
[ "$("$EXTRACT" -o partition=1 "$img" ls 2>&1)" = "Error: partition 1 requested, but the volume has no partition map" ] ||
    fail "-o partition=1 is not read"
finish "quorvel-extract agrees with the mount and with 7-Zip"
