#!/usr/bin/env bash
# Real mounts: the mount options however the program is started (by hand or
# by mount(8) and fstab), file-system statistics from a header whose counts
# do not fit, then, with volumes made by other systems, the statistics from
# the volume header, a volume path with a comma, plain HFS refused, and the
# daemon ending (and its device closed) after unmounting.
set -u
: "${QUORVEL:?path of the quorvel binary}"
: "${MKHFS:?path of the mkhfs binary}"
images=${SHARED_IMAGES:-}
if [ ! -e /dev/fuse ]; then echo "SKIP: /dev/fuse is missing"; exit 77; fi

work=$(mktemp -d)
mnt="$work/mnt"
mkdir -p "$mnt"
cleanup() {
    fusermount -u "$mnt" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

# be32 FILE OFFSET: a big-endian 32-bit value read straight from the image.
be32() { od -An -tu1 -j "$2" -N4 "$1" | awk '{print ($1*16777216)+($2*65536)+($3*256)+$4}'; }

mkdir "$work/tree" "$work/bin"
echo hello >"$work/tree/hello.txt"
"$MKHFS" --quiet --from-dir "$work/tree" "$work/plain.img" || fail "mkhfs failed"

# mounted_by HOW [OPTIONS...]: mounts plain.img on $mnt as HOW says and
# prints its /proc/mounts line, then unmounts. mount(8) runs helpers with a
# PATH of its own, so for "mount" /usr/local/bin holds only this quorvel, in
# a mount namespace of its own (or, where there is none to be had, FUSE's
# helper is run as mount(8) would run it).
ln -s "$(realpath "$QUORVEL")" "$work/bin/quorvel"
export mnt
mounted_by() {
    local how=$1
    shift
    if [ "$how" = program ]; then
        "$QUORVEL" "$@" "$work/plain.img" "$mnt" && grep " $mnt " /proc/mounts
        fusermount -u "$mnt" 2>/dev/null
    elif unshare --mount --propagation private true 2>/dev/null; then
        unshare --mount --propagation private sh -c \
            'mount --bind "$1" /usr/local/bin && shift && mount -t fuse.quorvel "$@" &&
             grep " $mnt " /proc/mounts; umount "$mnt"' sh "$work/bin" "$@" "$work/plain.img" "$mnt"
    else
        PATH="$work/bin:$PATH" /sbin/mount.fuse "$work/plain.img" "$mnt" -t quorvel "$@" &&
            grep " $mnt " /proc/mounts
        fusermount -u "$mnt" 2>/dev/null
    fi
}
# Whoever starts it, and whatever it is given (mount.fuse adds "suid,dev"
# for root), the volume mounts read-only with set-id bits and device nodes
# ignored, as file-system type fuse.quorvel.
while read -r how options; do
    # shellcheck disable=SC2086
    line=$(mounted_by "$how" $options 2>&1)
    read -r _ _ type mount_options _ <<<"$line"
    [ "$type" = fuse.quorvel ] || fail "$how $options: type '$type': $line"
    for want in ro nosuid nodev; do
        [[ ",$mount_options," == *",$want,"* ]] || fail "$how $options: $want missing: $line"
    done
done <<'EOF'
program
program -o suid,dev
program -o dev,suid,noallow_other
mount
mount -o suid,dev
EOF

# An ordinary user: without user_allow_other in /etc/fuse.conf the mount is
# made without allow_other, with a line saying so; with it, with
# allow_other. Where the machine lets ordinary users mount at all.
user=nobody
fusermount_program=$(command -v fusermount3 || command -v fusermount)
if [ "$(id -u)" -ne 0 ] || ! command -v runuser >/dev/null; then
    echo "note: not root (or no runuser): the ordinary user's mount is not checked"
elif [ ! -u "$fusermount_program" ] || ! runuser -u "$user" -- test -r /dev/fuse -a -w /dev/fuse; then
    echo "note: /dev/fuse is closed to ordinary users (or $fusermount_program is not set-user-ID): the ordinary user's mount is not checked"
else
    shared=$(mktemp -d)
    chmod 755 "$shared"
    cp "$work/plain.img" "$shared/plain.img"
    mkdir "$shared/mnt"
    chmod 644 "$shared/plain.img"
    chown "$user" "$shared/mnt"
    out=$(runuser -u "$user" -- "$QUORVEL" "$shared/plain.img" "$shared/mnt" 2>&1) ||
        fail "an ordinary user's mount failed: $out"
    if grep -qx '[[:space:]]*user_allow_other[[:space:]]*' /etc/fuse.conf 2>/dev/null; then
        findmnt -n -o OPTIONS "$shared/mnt" | grep -q allow_other || fail "allow_other missing"
    else
        [ "$out" = "quorvel: only you can open $shared/mnt, not other users nor root; to share it, add the line user_allow_other to /etc/fuse.conf and mount again" ] ||
            fail "the ordinary user's note: $out"
        findmnt -n -o OPTIONS "$shared/mnt" | grep -q allow_other && fail "allow_other given"
        [ "$(runuser -u "$user" -- cat "$shared/mnt/hello.txt")" = hello ] || fail "the user cannot read"
        ls "$shared/mnt" >/dev/null 2>&1 && fail "root can read an ordinary user's mount"
    fi
    runuser -u "$user" -- "$fusermount_program" -u "$shared/mnt" || fail "the user cannot unmount"
    rm -rf "$shared"
fi

# A header claiming more files and folders, and more free blocks, than the
# volume can have: no count shows negative use.
cp "$work/plain.img" "$work/counts.img"
for field in 32 36 48; do
    printf '\xff\xff\xff\xff' | dd of="$work/counts.img" bs=1 seek=$((1024 + field)) conv=notrunc status=none
done
if "$QUORVEL" "$work/counts.img" "$mnt"; then
    read -r s_blocks s_bfree s_bavail s_files s_ffree < <(stat -f -c '%b %f %a %c %d' "$mnt")
    total=$(be32 "$work/counts.img" $((1024 + 44)))
    [ "$s_blocks" = "$total" ] && [ "$s_bfree" = "$total" ] && [ "$s_bavail" = "$total" ] ||
        fail "blocks $s_blocks, free $s_bfree/$s_bavail with $total in the header"
    [ "$s_files" = 4294967279 ] && [ "$s_ffree" = 0 ] || fail "files $s_files, free $s_ffree"
    fusermount -u "$mnt"
else
    fail "the volume with overlarge counts did not mount"
fi

if [ -z "$images" ] || [ ! -d "$images" ]; then
    [ "$failures" -eq 0 ] || { echo "$failures check(s) failed"; exit 1; }
    echo "SKIP: no reference images"
    exit 77
fi

image="$work/vol,with comma.img"
xz -dc "$images/dfvfs-hfsplus.img.xz" >"$image"
sum_before=$(sha256sum <"$image")

"$QUORVEL" "$image" "$mnt" || fail "mount failed"
findmnt -n -o SOURCE,FSTYPE,OPTIONS "$mnt" >"$work/findmnt" || fail "not mounted"
grep -qF "$image" "$work/findmnt" || fail "fsname lost the comma: $(cat "$work/findmnt")"
grep -q "fuse.quorvel" "$work/findmnt" || fail "subtype: $(cat "$work/findmnt")"
grep -qw "ro" "$work/findmnt" || fail "not read-only: $(cat "$work/findmnt")"
grep -q "allow_other" "$work/findmnt" || fail "allow_other missing: $(cat "$work/findmnt")"

block_size=$(be32 "$image" $((1024 + 40)))
total=$(be32 "$image" $((1024 + 44)))
free=$(be32 "$image" $((1024 + 48)))
files=$(be32 "$image" $((1024 + 32)))
folders=$(be32 "$image" $((1024 + 36)))
read -r s_bsize s_blocks s_bfree s_bavail s_files s_ffree s_namemax < <(stat -f -c '%S %b %f %a %c %d %l' "$mnt")
[ "$s_bsize" = "$block_size" ] || fail "block size $s_bsize, header says $block_size"
[ "$s_blocks" = "$total" ] || fail "total blocks $s_blocks, header says $total"
[ "$s_bfree" = "$free" ] && [ "$s_bavail" = "$free" ] || fail "free blocks $s_bfree/$s_bavail vs $free"
[ "$s_files" = 4294967279 ] || fail "f_files $s_files"
[ "$s_ffree" = $((4294967279 - files - folders)) ] || fail "f_ffree $s_ffree with $files files, $folders folders"
[ "$s_namemax" = 765 ] || fail "namemax $s_namemax"

pid=$(pgrep -f -n "quorvel .*$mnt")
[ -n "$pid" ] && ls -l "/proc/$pid/fd" 2>/dev/null | grep -qF "vol,with comma.img" || fail "daemon does not hold the image open"
fusermount -u "$mnt" || fail "unmount failed"
for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
kill -0 "$pid" 2>/dev/null && fail "daemon still running after unmount"
[ "$(sha256sum <"$image")" = "$sum_before" ] || fail "the image changed"

# noallow_other leaves the option out.
"$QUORVEL" -o noallow_other,noublio "$image" "$mnt" || fail "mount with noallow_other failed"
findmnt -n -o OPTIONS "$mnt" | grep -q allow_other && fail "allow_other present with noallow_other"
fusermount -u "$mnt"

xz -dc "$images/classic-hfs.img.xz" >"$work/classic.img"
out=$("$QUORVEL" "$work/classic.img" "$mnt" 2>&1)
status=$?
[ "$status" -ne 0 ] || fail "plain HFS mounted"
grep -qF "classic.img holds a plain HFS volume (Mac OS Standard); quorvel reads HFS+ and HFSX only" <<<"$out" ||
    fail "plain HFS message: $out"

if [ "$failures" -ne 0 ]; then
    echo "$failures check(s) failed"
    exit 1
fi
echo "all mount checks passed"
