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
# Replaying a clean journal changes nothing.
check_image hfsx-casesensitive-journaled -o replay
check_image nps-hfsjtest1 -o replay,noublio

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

# A journal with pending transactions is refused unless forced or replayed.
dirty="$E2E_WORK/journal-dirty.img"
xz -dc "$images/journal-dirty.img.xz" >"$dirty"
before=$(sha256sum <"$dirty")
mkdir -p "$E2E_WORK/mnt-dirty"
out=$("$QUORVEL" "$dirty" "$E2E_WORK/mnt-dirty" 2>&1)
status=$?
[ "$status" -eq 5 ] || fail "dirty journal: status $status"
[ "$(head -n 1 <<<"$out")" = "Journal is dirty! Canceling mount. Use --force to ignore." ] ||
    fail "dirty journal: $out"
grep -q '3 transactions are pending.*-o replay.*--force' <<<"$out" || fail "dirty journal: $out"
mountpoint -q "$E2E_WORK/mnt-dirty" && fail "dirty journal mounted without --force"
for how in --force "-o replay"; do
    # shellcheck disable=SC2086 # two words on purpose
    out=$("$QUORVEL" $how -o rsrc_ext=.rsrc "$dirty" "$E2E_WORK/mnt-dirty" 2>&1)
    case "$how" in
    --force) want="Journal is dirty! Attempting to mount anyway (--force)." ;;
    *) want="quorvel: journal replayed in memory (the image is unchanged): 3 transactions, 3 blocks, sequence numbers 2014207-2014209, 0 past the header's end; stopped at journal offset 110592 (the header's end): the block list there ends the journal: its checksum does not match (free space or old data)" ;;
    esac
    [ "$out" = "$want" ] || fail "$how: $out"
    E2E_MOUNTS+=("$E2E_WORK/mnt-dirty")
    python3 "$here/check_against_readers.py" "$E2E_WORK/mnt-dirty" \
        "$images/journal-dirty.groundtruth.tsv" "$images/journal-dirty.fls.txt" ||
        fail "journal-dirty [$how] differs from the independent readers"
    unmount_volume "$E2E_WORK/mnt-dirty"
done
# The journal listing names the three transactions and the blocks they rewrite.
out=$("$QUORVEL_EXTRACT" "$dirty" journal --json) || fail "journal: status $?"
python3 - "$out" <<'EOF' || fail "journal --json: $out"
import json, sys
j = json.loads(sys.argv[1])
assert j["state"] == "dirty" and j["header"]["byte_order"] == "little", j
got = [(t["sequence_num"], [(b["bnum"], b["size"], b["device_offset"], b["belongs_to"])
                            for l in t["lists"] for b in l["blocks"]]) for t in j["transactions"]]
want = [(2014207 + i, [(2520 + i, 512, (2520 + i) * 512,
                        "catalog node 0 (bytes %d-%d)" % (512 * i, 512 * i + 511))])
        for i in range(3)]
assert got == want, got
assert j["stop"]["offset"] == j["header"]["end"] == 110592 and not j["stop"]["damaged"], j["stop"]
EOF
[ "$(sha256sum <"$dirty")" = "$before" ] || fail "journal-dirty: the image changed"

finish "every reference volume matches the independent readers"
