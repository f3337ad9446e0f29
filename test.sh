#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test: unit tests and
# end-to-end tests through real mounts, in a build with AddressSanitizer and
# UndefinedBehaviorSanitizer. Ends with one line "N passed, N failed[, N skipped]".
set -uo pipefail
cd "$(dirname "$0")"

jobs=$(nproc 2>/dev/null || echo 2)

echo "== installing missing packages"
scripts/install-deps || { echo "test.sh: could not install the required packages" >&2; exit 1; }

if [ ! -e /dev/fuse ]; then
    echo "################################################################"
    echo "## /dev/fuse is missing: the tests that mount volumes are SKIPPED"
    echo "################################################################"
fi

echo "== building (build/)"
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUORVEL_TESTS=ON >/dev/null &&
    ninja -C build -j"$jobs" || { echo "test.sh: build failed" >&2; echo "0 passed, 1 failed"; exit 1; }

echo "== building with sanitizers (build-asan/)"
cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DQUORVEL_SANITIZE=ON \
    -DQUORVEL_TESTS=ON >/dev/null &&
    ninja -C build-asan -j"$jobs" || { echo "test.sh: sanitizer build failed" >&2; echo "0 passed, 1 failed"; exit 1; }

echo "== running tests"
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
log=build-asan/test-log.txt
ctest --test-dir build-asan -j"$jobs" --output-on-failure --timeout 900 2>&1 | tee "$log"
ctest_status=${PIPESTATUS[0]}

total=$(sed -n 's/.*tests passed, [0-9]* tests\{0,1\} failed out of \([0-9]*\).*/\1/p' "$log" | tail -1)
failed=$(sed -n 's/.*tests passed, \([0-9]*\) tests\{0,1\} failed out of.*/\1/p' "$log" | tail -1)
skipped=$(grep -c '(Skipped)$' "$log")
total=${total:-0}
failed=${failed:-0}
if [ "$total" -eq 0 ]; then
    echo "test.sh: no tests ran" >&2
    echo "0 passed, 1 failed"
    exit 1
fi
passed=$((total - failed - skipped))
summary="$passed passed, $failed failed"
[ "$skipped" -gt 0 ] && summary="$summary, $skipped skipped"
echo "$summary"
[ "$failed" -eq 0 ] && [ "$ctest_status" -eq 0 ]
