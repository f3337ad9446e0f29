#!/usr/bin/env bash
# A builder volume written as every kind of disk image this project reads
# (make_images.py: UDIF with runs of every codec stored out of order, the
# same segmented and with its tables in a resource fork, a sparse image, a
# sparse bundle): each decodes to the volume byte for byte, mounts (the
# bundle given as a folder), and reads right through quorvel-extract; and
# the images mkhfs writes itself (--container) mount too.
# Damaged sets are refused with a message naming what is wrong.
set -u
here=$(cd "$(dirname "$0")" && pwd)
source "$here/../e2e/lib.sh"
require_fuse
: "${MKHFS:?path of mkhfs}" "${QUORVEL_EXTRACT:?}" "${IMAGE_DECODE:?}"

cat >"$E2E_WORK/volume.json" <<'JSON'
{"volume": {"format": "hfs+", "name": "Imaged", "block_size": 4096, "size": "4M"},
 "items": [{"type": "folder", "name": "docs", "children": [
             {"type": "file", "name": "hello.txt", "data": "hello from a disk image\n"}]},
           {"type": "file", "name": "big.bin", "data": {"pattern": "random", "size": 700000, "seed": 5}}]}
JSON
"$MKHFS" --quiet "$E2E_WORK/volume.json" "$E2E_WORK/volume.img" || { fail "mkhfs failed"; finish; }
python3 "$here/make_images.py" "$E2E_WORK/volume.img" "$E2E_WORK/images" || { fail "make_images failed"; finish; }
images="$E2E_WORK/images"
hello=$(printf 'hello from a disk image\n' | sha256sum)
mkdir -p "$E2E_WORK/raw"
mount_volume "$E2E_WORK/volume.img" "$E2E_WORK/raw" || finish
big=$(sha256sum <"$E2E_WORK/raw/big.bin")
unmount_volume "$E2E_WORK/raw"

for image in udif.dmg rsrc.dmg seg.dmg disk.sparseimage disk.sparsebundle; do
    path="$images/$image"
    cmp -s <("$IMAGE_DECODE" "$path") "$E2E_WORK/volume.img" || fail "$image: decodes to other bytes"
    # A cache smaller than one run still reads right.
    cmp -s <("$IMAGE_DECODE" --cache 0 "$path") "$E2E_WORK/volume.img" ||
        fail "$image: decodes to other bytes without a cache"
    mnt="$E2E_WORK/mnt"
    # A small decoded-run cache; the first image read without the block cache too.
    opts=image_cache=1
    [ "$image" = udif.dmg ] && opts+=,noublio
    if mount_volume "$path" "$mnt" -o "$opts"; then
        checked=$((${checked:-0} + 1))
        [ "$(sha256sum <"$mnt/docs/hello.txt")" = "$hello" ] || fail "$image: hello.txt"
        [ "$(sha256sum <"$mnt/big.bin")" = "$big" ] || fail "$image: big.bin"
        unmount_volume "$mnt"
    fi
    [ "$("$QUORVEL_EXTRACT" "$path" cat /big.bin | sha256sum)" = "$big" ] ||
        fail "$image: quorvel-extract cat /big.bin"
done

# verify: the image matches its checksums, and one with a stored byte
# changed does not (its run fails to decode or changes its table's CRC).
"$QUORVEL_EXTRACT" "$images/udif.dmg" verify >"$E2E_WORK/verify.txt" ||
    fail "udif.dmg does not verify: $(cat "$E2E_WORK/verify.txt")"
[ "$(grep -c '^ok ' "$E2E_WORK/verify.txt")" -eq 3 ] || fail "verify: $(cat "$E2E_WORK/verify.txt")"
python3 - "$images/udif.dmg" "$E2E_WORK/damaged.dmg" <<'PY'
import sys
data = bytearray(open(sys.argv[1], "rb").read())
data[37] ^= 0x01  # the first stored byte (after 37 bytes no run uses)
open(sys.argv[2], "wb").write(data)
PY
if "$QUORVEL_EXTRACT" "$E2E_WORK/damaged.dmg" verify >"$E2E_WORK/verify.txt" 2>&1; then
    fail "a damaged image verifies: $(cat "$E2E_WORK/verify.txt")"
fi

# The builder's own disk images (mkhfs --container), with and without a GPT.
for map in none gpt; do
    for variant in "udif raw" "udif zlib" "udif bzip2" "udif lzma" "sparseimage -" "sparsebundle -"; do
        read -r container encoding <<<"$variant"
        out="$E2E_WORK/built-$map-$container-$encoding"
        args=(--quiet --container "$container" --partition-map "$map")
        [ "$encoding" = - ] || args+=(--encoding "$encoding")
        "$MKHFS" "${args[@]}" "$E2E_WORK/volume.json" "$out" ||
            { fail "mkhfs $map $variant"; continue; }
        if mount_volume "$out" "$E2E_WORK/mnt"; then
            [ "$(sha256sum <"$E2E_WORK/mnt/big.bin")" = "$big" ] || fail "mkhfs $map $variant: big.bin"
            unmount_volume "$E2E_WORK/mnt"
            built=$((${built:-0} + 1))
        fi
    done
