#!/usr/bin/env bash
# quorvel-extract against a hostile destination and hostile volumes (made by
# mkhfs; no FUSE and no reference images needed). Each case: a volume, what
# is done with it, and what must (not) happen.
set -u
here=$(dirname "$0")
source "$here/../e2e/lib.sh"
: "${EXTRACT:?path of quorvel-extract}" "${MKHFS:?path of mkhfs}"
w=$E2E_WORK

# volume NAME JSON: builds $w/NAME.img from the manifest text.
volume() {
    printf '%s\n' "$2" >"$w/$1.json"
    "$MKHFS" --quiet "$w/$1.json" "$w/$1.img" || fail "mkhfs $1"
}
# run NAME ARGS...: runs the extractor; status in $rc, stderr in $err, stdout in $out.
run() {
    local name=$1
    shift
    out=$(timeout 500 "$EXTRACT" --quiet "$@" 2>"$w/$name.err")
    rc=$?
    err=$(cat "$w/$name.err")
}

# --- hostile destination: links planted by someone else, an existing DEST ---
volume plain '{"volume": {"name": "Plain"},
  "root": {"perms": {"owner": 501, "group": 20, "mode": "0777"}, "dates": {"all": "2001-02-03T04:05:06Z"}},
  "items": [
    {"type": "file", "name": "readme.txt", "data": "from the volume\n", "perms": {"mode": "0666"}},
    {"type": "folder", "name": "Documents", "children": [{"type": "file", "name": "a.txt", "data": "a\n"}]},
    {"type": "folder", "name": "cat me"}]}'
mkdir -p "$w/elsewhere/dir" "$w/dest"
printf 'victim\n' >"$w/elsewhere/victim"
chmod 0600 "$w/elsewhere/victim"
ln -s "$w/elsewhere/victim" "$w/dest/readme.txt"
ln -s "$w/elsewhere/dir" "$w/dest/Documents"
chmod 0750 "$w/dest"
run hostile "$w/plain.img" extract / "$w/dest"
[ "$rc" -eq 0 ] || fail "hostile DEST: status $rc: $err"
[ "$(cat "$w/elsewhere/victim")" = victim ] && [ "$(stat -c %a "$w/elsewhere/victim")" = 600 ] ||
    fail "the file a planted link named was written or changed"
[ -z "$(ls -A "$w/elsewhere/dir")" ] || fail "files were made in the folder a planted link named"
[ ! -L "$w/dest/readme.txt" ] && [ "$(cat "$w/dest/readme.txt")" = "from the volume" ] &&
    [ ! -L "$w/dest/Documents" ] && [ "$(cat "$w/dest/Documents/a.txt")" = a ] ||
    fail "the planted links were not replaced by the volume's items"
[ "$(stat -c '%a %u' "$w/dest")" = "750 $(id -u)" ] &&
    [ "$(stat -c %Y "$w/dest")" != "$(date -d 2001-02-03T04:05:06Z +%s)" ] ||
    fail "an existing DEST got the volume root's metadata: $(stat -c '%a %u %y' "$w/dest")"

run no-parent "$w/plain.img" extract / "$w/no/parent"
[ "$rc" -eq 1 ] && [ "$err" = "quorvel-extract: $w/no/parent: No such file or directory" ] ||
    fail "DEST without a parent: $rc: $err"
run cat-folder "$w/plain.img" cat "/cat me"
[ "$rc" -eq 1 ] && [ "$err" = "quorvel-extract: /cat me: Is a directory" ] ||
    fail "cat of a folder: $rc: $err"

# --- hostile volumes ---
# 3,000 nested folders, some 33,000 bytes of path.
python3 - "$w/deep.json" <<'EOF'
import sys
down = "".join(f'{{"type": "folder", "name": "level-{i:04}", "children": [' for i in range(3000))
bottom = '{"type": "file", "name": "bottom.txt", "data": "at the bottom\\n"}'
with open(sys.argv[1], "w") as f:
    f.write('{"volume": {"name": "Deep"}, "items": [' + down + bottom + "]}" * 3000 + "]}")
EOF
# The builder reads the manifest recursively: a sanitizer build needs room.
(ulimit -s 262144 2>/dev/null; "$MKHFS" --quiet "$w/deep.json" "$w/deep.img") || fail "mkhfs deep"
run deep "$w/deep.img" extract / "$w/deep"
[ "$rc" -eq 0 ] || fail "3,000 nested folders: status $rc: ${err:0:300}"
bottom=$(find "$w/deep" -name bottom.txt)
[ "$(find "$w/deep" -type d | wc -l)" = 3001 ] && [ "${#bottom}" -gt 33000 ] &&
    [ "$(find "$w/deep" -name bottom.txt -execdir cat {} +)" = "at the bottom" ] ||
    fail "3,000 nested folders were not all extracted"

