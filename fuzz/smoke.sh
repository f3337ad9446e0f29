#!/usr/bin/env bash
# A short fuzzing run of one target, as ./test.sh makes of every target:
# starts from the seed corpus and the crash regressions (both read only),
# keeps what it finds only when it crashes (in ARTIFACTS).
#
# Usage: fuzz/smoke.sh EXECUTABLE SEEDS REGRESSIONS ARTIFACTS SECONDS
set -euo pipefail
exe=$1 seeds=$2 regressions=$3 artifacts=$4 seconds=$5
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$artifacts"
"$exe" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
    -artifact_prefix="$artifacts/" "$work" "$seeds" "$regressions"