done
[ "${built:-0}" -eq 12 ] || fail "only ${built:-0} of 12 builder images mounted"

# refused IMAGE MESSAGE: the mount fails and says why.
refused() {
    local out
    out=$("$QUORVEL" "$1" "$E2E_WORK/mnt" 2>&1) && { fail "$1 mounted"; return; }
    grep -qF -- "$2" <<<"$out" || fail "$(basename "$1"): '$out', expected '$2'"
}
refused "$images/seg.002.dmgpart" "is segment 2 of 4 of an image; open the first (.dmg) one"
mv "$images/seg.004.dmgpart" "$E2E_WORK/"
refused "$images/seg.dmg" "segment 4 of 4 (seg.004.dmgpart) is missing"
cp "$images/seg.002.dmgpart" "$images/seg.004.dmgpart"
refused "$images/seg.dmg" "segment 4 of 4 (seg.004.dmgpart) does not belong to this image"
head -c 100000 "$images/disk.sparseimage" >"$E2E_WORK/cut.sparseimage"
refused "$E2E_WORK/cut.sparseimage" "is truncated: band"
size=$(stat -c %s "$images/udif.dmg")
head -c $((size - 100)) "$images/udif.dmg" >"$E2E_WORK/cut.dmg"
refused "$E2E_WORK/cut.dmg" "is a truncated Apple disk image (.dmg)"
# Bundles whose Info.plist is gone or garbled, or whose size is smaller than
# their bands or than the volume in them (only band 0 kept).
bundle() {
    rm -rf "$E2E_WORK/$1.sparsebundle"
    cp -r "$images/disk.sparsebundle" "$E2E_WORK/$1.sparsebundle"
    echo "$E2E_WORK/$1.sparsebundle"
}
b=$(bundle nolist) && rm "$b/Info.plist" "$b/Info.bckup"
refused "$b" "$b is a sparse bundle whose Info.plist is missing"
b=$(bundle garbled) && printf 'not a list' | tee "$b/Info.plist" >"$b/Info.bckup"
refused "$b" "$b is a sparse bundle whose Info.plist cannot be read as a property list"
b=$(bundle small) && sed -i 's|<integer>4194304<|<integer>8192<|' "$b/Info.plist" "$b/Info.bckup"
refused "$b" "$b is a sparse bundle whose size (8192 bytes in Info.plist) is too small for what it holds: band 3f"
b=$(bundle cut) && sed -i 's|<integer>4194304<|<integer>4096<|' "$b/Info.plist" "$b/Info.bckup"
find "$b/bands" -type f ! -name 0 -delete
refused "$b" "the volume reaches past the end of the disk image"
# Compressed .dmgs (mkhfs's) cut 100 bytes before the end of their data: no
# tables, no trailer, and a start like that of a compressed file, whose hint
# the whole .bz2 and .xz files of program_e2e still get.
for encoding in bzip2 lzma zlib; do
    built="$E2E_WORK/built-none-udif-$encoding"
    data=$(tail -c 512 "$built" | od -An -tu1 -j32 -N8 | awk '{n = 0; for (i = 1; i <= 8; i++) n = n * 256 + $i; print n}')
    head -c $((data - 100)) "$built" >"$E2E_WORK/cut-$encoding.dmg"
    refused "$E2E_WORK/cut-$encoding.dmg" "cut-$encoding.dmg looks like a truncated or damaged Apple disk image (.dmg) whose trailer is missing"
done
# Trailers with a segment number past their count.
for fields in "5 1" "1 0"; do
    python3 - "$images/udif.dmg" "$E2E_WORK/numbered.dmg" $fields <<'PY'
import struct, sys
data = bytearray(open(sys.argv[1], "rb").read())
struct.pack_into(">II", data, len(data) - 512 + 56, int(sys.argv[3]), int(sys.argv[4]))
open(sys.argv[2], "wb").write(data)
PY
    refused "$E2E_WORK/numbered.dmg" "numbered.dmg has a damaged trailer: it calls itself segment ${fields% *} of ${fields#* }"
done
mv "$images/disk.sparsebundle/bands" "$E2E_WORK/bands"
refused "$images/disk.sparsebundle" "is a sparse bundle without its bands folder"
[ "${checked:-0}" -eq 5 ] || fail "only ${checked:-0} of 5 images mounted"
finish "5 disk images of a builder volume decode, mount and read right"