# 40 folders, each holding two folder hard links to the next: 2^40 paths.
python3 - "$w/bomb.json" <<'EOF'
import json, sys
items = [{"type": "folder", "name": "d00", "children": [
    {"type": "hardlink", "name": n, "target": "d01"} for n in "ab"]}]
for i in range(1, 40):
    children = [{"type": "hardlink", "name": n, "target": f"d{i + 1:02}"} for n in "ab"]
    if i == 39:
        children = [{"type": "file", "name": "payload", "data": {"pattern": "random", "size": 100000}}]
    items.append({"type": "folder", "name": f"d{i:02}", "id": f"d{i:02}", "children": children})
json.dump({"volume": {"name": "Bomb"}, "items": items}, open(sys.argv[1], "w"))
EOF
"$MKHFS" --quiet "$w/bomb.json" "$w/bomb.img" || fail "mkhfs bomb"
run bomb "$w/bomb.img" extract / "$w/bomb"
[ "$rc" -eq 0 ] || fail "folder link bomb: status $rc: ${err:0:300}"
[ "$(find "$w/bomb" -type f | wc -l)" = 1 ] && [ "$(find "$w/bomb" -type l | wc -l)" = 78 ] &&
    [ -z "$(find "$w/bomb" -xtype l)" ] || fail "folder link bomb: not one copy and 78 links"
[ "$(find -L "$w/bomb/d00/a/a" -maxdepth 0 -printf '%i')" = "$(find -L "$w/bomb/d02" -maxdepth 0 -printf '%i')" ] ||
    fail "folder link bomb: a later name does not lead to the first copy"

# Set-id bits, a device node and names no folder here can hold.
volume special '{"volume": {"name": "Special"}, "items": [
    {"type": "file", "name": "tool", "data": "#!/bin/sh\n", "perms": {"owner": 0, "mode": "04755"}},
    {"type": "folder", "name": "shared", "perms": {"mode": "01777"}},
    {"type": "chardev", "name": "disk", "rdev": 259},
    {"type": "file", "name": "bell\u0007\nname", "data": "x"},
    {"type": "folder", "name": "..", "children": [{"type": "file", "name": "escaped.txt", "data": "x"}]},
    {"type": "file", "name": "forked", "rsrc": {"pattern": "counter", "size": 70001}},
    {"type": "file", "name_utf16": [98, 0, 99], "data": "a NUL in its name"}]}'
# The resource fork now claims 2^62 bytes.
python3 - "$w/special.img" <<'EOF'
import struct, sys
with open(sys.argv[1], "r+b") as image:
    at = image.read().index(struct.pack(">Q", 70001))
    image.seek(at)
    image.write(struct.pack(">Q", 1 << 62))
EOF
mkdir "$w/special"
run special "$w/special.img" extract / "$w/special/out"
[ "$rc" -eq 1 ] && [ "$(stat -c %a "$w/special/out/tool")" = 755 ] &&
    [ "$(stat -c %a "$w/special/out/shared")" = 777 ] && [ ! -e "$w/special/out/disk" ] &&
    grep -qx "    /disk" <<<"$err" || fail "set-id bits or a device node kept by default: $rc: $err"
[ "$(ls -A "$w/special")" = out ] || fail "extract left more than DEST beside it: $(ls -A "$w/special")"
[ ! -e "$w/special/escaped.txt" ] && grep -qF "    /..: " <<<"$err" ||
    fail "a folder named .. was not left out and reported: $err"
grep -qF "    /forked: left out: its resource fork of 4611686018427387904 bytes" <<<"$err" ||
    fail "a resource fork claiming 2^62 bytes was not reported: $err"
grep -qF "    /: left out: 1 entry(ies) whose names cannot be shown" <<<"$err" ||
    fail "an entry whose name cannot be shown was not reported: $err"
[ -f "$w/special/out/bell"$'\a\n'name ] ||
    fail "a name with control characters was not extracted"
run special-ls "$w/special.img" ls /
grep -qxF 'bell\007\nname' <<<"$out" || fail "ls shows control characters raw: $out"
if [ "$(id -u)" -eq 0 ]; then
    run special-p "$w/special.img" extract -p / "$w/special/kept"
    [ "$(stat -c %a "$w/special/kept/tool")" = 4755 ] &&
        [ "$(stat -c %a "$w/special/kept/shared")" = 1777 ] && [ -c "$w/special/kept/disk" ] ||
        fail "--same-permissions did not keep set-id bits and device nodes: $err"
