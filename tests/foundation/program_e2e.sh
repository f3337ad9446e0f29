#!/usr/bin/env bash
# The program's command line: help, version, usage, refused options, volumes
# that cannot be opened, and the exit statuses of each.
set -u
: "${QUORVEL:?path of the quorvel binary}"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
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
contains "$out" "    -o ublio_grace=N       reclaim cache entries only after N requests (32)"
contains "$out" "    -d   -o debug          enable debug output (implies -f)"
lacks "$out" "allow access to other users"

run 0 -o cache_size=5 -h
contains "$out" "size of lookup cache (5)"
run 0 -h -o cache_size=5
contains "$out" "size of lookup cache (1024)"

run 0 -H
contains "$out" "    -o allow_other         allow access to other users"
contains "$out" "    -o kernel_cache        cache files in kernel"

run 0 -v
first=$(head -1 <<<"$out")
[ "$first" = "quorvel version 0.1.0" ] || fail "version line: $first"
contains "$out" "Built with:"
contains "$out" "    FUSE API v2.9"
contains "$out" "    libhfs RCSIDs "
contains "$out" "    ublio v1.0"
contains "$out" "    utf8proc v"
contains "$out" "    zlib v"
[ "$(tail -1 <<<"$out")" = "    lzfse" ] || fail "last version line: $out"

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

if [ "$failures" -ne 0 ]; then
    echo "$failures check(s) failed"
    exit 1
fi
echo "all command-line checks passed"
