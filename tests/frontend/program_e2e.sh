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
[ "$out" = "$(printf 'could not open device\nCouldn'"'"'t open volume: No such file or directory')" ] ||
    fail "missing volume: $out"

head -c 8192 /dev/zero >"$work/zeros.img"
run 22 "$work/zeros.img" "$work"
contains "$out" "unrecognized volume format"
contains "$out" "Couldn't open volume: Invalid argument"
lacks "$out" "Success"

head -c 1000 /dev/zero >"$work/short.img"
run 22 "$work/short.img" "$work"
contains "$out" "read of 512 bytes at offset 1024 failed (block size 0): Invalid argument"
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
EOF
rows="21|$work is a folder, not a volume (the volume comes first on the command line)|$work $work/mnt
22|$work/short.img is too small to hold a volume (1000 bytes)|$work/short.img $work/mnt
22|$work/vol.img.xz is compressed with xz; decompress it first|$work/vol.img.xz $work/mnt
22|$work/vol.img.gz is compressed with gzip; decompress it first|$work/vol.img.gz $work/mnt
22|$work/vol.img.bz2 is compressed with bzip2; decompress it first|$work/vol.img.bz2 $work/mnt
22|$work/disk.dmg is an Apple disk image (.dmg); the lines above say why it cannot be mounted|$work/disk.dmg $work/mnt
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
    # The line saying why comes just before the reason for not opening.
    if [ "$status" -ne 1 ]; then
        grep -A1 -F -- "$message" <<<"$out" | tail -1 | grep -q "^Couldn't open volume: " ||
            fail "'$args': no 'Couldn't open volume' after the explanation: $out"
    fi
    fusermount -u "$work/mnt" 2>/dev/null
done <<<"$rows"

# cmake --install puts both programs in bin and their manual pages in
# share/man/man1, pages man renders without a warning (one line a
# paragraph, so that phrases are not broken).
if [ -n "${BUILD_DIR:-}" ]; then
    "${CMAKE:-cmake}" --install "$BUILD_DIR" --prefix "$work/prefix" >/dev/null || fail "install failed"
    while read -r file what; do
        [ -s "$work/prefix/$file" ] || { fail "not installed: $file"; continue; }
        case $file in
        bin/*)
            [ -x "$work/prefix/$file" ] || fail "$file is not executable"
            "$work/prefix/$file" --help 2>&1 | grep -qF -- "$what" || fail "$file does not run"
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
share/man/man1/quorvel.1 The mount is always nosuid and nodev, however quorvel is started
share/man/man1/quorvel-extract.1 quorvel-extract - list, show and copy out
EOF
fi

if [ "$failures" -ne 0 ]; then
    echo "$failures check(s) failed"
    exit 1
fi
echo "all command-line checks passed"