fi
# --- images that claim more than they hold ---
# A 1 GiB file of zeros on a 1.1 GiB volume, in a .dmg of a few KiB; the
# same volume as a sparse bundle claiming 2^63 bytes.
volume zeros '{"volume": {"name": "Zeros", "size": "1100M"},
  "items": [{"type": "file", "name": "zeros", "data": {"pattern": "zeros", "size": "1G"}}]}'
"$MKHFS" --quiet --container udif "$w/zeros.json" "$w/zeros.dmg" || fail "mkhfs zeros.dmg"
"$MKHFS" --quiet --container sparsebundle "$w/zeros.json" "$w/huge.sparsebundle" || fail "mkhfs bundle"
sed -i 's|<integer>1153433600</integer>|<integer>9223372036854775296</integer>|' \
    "$w/huge.sparsebundle/Info.plist" "$w/huge.sparsebundle/Info.bckup"
limit="more than the limit of"
# Refused before anything is written (what is written anyway is cut at 64 MiB
# and 20 s): name|arguments|what the messages must hold|what must not exist.
while IFS='|' read -r name args message absent; do
    read -ra argv <<<"$args"
    timeout 20 "$EXTRACT" --quiet "${argv[@]}" 2>"$w/$name.err" | head -c 64M >"$w/$name.out"
    rc=${PIPESTATUS[0]}
    err=$(cat "$w/$name.err")
    [ "$rc" -eq 1 ] && grep -qF -- "$message" <<<"$err" && [ ! -s "$w/$name.out" ] &&
        [ ! -e "$w/$absent" ] || fail "$name: status $rc, $(stat -c %s "$w/$name.out") bytes out: $err"
done <<EOF
huge-disk|$w/huge.sparsebundle disk|the disk claims 9223372036854775296 bytes (8.0 EiB), $limit 70368744177664 bytes (64.0 TiB) (--max-size SIZE raises it)|-
limited-disk|--max-size 1G $w/zeros.dmg disk|the disk claims 1153433600 bytes (1.1 GiB), $limit 1073741824 bytes (1.0 GiB)|-
limited-extract|--max-size=1023M $w/zeros.dmg extract / $w/limited|    /zeros: left out: it claims 1073741824 bytes (1.0 GiB), $limit 1072693248 bytes (1023.0 MiB)|limited/zeros
limited-cat|--max-size 1023M $w/zeros.dmg cat /zeros|/zeros: the output would reach 1073741824 bytes (1.0 GiB), $limit|-
EOF
# Runs of zeros become holes in a file, and read back as zeros.
"$MKHFS" --quiet "$w/zeros.json" "$w/zeros.raw" || fail "mkhfs zeros.raw"
"$EXTRACT" --quiet "$w/zeros.dmg" disk >"$w/zeros.disk" && cmp -s "$w/zeros.disk" "$w/zeros.raw" ||
    fail "disk of zeros.dmg is not the volume"
"$EXTRACT" --quiet "$w/zeros.dmg" extract / "$w/sparse" || fail "extract of zeros.dmg"
"$EXTRACT" --quiet "$w/zeros.dmg" cat /zeros >"$w/zeros.cat" || fail "cat of zeros.dmg"
for file in "$w/zeros.disk" "$w/sparse/zeros" "$w/zeros.cat"; do
    [ "$(stat -c %b "$file")" -lt 32768 ] || fail "$file is not sparse: $(stat -c '%s bytes, %b blocks' "$file")"
done
[ "$(stat -c %s "$w/sparse/zeros")" = 1073741824 ] && cmp -s "$w/sparse/zeros" "$w/zeros.cat" &&
    cmp -s -n 1073741824 "$w/sparse/zeros" /dev/zero || fail "the extracted file of zeros is not 1 GiB of zeros"

# verify of an image whose checksums were removed and a stored byte changed:
# nothing could be verified, and it says so with a status of its own.
"$MKHFS" --quiet --container udif --encoding raw "$w/plain.json" "$w/plain.dmg" || fail "mkhfs plain.dmg"
python3 - "$w/plain.dmg" "$w/unchecked.dmg" <<'EOF'
import plistlib, struct, sys
data = bytearray(open(sys.argv[1], "rb").read())
koly = data[-512:]
xml_at, xml_length = struct.unpack_from(">QQ", koly, 0xD8)
tables = plistlib.loads(bytes(data[xml_at:xml_at + xml_length]))
for table in tables["resource-fork"]["blkx"]:
    mish = bytearray(table["Data"])
    struct.pack_into(">I", mish, 0x40, 0)  # the table's checksum type: none
    table["Data"] = bytes(mish)
