# Source this. manifest_data_present MANIFEST: true when every file of the
# shared reference data that MANIFEST names (paths containing
# "shared/testdata", relative to the manifest) exists. A fresh clone has no
# ../shared beside it: the volumes that need it are then skipped, not failed.
manifest_data_present() {
    local manifest=$1 dir path
    dir=$(dirname "$manifest")
    while IFS= read -r path; do
        [ -n "$path" ] || continue
        case "$path" in /*) ;; *) path="$dir/$path" ;; esac
        [ -e "$path" ] || return 1
    done < <(grep -o '"[^"]*shared/testdata[^"]*"' "$manifest" | tr -d '"')
    return 0
}
