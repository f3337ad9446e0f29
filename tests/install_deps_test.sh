#!/usr/bin/env bash
# scripts/install-deps against a stand-in dpkg and apt-get: it installs only
# what is missing, takes the FUSE tools from whichever FUSE package the
# system has (fuse3 where it has neither), and never asks apt-get for `fuse`,
# which would remove fuse3 and every package that needs it.
set -u
script=$(cd "$(dirname "$0")/.." && pwd)/scripts/install-deps
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
mkdir -p "$work/bin"
# dpkg-query -W -f=... PACKAGE: installed unless listed in $work/absent.
cat >"$work/bin/dpkg-query" <<'STUB'
#!/bin/sh
for p; do :; done
grep -qx -- "$p" "$WORK/absent" || printf 'install ok installed'
STUB
cat >"$work/bin/apt-get" <<'STUB'
#!/bin/sh
echo "$*" >>"$WORK/apt-get"
STUB
chmod +x "$work/bin/"*

# case ABSENT_PACKAGES EXPECTED_INSTALL [ARGUMENT] (empty: apt-get not run)
case_() {
    printf '%s\n' $1 >"$work/absent"
    rm -f "$work/apt-get"
    WORK=$work PATH="$work/bin:$PATH" bash "$script" ${3:-} >/dev/null 2>&1 ||
        { echo "FAIL: install-deps failed with [$1] absent"; failures=$((failures + 1)); return; }
    local asked
    asked=$(grep '^install ' "$work/apt-get" 2>/dev/null | sed 's/.* --no-remove //')
    if [ "$asked" != "$2" ]; then
        echo "FAIL: with [$1] absent, apt-get install [$asked], expected [$2]"
        failures=$((failures + 1))
    fi
    if [ -n "$2" ] && ! grep -q -- '--no-remove' "$work/apt-get"; then
        echo "FAIL: apt-get may remove packages: $(cat "$work/apt-get")"
        failures=$((failures + 1))
    fi
}
case_ "fuse" ""                                    # fuse3 present, as on a desktop
case_ "fuse libfuse-dev" "libfuse-dev"             # only the library to add
case_ "fuse3" ""                                   # FUSE 2 tools present
case_ "fuse3 libfuse3-dev" "libfuse3-dev"          # the libfuse 3 library beside them
case_ "fuse fuse3" "fuse3"                         # neither: Debian's own FUSE
case_ "fuse fuse3 7zip" "7zip fuse3"
# --build: what building and running need, not the test tools.
case_ "7zip clang libgtest-dev lintian" "" --build
case_ "7zip libfuse3-dev fuse fuse3" "libfuse3-dev fuse3" --build
case_ "libpugixml-dev 7zip" "libpugixml-dev" --build
case_ "lintian dpkg-dev" "dpkg-dev lintian"
# A mistyped mode installs nothing.
printf 'g++\n' >"$work/absent"
rm -f "$work/apt-get"
WORK=$work PATH="$work/bin:$PATH" bash "$script" --buld >/dev/null 2>&1 &&
    { echo "FAIL: install-deps took --buld"; failures=$((failures + 1)); }
[ -e "$work/apt-get" ] && { echo "FAIL: install-deps --buld ran apt-get"; failures=$((failures + 1)); }
[ "$failures" -eq 0 ] && echo "install-deps: all cases passed"
exit $((failures != 0))
