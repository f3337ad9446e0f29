#!/usr/bin/env bash
# ./run.sh                          build, make the sample volume, mount it under ./mnt and show it
# ./run.sh VOLUME MOUNTPOINT [opts] mount VOLUME at MOUNTPOINT with the given options
#                                   (paths relative to the folder run.sh is started from)
# Installs only what building and running need (scripts/install-deps --build);
# ./test.sh installs the test tools.
set -euo pipefail
caller=$(pwd)
cd "$(dirname "$0")"
root=$(pwd)

build() {
    scripts/install-deps --build
    if [ ! -f build/build.ninja ]; then
        echo "== configuring the build in $root/build"
        cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
    fi
    echo "== building quorvel, quorvel-extract and mkhfs (the first build takes a few minutes)"
    ninja -C build quorvel quorvel-extract mkhfs manual_pages
}

if [ $# -gt 0 ]; then
    if [ $# -lt 2 ]; then
        echo "usage: ./run.sh [VOLUME MOUNTPOINT [options]]" >&2
        exit 1
    fi
    build
    cd "$caller"
    exec "$root/build/quorvel" "$@"
fi

build
mkdir -p sample mnt
if mountpoint -q mnt; then fusermount -u mnt; fi
echo "== making the sample volume sample/showcase.img"
build/mkhfs tools/mkhfs/examples/showcase.json sample/showcase.img
echo "== mounting it read-only under ./mnt"
build/quorvel sample/showcase.img mnt
echo
stat -f mnt
echo
if ls mnt >/dev/null 2>&1; then
    echo "== ls -la mnt"
    ls -la mnt || true
    if command -v getfattr >/dev/null; then
        echo
        echo "== getfattr -d -m - mnt/Documents/readme.txt"
        getfattr -d -m - mnt/Documents/readme.txt 2>/dev/null || true
        echo "== getfattr -m - mnt/xattrs.txt (names only)"
        getfattr -m - mnt/xattrs.txt 2>/dev/null || true
    fi
fi
echo
echo "The volume stays mounted at $root/mnt. Unmount it with:"
echo "    fusermount -u $root/mnt"