xml = plistlib.dumps(tables)
struct.pack_into(">I", koly, 0x50, 0)  # no data fork checksum
struct.pack_into(">I", koly, 0x160, 0)  # no master checksum
struct.pack_into(">QQ", koly, 0xD8, xml_at, len(xml))
fork = data[:xml_at]
fork[1100] ^= 0x01  # inside the volume header, stored raw
open(sys.argv[2], "wb").write(fork + xml + koly)
EOF
run unchecked "$w/unchecked.dmg" verify
[ "$rc" -eq 3 ] && grep -q ": no checksum$" <<<"$out" &&
    [ "$err" = "quorvel-extract: $w/unchecked.dmg: nothing verified: the image carries no checksum of its data" ] ||
    fail "verify of an image without checksums: status $rc: $out $err"

# --- a user who can write DEST races a root extractor ---
# 3,000 FIFOs of mode 04755 owned by root, extracted with -p into a DEST of
# `nobody`, who replaces each new name with a hard link to a file of their
# own as soon as it appears: their file must never get root's owner or a
# set-id bit.
as_nobody() { setpriv --reuid=nobody --regid="$(id -g nobody)" --clear-groups "$@"; }
user_python=
if [ "$(id -u)" -eq 0 ] && id nobody >/dev/null 2>&1; then
    for py in /usr/bin/python3 /usr/local/bin/python3 "$(command -v python3)"; do
        as_nobody "$py" -c '' 2>/dev/null && user_python=$py && break
    done
fi
if [ -n "$user_python" ]; then
    python3 - "$w/fifos.json" <<'EOF'
import json, sys
items = [{"type": "fifo", "name": f"p{i:04}", "perms": {"owner": 0, "group": 0, "mode": "04755"}}
         for i in range(3000)]
json.dump({"volume": {"name": "Fifos"}, "items": items}, open(sys.argv[1], "w"))
EOF
    "$MKHFS" --quiet "$w/fifos.json" "$w/fifos.img" || fail "mkhfs fifos"
    chmod 0711 "$w"
    mkdir -p "$w/race/dest"
    printf '#!/bin/sh\n' >"$w/race/mine"
    chmod 0755 "$w/race/mine"
    chown -R nobody: "$w/race"
    as_nobody timeout 60 "$user_python" - "$w/race/dest" "$w/race/mine" >"$w/race.log" 2>&1 <<'EOF' &
import ctypes, os, struct, sys
dest, mine = os.fsencode(sys.argv[1]), os.fsencode(sys.argv[2])
mine_ino = os.stat(mine).st_ino
libc = ctypes.CDLL(None, use_errno=True)
fd = libc.inotify_init1(0)
libc.inotify_add_watch(fd, dest, 0x100 | 0x80)  # IN_CREATE | IN_MOVED_TO
print("ready", flush=True)
while True:
    events = os.read(fd, 1 << 16)
    at = 0
    while at < len(events):
        length = struct.unpack_from("iIII", events, at)[3]
        path = os.path.join(dest, events[at + 16:at + 16 + length].rstrip(b"\0"))
        at += 16 + length
        try:
            if os.lstat(path).st_ino != mine_ino:
                os.unlink(path)
                os.link(mine, path)
        except OSError:
            pass
EOF
    attacker=$!
    for _ in $(seq 100); do grep -q ready "$w/race.log" 2>/dev/null && break; sleep 0.1; done
    run race "$w/fifos.img" extract -p / "$w/race/dest"
    kill "$attacker" 2>/dev/null
    wait "$attacker" 2>/dev/null
    grep -q ready "$w/race.log" || fail "the racing user did not start: $(cat "$w/race.log")"
    [ "$(stat -c '%u %a' "$w/race/mine")" = "$(id -u nobody) 755" ] ||
        fail "a racing user's file got the metadata of an extracted FIFO: $(stat -c '%u %a' "$w/race/mine")"
    [ -z "$(find "$w/race" -name '.quorvel-extract.*')" ] || fail "a staging folder was left behind"
    [ "$rc" -eq 0 ] && [ "$(stat -c %h "$w/race/mine")" -gt 1 ] ||
        fail "the race did not happen: status $rc, $(stat -c %h "$w/race/mine") link(s): ${err:0:300}"
else
    echo "SKIP: the race with a user writing DEST needs root and a user nobody can run python3 as"
fi
finish "quorvel-extract is safe against hostile destinations and volumes"
