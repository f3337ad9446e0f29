#!/usr/bin/env bash
# The program's command line: help, version, usage, refused options, volumes
# that cannot be opened, and the exit statuses of each.
set -u
: "${QUORVEL:?path of the quorvel binary}"
: "${MKHFS:?path of the mkhfs binary}"
work=$(mktemp -d)
cleanup() {
    fusermount -u "$work/mnt" 2>/dev/null
    fusermount -u "$work/busy" 2>/dev/null
    fusermount -u "$work/stale" 2>/dev/null
    fusermount -u "$work/fg" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT
failures=0

fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
# run EXPECTED_STATUS ARGS...: runs the program, keeps its output in $out.
run() {
    local expected=$1
    shift
    out=$("$QUORVEL" "$@" 2>&1)
    local status=$?
    [ "$status" -eq "$expected" ] || fail "'$*' exited $status, expected $expected: $out"
}
contains() { grep -qF -- "$2" <<<"$1" || fail "output lacks '$2': $1"; }
lacks() { ! grep -qF -- "$2" <<<"$1" || fail "output has '$2': $1"; }

run 1
[ "$out" = "usage: $QUORVEL [-hHv] [-o options] volume mountpoint" ] || fail "usage line: $out"

run 0 -h
contains "$out" "usage: $QUORVEL [-hHv] [-o options] volume mountpoint"
contains "$out" "    -o cache_size=N        size of lookup cache (1024)"
contains "$out" "    -o ublio_grace=N       a cached block is dropped only after N reads without use (32)"
contains "$out" "    -d   -o debug          enable debug output (implies -f)"
lacks "$out" "allow access to other users"
lacks "$out" "ublio read layer"

# Help and version go to standard output, whole (ours and FUSE's), with
# status 0; nothing on standard error. Both programs.
for args in "$QUORVEL --help|partition=N|-d   -o debug" "$QUORVEL -H|partition=N|allow_other" \
    "$QUORVEL -v|quorvel version 0.1.0|block cache v1.0" "$QUORVEL -V|quorvel version|FUSE library" \
    "$QUORVEL --version|quorvel version|pugixml" \
    "${EXTRACT:-} --help|image_cache=N|same-permissions" \
    "${EXTRACT:-} --version|quorvel-extract version 0.1.0|block cache v1.0" \
    "${EXTRACT:-} -V|quorvel-extract version|liblzma" "${EXTRACT:-} -v|quorvel-extract version|zlib"; do
    IFS='|' read -r command first second <<<"$args"
    [[ $command == " "* ]] && continue # no quorvel-extract given
    read -ra argv <<<"$command"
    stdout=$("${argv[@]}" 2>"$work/stderr")
    status=$?
    [ "$status" -eq 0 ] || fail "'$command' exited $status"
    [ -s "$work/stderr" ] && fail "'$command' wrote on standard error: $(cat "$work/stderr")"
    contains "$stdout" "$first"
    contains "$stdout" "$second"
done

run 0 -o cache_size=5 -h
contains "$out" "size of lookup cache (5)"
run 0 -h -o cache_size=5
contains "$out" "size of lookup cache (1024)"

run 0 -H
contains "$out" "    -o allow_other         allow access "
contains "$out" "    -o kernel_cache        cache files in kernel"

run 0 -v
first=$(head -1 <<<"$out")
[ "$first" = "quorvel version 0.1.0" ] || fail "version line: $first"
contains "$out" "Built with:"
contains "$out" "    FUSE API v"
contains "$out" "    FUSE library version "
contains "$out" "    libhfs RCSIDs "
contains "$out" "    block cache v1.0"
contains "$out" "    utf8proc v"
contains "$out" "    zlib v"
contains "$out" "    lzfse"
contains "$out" "    bzip2 v"
contains "$out" "    liblzma v"
[[ "$(tail -1 <<<"$out")" == "    pugixml v"* ]] || fail "last version line: $out"

# Each manual page lists the options its program's help lists, and no other.
if [ -n "${SOURCE_DIR:-}" ]; then
    for row in "quorvel|$QUORVEL|FUSE options:" "quorvel-extract|${EXTRACT:-}|"; do
        IFS='|' read -r page program own_end <<<"$row"
        [ -n "$program" ] || continue
        "$program" --help >"$work/help.txt" 2>&1
        python3 "$(dirname "$0")/help_matches_manual.py" "$SOURCE_DIR/man/$page.1" \
            "$work/help.txt" "$own_end" || fail "$page(1) and $page --help differ"
    done
fi

run 1 -o rsrc_ext=a/b volume mnt
[ "$out" = "Error: rsrc_ext option may not include path separator: a/b" ] || fail "rsrc_ext: $out"
# Without a volume the usage line comes first, whatever the suffix.
run 1 -o rsrc_ext=a/b
contains "$out" "usage: "

run 1 -o cache_size=lots volume mnt

run 2 "$work/missing.img" "$work"
[ "$out" = "$(printf 'quorvel: there is no file %s\nCouldn'"'"'t open volume: No such file or directory' "$work/missing.img")" ] ||
    fail "missing volume: $out"

head -c 8192 /dev/zero >"$work/zeros.img"
run 22 "$work/zeros.img" "$work"
contains "$out" "unrecognized volume format"
contains "$out" "Couldn't open volume: Invalid argument"
lacks "$out" "Success"

head -c 1000 /dev/zero >"$work/short.img"
# The reader's own steps only with --verbose (or -d), after the line that
# says what is wrong.
run 22 "$work/short.img" "$work"
lacks "$out" "could not read volume header"
run 22 --verbose "$work/short.img" "$work"
[ "$out" = "quorvel: $work/short.img is too small to hold a volume (1000 bytes)
read of 512 bytes at offset 1024 failed (block size 0): Invalid argument
could not read volume header
Couldn't open volume: Invalid argument" ] || fail "--verbose: $out"
run 22 -d "$work/short.img" "$work"
contains "$out" "could not read volume header"

# What the program refuses, with a line saying what is wrong: volumes it
# cannot open (that line comes before the reason the library gives), a
# damaged volume, values no volume can be read with, a busy mount point.
mkdir -p "$work/tree" "$work/mnt" "$work/busy"
echo hello >"$work/tree/hello.txt"
"$MKHFS" --quiet --from-dir "$work/tree" "$work/vol.img" || fail "mkhfs failed"
python3 - "$work" "$(dirname "$0")/../hostile" <<'EOF'
import bz2, gzip, lzma, struct, sys
work, hostile = sys.argv[1], sys.argv[2]
sys.path.insert(0, hostile)
import hfsimage
volume = open(f"{work}/vol.img", "rb").read()
open(f"{work}/vol.img.xz", "wb").write(lzma.compress(volume))
open(f"{work}/vol.img.gz", "wb").write(gzip.compress(volume))
open(f"{work}/vol.img.bz2", "wb").write(bz2.compress(volume))
# A disk image whose 512-byte trailer is damaged (its size field is 0).
open(f"{work}/disk.dmg", "wb").write(bytes(range(256)) * 32 + b"koly" + bytes(508))
open(f"{work}/sealed.dmg", "wb").write(b"encrcdsa" + bytes(8184))
open(f"{work}/sealed1.dmg", "wb").write(bytes(8184) + b"\0\0\0\1cdsaencr")
# The root folder's record turned into one of no known type.
damaged = bytearray(volume)
at = hfsimage.Volume(volume).folders[2]
damaged[at : at + 2] = struct.pack(">H", 7)
open(f"{work}/noroot.img", "wb").write(damaged)
# Other file systems, by their signatures.
def signed(name, at, magic, size=1 << 20):
    data = bytearray(size)
    data[at : at + len(magic)] = magic
    open(f"{work}/{name}", "wb").write(data)
signed("ntfs.img", 3, b"NTFS    ")
signed("fat.img", 54, b"FAT16   ")
signed("iso.img", 32769, b"CD001")
signed("ext4.img", 1080, b"\x53\xef")
signed("apfs.img", 32, b"NXSB")
# A file whose data lies past the end of the image (cut short): reading it
# fails after the mount.
cut = bytearray(volume)
v = hfsimage.Volume(volume)
at = next(iter(v.files.values()))
struct.pack_into(">I", cut, at + 104, v.total_blocks - 2)
open(f"{work}/cut.img", "wb").write(cut[: len(cut) - 2 * v.block_size])
EOF
# A disk whose partitions hold other file systems, one of them APFS.
if command -v sgdisk >/dev/null; then
    truncate -s 20M "$work/disk.img"
    sgdisk -n1:2048:+8M -t1:8300 -n2:20480:+4M -t2:7C3457EF-0000-11AA-AA11-00306543ECAC \
        "$work/disk.img" >/dev/null 2>&1
    dd if="$work/ext4.img" of="$work/disk.img" bs=512 seek=2048 count=8 conv=notrunc status=none
    dd if="$work/apfs.img" of="$work/disk.img" bs=512 seek=20480 count=1 conv=notrunc status=none
fi
rows="21|$work is a folder, not a volume (the volume comes first on the command line)|$work $work/mnt
22|$work/short.img is too small to hold a volume (1000 bytes)|$work/short.img $work/mnt
22|$work/vol.img.xz is compressed with xz; decompress it first|$work/vol.img.xz $work/mnt
22|$work/vol.img.gz is compressed with gzip; decompress it first|$work/vol.img.gz $work/mnt
22|$work/vol.img.bz2 is compressed with bzip2; decompress it first|$work/vol.img.bz2 $work/mnt
22|$work/disk.dmg is an Apple disk image (.dmg); the lines below say why it cannot be mounted|$work/disk.dmg $work/mnt
22|$work/ntfs.img holds an NTFS file system, not HFS+ or HFSX|$work/ntfs.img $work/mnt
22|$work/fat.img holds a FAT16 file system, not HFS+ or HFSX|$work/fat.img $work/mnt
22|$work/iso.img holds an ISO 9660 file system, not HFS+ or HFSX|$work/iso.img $work/mnt
22|$work/ext4.img holds an ext2/ext3/ext4 file system, not HFS+ or HFSX|$work/ext4.img $work/mnt
22|$work/apfs.img holds an APFS volume; quorvel reads HFS+ and HFSX only, not APFS (the file system of macOS 10.13 and later, and of most .dmg files made by recent macOS)|$work/apfs.img $work/mnt
22|$work/sealed.dmg is an encrypted Apple disk image (encrcdsa, version 0), which is not supported|$work/sealed.dmg $work/mnt
22|$work/sealed1.dmg is an encrypted Apple disk image (cdsaencr, version 1), which is not supported|$work/sealed1.dmg $work/mnt
5|the root folder of $work/noroot.img cannot be read; the volume is damaged|$work/noroot.img $work/mnt
1|Error: bad value for cache_size: -1 (from 0 to 1048576)|-o cache_size=-1 $work/vol.img $work/mnt
1|Error: bad value for cache_size: 4000000 (from 0 to 1048576)|-o cache_size=4000000 $work/vol.img $work/mnt
1|Error: bad value for ublio_items: -5 (from 0 to 65536)|-o ublio_items=-5 $work/vol.img $work/mnt
1|Error: bad value for ublio_grace: -1 (from 0 to 4294967295)|-o ublio_grace=-1 $work/vol.img $work/mnt
1|Error: bad value for blksize: 3 (a power of two from 512 to 1048576)|-o blksize=3 $work/vol.img $work/mnt
1|Error: bad value for default_uid: -1 (from 0 to 4294967294)|-o default_uid=-1 $work/vol.img $work/mnt
1|Error: bad value for default_dir_mode: 10000 (an octal mode, at most 7777)|-o default_dir_mode=10000 $work/vol.img $work/mnt
1|Error: bad value for partition: 0 (partitions are numbered from 1; without the option the first HFS+ one is used)|-o partition=0 $work/vol.img $work/mnt
1|quorvel: quorvel mounts read-only; rw is not supported|-o ro,rw $work/vol.img $work/mnt
1|quorvel: the mount point $work/zeros.img is not a folder; mount on a folder|$work/vol.img $work/zeros.img
1|quorvel: the mount point $work/nothere does not exist; make the folder first|$work/vol.img $work/nothere"
[ -s "$work/disk.img" ] && rows+="
22|$work/disk.img holds no HFS+ or HFSX volume; its GUID partition table holds:|$work/disk.img $work/mnt"
if [ -e /dev/fuse ] && "$QUORVEL" "$work/vol.img" "$work/busy"; then
    rows+="
1|quorvel: $work/busy is already a mount point (fuse.quorvel $work/vol.img); unmount it first|$work/vol.img $work/busy
1|fuse: unknown option|-o no_such_option $work/vol.img $work/mnt"
    # A folder left by a mount whose program was killed.
    mkdir "$work/stale"
    "$QUORVEL" -f "$work/vol.img" "$work/stale" &
    for _ in $(seq 50); do mountpoint -q "$work/stale" && break; sleep 0.1; done
    kill -9 $! && wait $! 2>/dev/null
    unmount=fusermount
    "$QUORVEL" -V | grep -q 'FUSE API v3' && unmount=fusermount3
    rows+="
1|quorvel: $work/stale is still mounted, but the program serving it has ended (Transport endpoint is not connected); unmount it with: $unmount -u $work/stale|$work/vol.img $work/stale"
    # In the foreground, what goes wrong after the mount is on standard
    # error too, not only in the system log.
    mkdir "$work/fg"
    "$QUORVEL" -f "$work/cut.img" "$work/fg" 2>"$work/fg.err" &
    for _ in $(seq 50); do mountpoint -q "$work/fg" && break; sleep 0.1; done
    cat "$work/fg/hello.txt" >/dev/null 2>&1 && fail "a file past the end of its image was read"
    fusermount -u "$work/fg"
    wait $!
    grep -q "^quorvel: read of 6 bytes at offset [0-9]* failed" "$work/fg.err" ||
        fail "no message on standard error in the foreground: $(cat "$work/fg.err")"
    # Options libfuse 3 dropped are still taken, as libfuse 2 takes them.
    run 0 -o use_ino,readdir_ino,nonempty,big_writes,hard_remove,intr,direct_io "$work/vol.img" "$work/mnt"
    fusermount -u "$work/mnt" || fail "no mount with the libfuse 2 options"
else
    echo "note: no FUSE mount, the busy mount point is not checked"
fi
while IFS='|' read -r status message args; do
    read -ra argv <<<"$args"
    run "$status" "${argv[@]}"
    contains "$out" "$message"
    # The line saying why comes first, the reason for not opening last.
    if [ "$status" -ne 1 ]; then
        head -1 <<<"$out" | grep -qF -- "$message" || fail "'$args': the explanation is not first: $out"
        tail -1 <<<"$out" | grep -q "^Couldn't open volume: " ||
            fail "'$args': 'Couldn't open volume' does not come last: $out"
    fi
    fusermount -u "$work/mnt" 2>/dev/null
done <<<"$rows"

if [ -s "$work/disk.img" ]; then
    run 22 "$work/disk.img" "$work/mnt"
    contains "$out" "  partition 1: type 0FC63DAF-8483-4772-8E79-3D69D8477DE4, offset 1048576, 8388608 bytes, ext2/ext3/ext4"
    contains "$out" "  partition 2: type 7C3457EF-0000-11AA-AA11-00306543ECAC, offset 10485760, 4194304 bytes, APFS
quorvel reads HFS+ and HFSX only, not APFS"
    lacks "$out" "unrecognized volume format"
fi

# cmake --install puts both programs in bin, their manual pages in
# share/man/man1 (compressed), pages man renders without a warning (one line
# a paragraph, so that phrases are not broken), and their bash completions.
if [ -n "${BUILD_DIR:-}" ]; then
    "${CMAKE:-cmake}" --install "$BUILD_DIR" --prefix "$work/prefix" >/dev/null || fail "install failed"
    while read -r file what; do
        [ -s "$work/prefix/$file" ] || { fail "not installed: $file"; continue; }
        case $file in
        bin/*)
            [ -x "$work/prefix/$file" ] || fail "$file is not executable"
            "$work/prefix/$file" --help 2>&1 | grep -qF -- "$what" || fail "$file does not run"
            ;;
        share/bash-completion/*)
            grep -qxF -- "$what" "$work/prefix/$file" || fail "$file lacks '$what'"
            ;;
        *)
            command -v man >/dev/null || continue
            page=$(MANWIDTH=1000 man --warnings -E UTF-8 -l "$work/prefix/$file" 2>"$work/man.err")
            [ -s "$work/man.err" ] && fail "$file: $(cat "$work/man.err")"
            grep -qF -- "$what" <<<"$page" || fail "$file lacks '$what'"
            ;;
        esac
    done <<'EOF'
bin/quorvel [-hHv] [-o options] volume mountpoint
bin/quorvel-extract usage: quorvel-extract [-o options]
share/man/man1/quorvel.1.gz The mount is always nosuid and nodev, however quorvel is started
share/man/man1/quorvel-extract.1.gz quorvel-extract - list, show and copy out
share/bash-completion/completions/quorvel complete -F _quorvel quorvel
share/bash-completion/completions/quorvel-extract complete -F _quorvel_extract quorvel-extract
EOF
fi

if [ "$failures" -ne 0 ]; then
    echo "$failures check(s) failed"
    exit 1
fi
echo "all command-line checks passed"
