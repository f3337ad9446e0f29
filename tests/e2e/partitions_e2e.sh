#!/usr/bin/env bash
# Whole-disk images: a builder volume placed in a partition of a GPT, MBR or
# Apple partition map written by Debian's own partitioning tools, mounted
# automatically and with partition=N; wrong choices refused with status 1.
set -u
here=$(dirname "$0")
source "$here/../e2e/lib.sh"
require_fuse
: "${MKHFS:?path of mkhfs}"
for tool in parted sgdisk sfdisk; do
    command -v "$tool" >/dev/null || { echo "SKIP: $tool missing"; exit 77; }
done

cat >"$E2E_WORK/volume.json" <<'JSON'
{"volume": {"format": "hfs+", "name": "Inside", "block_size": 4096, "size": "8M"},
 "items": [{"type": "folder", "name": "docs", "children": [
             {"type": "file", "name": "hello.txt", "data": "hello from a partition\n"}]},
           {"type": "file", "name": "big.bin", "data": {"pattern": "random", "size": 300000, "seed": 3},
            "compress": {"type": 4}}]}
JSON
"$MKHFS" --quiet "$E2E_WORK/volume.json" "$E2E_WORK/volume.img" || { fail "mkhfs failed"; finish; }
volume_size=$(stat -c %s "$E2E_WORK/volume.img")
cat >"$E2E_WORK/wrapped.json" <<'JSON'
{"volume": {"format": "hfsx", "key_compare": "binary", "name": "Wrapped", "size": "8M",
            "wrapper": {"embed_start": 2}},
 "items": [{"type": "file", "name": "hello.txt", "data": "hello from a partition\n"}]}
JSON
"$MKHFS" --quiet "$E2E_WORK/wrapped.json" "$E2E_WORK/wrapped.img" || fail "mkhfs (wrapper) failed"
expected=$(printf 'hello from a partition\n' | sha256sum)

# place IMAGE DISK OFFSET: copies a volume into the disk at a byte offset.
place() { dd if="$1" of="$2" bs=512 seek=$(($3 / 512)) conv=notrunc status=none; }

# expect_mount DISK [options]: mounts and checks the volume's file.
expect_mount() {
    local disk=$1 mnt="$E2E_WORK/mnt"
    shift
    local before
    before=$(sha256sum <"$disk")
    mount_volume "$disk" "$mnt" "$@" || return
    local file="$mnt/docs/hello.txt"
    [ -e "$file" ] || file="$mnt/hello.txt"
    [ "$(sha256sum <"$file")" = "$expected" ] || fail "$disk [$*]: wrong contents"
    unmount_volume "$mnt"
    [ "$(sha256sum <"$disk")" = "$before" ] || fail "$disk changed"
}

# expect_refusal DISK MESSAGE [options]: the mount fails with status 1.
expect_refusal() {
    local disk=$1 message=$2
    shift 2
    local out status
    out=$("$QUORVEL" "$@" "$disk" "$E2E_WORK/mnt" 2>&1)
    status=$?
    [ "$status" -eq 1 ] || fail "$disk [$*]: status $status ($out)"
    grep -qF -- "$message" <<<"$out" || fail "$disk [$*]: message '$out', expected '$message'"
}

# GPT from parted: an ext4-typed partition first, the HFS+ one second.
gpt="$E2E_WORK/gpt.img"
truncate -s 40M "$gpt"
parted -s "$gpt" mklabel gpt mkpart data ext4 1MiB 10MiB mkpart mac hfs+ 10MiB 30MiB 2>/dev/null
place "$E2E_WORK/volume.img" "$gpt" $((10 * 1048576))
expect_mount "$gpt"
expect_mount "$gpt" -o partition=2
expect_refusal "$gpt" "partition 1 is not an HFS+ or HFSX volume" -o partition=1
expect_refusal "$gpt" "partition 3 does not exist" -o partition=3

# GPT from sgdisk, with the volume inside an HFS wrapper.
sg="$E2E_WORK/sgdisk.img"
truncate -s 40M "$sg"
sgdisk -n 1:2048:+20M -t 1:AF00 "$sg" >/dev/null 2>&1
place "$E2E_WORK/wrapped.img" "$sg" $((2048 * 512))
expect_mount "$sg"

# MBR from sfdisk: type 0xAF in the second slot.
mbr="$E2E_WORK/mbr.img"
truncate -s 40M "$mbr"
printf 'label: dos\nstart=2048, size=8192, type=83\nstart=20480, size=40960, type=af\n' |
    sfdisk -q "$mbr" >/dev/null
place "$E2E_WORK/volume.img" "$mbr" $((20480 * 512))
expect_mount "$mbr"
expect_mount "$mbr" -o partition=2
expect_refusal "$mbr" "partition 1 is not an HFS+ or HFSX volume" -o partition=1

# Apple partition map from parted: the map itself is entry 1.
apm="$E2E_WORK/apm.img"
truncate -s 40M "$apm"
parted -s "$apm" mklabel mac mkpart vol hfs+ 1MiB 20MiB 2>/dev/null
start=$(parted -s "$apm" unit B print | awk '$6 == "vol" || $5 == "vol" {print $2}' | tr -d B)
[ -n "$start" ] || start=1048576
place "$E2E_WORK/volume.img" "$apm" "$start"
expect_mount "$apm"
expect_mount "$apm" -o partition=2
expect_refusal "$apm" "partition 1 is not an HFS+ or HFSX volume" -o partition=1

# A partition map whose entry runs past the end of the image is refused.
bad="$E2E_WORK/bad.img"
truncate -s 40M "$bad"
printf 'label: dos\nstart=2048, size=40960, type=af\n' | sfdisk -q "$bad" >/dev/null
truncate -s 10M "$bad"
out=$("$QUORVEL" "$bad" "$E2E_WORK/mnt" 2>&1)
[ $? -ne 0 ] || fail "a map beyond the image mounted"
grep -qF "lies beyond the end of the disk" <<<"$out" || fail "beyond the end: $out"

# Without a map or a volume: the old message.
head -c 1048576 /dev/zero >"$E2E_WORK/zeros.img"
out=$("$QUORVEL" "$E2E_WORK/zeros.img" "$E2E_WORK/mnt" 2>&1)
grep -qF "unrecognized volume format" <<<"$out" || fail "zeros: $out"
expect_refusal "$E2E_WORK/volume.img" "has no partition map" -o partition=1

# The reference whole-disk image made by macOS.
if [ -n "${SHARED_IMAGES:-}" ] && [ -f "$SHARED_IMAGES/gpt-disk-hfsplus.img.xz" ]; then
    xz -dc "$SHARED_IMAGES/gpt-disk-hfsplus.img.xz" >"$E2E_WORK/macos-gpt.img"
    mount_volume "$E2E_WORK/macos-gpt.img" "$E2E_WORK/mnt" &&
        { [ "$(cat "$E2E_WORK/mnt/file-a.txt" 2>/dev/null | wc -c)" -gt 0 ] ||
            fail "macOS GPT disk: file-a.txt unreadable"; }
    unmount_volume "$E2E_WORK/mnt"
fi

finish "whole-disk images mount from their partitions"
