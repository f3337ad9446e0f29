#!/usr/bin/env bash
# Builds the Debian package from the build folder and checks it without
# installing it: the name, the control fields (the libraries the programs
# link with, and FUSE's tools), the files and where they go, both programs
# run from the unpacked tree, the manual pages, the bash completions, and
# lintian where it is installed.
set -u
: "${BUILD_DIR:?the build folder}"
: "${VERSION:?the project version}"
for tool in cpack dpkg-deb dpkg-shlibdeps; do
    command -v "$tool" >/dev/null || { echo "SKIP: $tool is not installed (scripts/install-deps)"; exit 77; }
done
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

(cd "$work" && cpack -G DEB --config "$BUILD_DIR/CPackConfig.cmake" -B "$work/out" >"$work/cpack.log" 2>&1) ||
    { cat "$work/cpack.log"; echo "FAIL: cpack failed"; exit 1; }
deb="$work/out/quorvel_${VERSION}_$(dpkg --print-architecture).deb"
[ -f "$deb" ] || { ls "$work/out"; echo "FAIL: no $deb"; exit 1; }

# Control fields: every library a program needs comes from a package the
# package depends on; FUSE's tools from either FUSE.
info=$(dpkg-deb -f "$deb")
grep -qx "Package: quorvel" <<<"$info" || fail "package name: $info"
grep -qx "Version: $VERSION" <<<"$info" || fail "version: $info"
depends=$(dpkg-deb -f "$deb" Depends)
[[ ", $depends," == *", fuse3 | fuse,"* ]] || [[ ", $depends," == *", fuse,"* ]] ||
    fail "no FUSE tools in Depends: $depends"
for program in quorvel quorvel-extract; do
    for library in $(objdump -p "$BUILD_DIR/$program" | awk '$1 == "NEEDED" {print $2}'); do
        path=$(ldconfig -p | awk -v l="$library" '$1 == l {print $NF; exit}')
        [ -n "$path" ] || { fail "$library not found"; continue; }
        owner=$(dpkg -S "$(readlink -f "$path")" 2>/dev/null || dpkg -S "$path" 2>/dev/null)
        owner=${owner%%:*}
        [ -n "$owner" ] || { fail "no package holds $path"; continue; }
        [[ ", $depends," == *", $owner "* || ", $depends," == *", $owner,"* ]] || fail "$program needs $library from $owner, not in Depends: $depends"
    done
done

# The files, where mount(8), man and bash-completion look for them.
contents=$(dpkg-deb -c "$deb" | awk '{print $6}')
for file in ./usr/bin/quorvel ./usr/bin/quorvel-extract \
    ./usr/share/man/man1/quorvel.1.gz ./usr/share/man/man1/quorvel-extract.1.gz \
    ./usr/share/bash-completion/completions/quorvel \
    ./usr/share/bash-completion/completions/quorvel-extract \
    ./usr/share/doc/quorvel/copyright ./usr/share/doc/quorvel/changelog.gz; do
    grep -qx -- "$file" <<<"$contents" || fail "$file is not in the package"
done
grep -v '/$' <<<"$contents" | grep -v '^./usr/' && fail "files outside /usr"

# The programs run from the unpacked tree; the pages render.
dpkg-deb -x "$deb" "$work/root"
for program in quorvel quorvel-extract; do
    out=$("$work/root/usr/bin/$program" --version 2>&1) || fail "$program --version failed: $out"
    [ "$(head -1 <<<"$out")" = "$program version $VERSION" ] || fail "$program --version: $out"
    "$work/root/usr/bin/$program" --help 2>&1 | grep -q "^usage: " || fail "$program --help"
    if command -v man >/dev/null; then
        page=$(MANWIDTH=100 man --warnings -E UTF-8 -l "$work/root/usr/share/man/man1/$program.1.gz" 2>&1)
        grep -q "^NAME" <<<"$page" || fail "$program.1.gz does not render: $page"
    fi
done

# The completions: COMPREPLY for a command line ending where TAB is pressed.
complete_line() {
    bash -c 'source "$1"; shift; COMP_WORDS=("$@"); COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
        "$(complete -p "$1" | awk "{print \$3}")"; printf "%s\n" "${COMPREPLY[@]}"' \
        sh "$work/root/usr/share/bash-completion/completions/$1" "$@"
}
mkdir -p "$work/here/folder" && touch "$work/here/disk.img"
cd "$work/here"
while IFS='|' read -r expected line; do
    read -ra words <<<"$line"
    [ "${line: -1}" = " " ] && words+=("")
    got=$(complete_line "${words[@]}" | sort | tr '\n' ' ')
    [ "$got" = "$expected " ] || fail "completing '$line': got '$got', expected '$expected'"
done <<'EOF'
partition=|quorvel -o part
rsrc_only,partition=|quorvel -o rsrc_only,part
disk.img folder|quorvel 
folder|quorvel disk.img 
--verbose --version|quorvel --ver
cat|quorvel-extract disk.img c
cat disk extract journal ls partitions stat verify xattr|quorvel-extract -o partition=2 disk.img 
-R|quorvel-extract disk.img ls -R
image_cache=|quorvel-extract -o ima
--same-permissions|quorvel-extract disk.img extract --same
--json|quorvel-extract disk.img journal --j
--max-size|quorvel-extract --max
replay|quorvel -o rep
EOF
cd /

if command -v lintian >/dev/null; then
    lintian --fail-on error,warning "$deb" >"$work/lintian.log" 2>&1 ||
        fail "lintian: $(grep -v 'root privileges' "$work/lintian.log")"
else
    echo "note: lintian is not installed (scripts/install-deps): not run"
fi

if [ "$failures" -ne 0 ]; then
    echo "$failures check(s) failed"
    exit 1
fi
echo "the Debian package is complete: $(basename "$deb")"
