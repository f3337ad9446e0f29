#!/usr/bin/env bash
# The same manifest must give the same bytes.
set -euo pipefail
mkhfs=$1 manifest=$2 work=$3
mkdir -p "$work"
"$mkhfs" --quiet "$manifest" "$work/a.img"
"$mkhfs" --quiet "$manifest" "$work/b.img"
cmp "$work/a.img" "$work/b.img"
echo "identical: $(sha256sum < "$work/a.img")"
