#!/usr/bin/env bash
# A volume made from a directory tree holds that tree (checked with TSK and 7-Zip).
set -euo pipefail
mkhfs=$1 work=$2
for tool in fls icat 7zz; do command -v $tool >/dev/null || exit 77; done
rm -rf "$work" && mkdir -p "$work/src/sub/deeper"
printf 'alpha\n' > "$work/src/a.txt"
head -c 300000 /dev/urandom > "$work/src/sub/random.bin"
printf 'colon\n' > "$work/src/sub/with:colon"
ln -s random.bin "$work/src/sub/link"
printf 'x' > "$work/src/sub/deeper/x"
chmod 0600 "$work/src/sub/deeper/x"
"$mkhfs" --from-dir "$work/src" --name FromDir "$work/fromdir.img"
fls -r -p "$work/fromdir.img" > "$work/fls.txt"
grep -q $'r/r [0-9]*:\tsub/with:colon$' "$work/fls.txt"
grep -q $'l/l [0-9]*:\tsub/link$' "$work/fls.txt"
ino=$(awk -F'[ :\t]+' '$NF=="sub/random.bin" || $0 ~ /sub\/random.bin$/ {print $2}' "$work/fls.txt")
cmp <(icat "$work/fromdir.img" "$ino") "$work/src/sub/random.bin"
rm -rf "$work/x" && 7zz x -snl -o"$work/x" "$work/fromdir.img" >/dev/null
diff -r "$work/src/sub/deeper" "$work/x/FromDir/sub/deeper"
cmp "$work/x/FromDir/a.txt" "$work/src/a.txt"
[ "$(readlink "$work/x/FromDir/sub/link")" = "random.bin" ]
[ "$(stat -c %a "$work/x/FromDir/sub/deeper/x")" = 600 ]
echo "directory tree reproduced"
