#!/usr/bin/env bash
# Mounts volumes built by mkhfs from the manifests beside this script and
# compares what the mount shows with the manifest, with 7-Zip's extraction
# and with The Sleuth Kit (mount_vs_manifest.py), under every mount option
# that changes or must not change what is shown; then the names Linux may not
# take and a large folder read in small pieces (names_e2e.py), and what the
# kernel is told of hard links and may keep (node_identity_e2e.py). Every
# image is checked unchanged after each mount.
set -u
here=$(cd "$(dirname "$0")" && pwd)
source "$here/lib.sh"
source "$here/../manifest_data.sh"
require_fuse
: "${MKHFS:?path of mkhfs}"
for tool in 7zz fls icat istat setpriv; do
    command -v "$tool" >/dev/null || { echo "SKIP: $tool is not installed"; exit 77; }
done

images=${E2E_IMAGES:-$PWD/images}
mkdir -p "$images"
declare -A manifest
build() { # build NAME [MANIFEST]: manifests/NAME.json -> images/NAME.img
    manifest[$1]=${2:-$here/manifests/$1.json}
    "$MKHFS" --quiet "${manifest[$1]}" "$images/$1.img" || fail "mkhfs $1"
}
build everything
build names

# check NAME MODE [ARGS --] [quorvel options]: mount, compare, unmount, image unchanged.
check() {
    local name=$1 mode=$2 args=()
    shift 2
    if [ "${1:-}" = "(" ]; then
        shift
        while [ "$1" != ")" ]; do args+=("$1"); shift; done
        shift
    fi
    local image="$images/$name.img" mnt="$E2E_WORK/mnt-$name"
    local before
    before=$(sha256sum <"$image")
    mount_volume "$image" "$mnt" "$@" || return
    python3 "$here/mount_vs_manifest.py" "$mode" "$mnt" "${manifest[$name]}" "$image" \
        "${args[@]}" || fail "$name: $mode [$*]"
    unmount_volume "$mnt"
    [ "$(sha256sum <"$image")" = "$before" ] || fail "$name: the image changed ($mode [$*])"
}

check everything full -o rsrc_ext=.rsrc
check everything plain
check everything same -o rsrc_ext=.rsrc,noublio
check everything same -o rsrc_ext=.rsrc,noublio,blksize=4096
check everything same -o rsrc_ext=.rsrc,blksize=512
check everything same -o rsrc_ext=.rsrc,cache_size=0
check everything same -o rsrc_ext=.rsrc,cache_size=1
check everything rsrc_only -o rsrc_only,rsrc_ext=.rsrc
check everything nosymlinks -o disable_symlinks,rsrc_ext=.rsrc
check everything defaults "(" 640 750 42 43 ")" \
    -o rsrc_ext=.rsrc,default_file_mode=640,default_dir_mode=750,default_uid=42,default_gid=43
# The date attributes follow the daemon's time zone when it was started.
TZ=UTC check everything dates "(" UTC ")" -o rsrc_ext=.rsrc
TZ=Asia/Kolkata check everything dates "(" Asia/Kolkata ")" -o rsrc_ext=.rsrc
TZ=America/St_Johns check everything dates "(" America/St_Johns ")" -o rsrc_ext=.rsrc

# Beyond 4 GiB: a file stored after a 4.5 GiB sparse one (64-bit device
# offsets), reads past 4 GiB in a file, and link targets at the length Linux
# takes (4095 bytes; one of 4096 cannot be shown and fails, never cut).
build beyond4g
image="$images/beyond4g.img"
# sha256 of the data regions and where they lie (the holes read as zeros):
# the same guarantee as sha256sum without reading 5 GB of zeros.
sparse_sha256() {
    python3 - "$1" <<'EOF'
import hashlib, os, sys
fd = os.open(sys.argv[1], os.O_RDONLY)
end, h, at = os.fstat(fd).st_size, hashlib.sha256(), 0
while at < end:
    try:
        start = os.lseek(fd, at, os.SEEK_DATA)
    except OSError:
        break
    stop = os.lseek(fd, start, os.SEEK_HOLE)
    h.update(b"%d:%d;" % (start, stop))
    while start < stop:
        chunk = os.pread(fd, min(1 << 20, stop - start), start)
        h.update(chunk)
        start += len(chunk)
    at = stop
print(end, h.hexdigest())
EOF
}
before=$(sparse_sha256 "$image")
if mount_volume "$image" "$E2E_WORK/mnt-big" -o rsrc_ext=.rsrc; then
    python3 - "$E2E_WORK/mnt-big" "$here/manifests/beyond4g.json" <<'EOF' || fail "beyond4g"
import errno, json, os, sys
sys.path.insert(0, os.path.join(os.environ["SOURCE_DIR"], "tests", "mkhfs"))
import check_volume as cv
mnt, manifest = sys.argv[1], json.load(open(sys.argv[2]))
items = {i["name"]: i for i in manifest["items"]}
bad = []
after = items["after"]
with open(os.path.join(mnt, "after"), "rb") as f:
    if f.read() != cv.content(after["data"], "."):
        bad.append("after: contents")
