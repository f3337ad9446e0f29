#!/usr/bin/env bash
# Mounts every reference volume made by other systems and compares what the
# mount shows with what The Sleuth Kit and 7-Zip report about the same image.
set -u
here=$(dirname "$0")
source "$here/lib.sh"
require_fuse
images=${SHARED_IMAGES:-}
if [ -z "$images" ] || [ ! -d "$images" ]; then echo "SKIP: no reference images"; exit 77; fi

check_image() {
    local name=$1
    shift
    local image="$E2E_WORK/$name.img" mnt="$E2E_WORK/mnt-$name"
    [ -f "$image" ] || xz -dc "$images/$name.img.xz" >"$image"
    local before
    before=$(sha256sum <"$image")
    mount_volume "$image" "$mnt" -o rsrc_ext=.rsrc "$@" || return
    if ! python3 "$here/check_against_readers.py" "$mnt" "$images/$name.groundtruth.tsv" \
        "$images/$name.fls.txt"; then
        fail "$name [$*] differs from the independent readers"
    fi
    unmount_volume "$mnt"
    [ "$(sha256sum <"$image")" = "$before" ] || fail "$name: the image changed"
}

for name in dfvfs-hfsplus hfsx-casesensitive-journaled xattrs-5651 ramdisk-symlinks \
    nps-hfsjtest1 newfs-xattrs empty-no-attributes; do
    check_image "$name"
done
# The read paths and the lookup cache must not change what is shown.
check_image dfvfs-hfsplus -o noublio
check_image dfvfs-hfsplus -o noublio,blksize=4096
check_image ramdisk-symlinks -o cache_size=0
check_image xattrs-5651 -o ublio_items=0

# rsync -aX copies every symbolic link: nothing is listed that Linux then
# refuses to read (it keeps user. attributes to files and folders).
mnt="$E2E_WORK/mnt-rsync" copy="$E2E_WORK/rsync-copy"
if ! command -v rsync >/dev/null; then
    fail "rsync is not installed (scripts/install-deps)"
elif mount_volume "$E2E_WORK/ramdisk-symlinks.img" "$mnt"; then
    out=$(rsync -aX "$mnt/" "$copy/" 2>&1) || fail "rsync -aX: status $?: $(tail -n 3 <<<"$out")"
    links() { (cd "$1" && find . -type l -printf '%p -> %l\n' | sort); }
    [ "$(links "$copy")" = "$(links "$mnt")" ] || fail "rsync -aX: links differ: $(links "$copy")"
    want=$(grep -c '^l/l' "$images/ramdisk-symlinks.fls.txt")
    [ "$(links "$copy" | wc -l)" -eq "$want" ] || fail "rsync -aX: not the $want links fls lists"
    unmount_volume "$mnt"
fi

# A journal with pending transactions is refused unless forced.
xz -dc "$images/journal-dirty.img.xz" >"$E2E_WORK/journal-dirty.img"
mkdir -p "$E2E_WORK/mnt-dirty"
out=$("$QUORVEL" "$E2E_WORK/journal-dirty.img" "$E2E_WORK/mnt-dirty" 2>&1)
status=$?
[ "$status" -eq 5 ] || fail "dirty journal: status $status"
[ "$out" = "Journal is dirty! Canceling mount. Use --force to ignore." ] || fail "dirty journal: $out"
mountpoint -q "$E2E_WORK/mnt-dirty" && fail "dirty journal mounted without --force"
out=$("$QUORVEL" --force -o rsrc_ext=.rsrc "$E2E_WORK/journal-dirty.img" "$E2E_WORK/mnt-dirty" 2>&1)
[ "$out" = "Journal is dirty! Attempting to mount anyway (--force)." ] || fail "forced: $out"
E2E_MOUNTS+=("$E2E_WORK/mnt-dirty")
python3 "$here/check_against_readers.py" "$E2E_WORK/mnt-dirty" \
    "$images/journal-dirty.groundtruth.tsv" "$images/journal-dirty.fls.txt" ||
    fail "journal-dirty differs from the independent readers"
unmount_volume "$E2E_WORK/mnt-dirty"

finish "every reference volume matches the independent readers"
