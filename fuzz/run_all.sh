#!/usr/bin/env bash
# Runs the HFS fuzz targets one after the other at the lowest priority and
# keeps each run's final statistics in fuzz/out/TARGET/run-N.log.
#
# Usage: fuzz/run_all.sh [TARGET=SECONDS ...]
#   default: fuzz_volume=1800 fuzz_node=1800 fuzz_records=1800 fuzz_unicode=1800
#            fuzz_partitions=1800 fuzz_lzfse=1800 fuzz_decmpfs=1800 fuzz_udif=1800
#            fuzz_sparse=600 fuzz_journal=1800
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
runs=("$@")
[ ${#runs[@]} -gt 0 ] || runs=(fuzz_volume=1800 fuzz_node=1800 fuzz_records=1800 fuzz_unicode=1800
    fuzz_partitions=1800 fuzz_lzfse=1800 fuzz_decmpfs=1800 fuzz_udif=1800 fuzz_sparse=600 fuzz_journal=1800)
for run in "${runs[@]}"; do
    target=${run%%=*}
    seconds=${run#*=}
    mkdir -p "$root/fuzz/out/$target"
    n=$(ls "$root/fuzz/out/$target" | grep -c '^run-' || true)
    log=$root/fuzz/out/$target/run-$n.log
    echo "$(date -u +%FT%TZ) $target for ${seconds}s -> $log"
    nice -n 19 "$root/scripts/fuzz" "$target" "$seconds" >"$log" 2>&1
    grep -E 'stat::number_of_executed_units|Done [0-9]+ runs|SUMMARY|crash-' "$log" | tail -n 4
done