with open(os.path.join(mnt, "after.rsrc"), "rb") as f:
    if f.read() != cv.content(after["rsrc"], "."):
        bad.append("after: resource fork")
huge = os.path.join(mnt, "huge-zeros")
if os.stat(huge).st_size != 4608 << 20:
    bad.append("huge-zeros: size")
fd = os.open(huge, os.O_RDONLY)
for off, n, want in ((2**32 - 3, 6, 6), ((4608 << 20) - 10, 100, 10), (4608 << 20, 10, 0), (2**33, 10, 0)):
    got = os.pread(fd, n, off)
    if len(got) != want or any(got):
        bad.append("huge-zeros: %d bytes at %d" % (len(got), off))
os.close(fd)
if os.readlink(os.path.join(mnt, "link-4095")) != items["link-4095"]["target"]:
    bad.append("link-4095: target")
try:
    os.readlink(os.path.join(mnt, "link-4096"))
    bad.append("link-4096: a target Linux cannot take was shown")
except OSError as e:
    if e.errno not in (errno.EIO, errno.ENAMETOOLONG):
        bad.append("link-4096: %s" % e)
if os.lstat(os.path.join(mnt, "link-4096")).st_size != 4096:
    bad.append("link-4096: size")
for b in bad:
    print("FAIL", b)
sys.exit(1 if bad else 0)
EOF
    unmount_volume "$E2E_WORK/mnt-big"
fi
[ "$(sparse_sha256 "$image")" = "$before" ] || fail "beyond4g: the image changed"
rm -f "$image" "$image.tsk.pickle" # 5 GB apparent size, though sparse

# The feature manifests of mkhfs's own tests (the deep catalog aside: the
# large folders are read below and in the resolve tests).
for m in "$SOURCE_DIR"/tests/mkhfs/manifests/*.json "$SOURCE_DIR"/tools/mkhfs/examples/showcase.json; do
    name=mkhfs-$(basename "$m" .json)
    case $name in *journal-dirty* | *deep-catalog) continue ;; esac
    manifest_data_present "$m" || { echo "SKIP: $name needs the shared reference data"; continue; }
    build "$name" "$m"
    check "$name" same -o rsrc_ext=.rsrc
done

# Without allow_other only the user who mounted reaches the files.
chmod 755 "$E2E_WORK"
image="$images/everything.img"
before=$(sha256sum <"$image")
for variant in allow noallow; do
    mnt="$E2E_WORK/mnt-$variant"
    if [ "$variant" = noallow ]; then mount_volume "$image" "$mnt" -o noallow_other || continue
    else mount_volume "$image" "$mnt" || continue; fi
    opts=$(awk -v m="$mnt" '$2 == m {print $4}' /proc/mounts)
    case "$variant,$opts" in
    allow,*allow_other*) ;;
    noallow,*allow_other*) fail "noallow_other still mounted with allow_other: $opts" ;;
    allow,*) fail "allow_other missing from $opts" ;;
    esac
    case "$opts" in ro,* | *,ro,* | *,ro) ;; *) fail "$variant: not mounted read-only: $opts" ;; esac
    out=$(setpriv --reuid=65534 --regid=65534 --clear-groups cat "$mnt/plain.txt" 2>&1)
    if [ "$variant" = allow ]; then
        [ "$out" = "plain contents" ] || fail "another user cannot read with allow_other: $out"
    else
        case "$out" in *"Permission denied"*) ;; *) fail "another user reads without allow_other: $out" ;; esac
        [ "$(cat "$mnt/plain.txt")" = "plain contents" ] || fail "the mounting user cannot read"
    fi
    unmount_volume "$mnt"
done
[ "$(sha256sum <"$image")" = "$before" ] || fail "everything: the image changed (allow_other)"

# Names: unpaired surrogates, names beyond 255 UTF-8 bytes, 5,000 entries.
for opts in "" "-o cache_size=0"; do
    image="$images/names.img"
    before=$(sha256sum <"$image")
    mnt="$E2E_WORK/mnt-names"
    # shellcheck disable=SC2086
    mount_volume "$image" "$mnt" $opts || continue
    python3 "$here/names_e2e.py" "$mnt" || fail "names [$opts]"
    unmount_volume "$mnt"
    [ "$(sha256sum <"$image")" = "$before" ] || fail "names: the image changed"
done
# The raw names are on disk as given: the UTF-16BE units of the surrogate names.
python3 - "$images/names.img" <<'EOF' || fail "mkhfs name_utf16: raw units not in the catalog"
import sys
data = open(sys.argv[1], "rb").read()
for units in ((0x6D, 0xD800, 0x6E), (0xDC00,), (0x63, 0x61, 0x66, 0xE9)):
    raw = len(units).to_bytes(2, "big") + b"".join(u.to_bytes(2, "big") for u in units)
    if raw not in data:
        sys.exit("missing %r" % (units,))
EOF

# Hard-link identity and loops, namespaces, kept listings, one answer for a
# name ending with the resource-fork suffix.
build links
python3 "$here/node_identity_e2e.py" "$images/links.img" "$images/everything.img" "$E2E_WORK" ||
    fail "node identity"

finish "builder volumes match their manifests, 7-Zip and TSK through the mount"
