#!/usr/bin/env bash
# Builds a volume from a manifest and checks it with The Sleuth Kit, 7-Zip and
# by-hand decoding (check_volume.py). Exit 77 (skipped) when a reader or the
# shared reference data the manifest needs is missing.
# usage: run_manifest.sh MKHFS MANIFEST WORKDIR
set -euo pipefail
mkhfs=$1 manifest=$2 work=$3
here=$(cd "$(dirname "$0")" && pwd)
for tool in fls icat istat fsstat 7zz python3; do
    command -v "$tool" >/dev/null || { echo "skip: $tool is not installed"; exit 77; }
done
source "$here/../manifest_data.sh"
if ! manifest_data_present "$manifest"; then
    echo "skip: the shared reference streams are not present"
    exit 77
fi
mkdir -p "$work"
image="$work/$(basename "$manifest" .json).img"
"$mkhfs" "$manifest" "$image"
python3 "$here/check_volume.py" "$manifest" "$image"
