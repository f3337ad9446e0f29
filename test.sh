#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test: unit tests and
# end-to-end tests through real mounts, in a build with AddressSanitizer and
# UndefinedBehaviorSanitizer (against libfuse 3), the end-to-end tests again
# against libfuse 2.9, a short fuzzing run of every fuzz target, then the
# threaded stress test and the access layer's unit tests in a build with
# ThreadSanitizer.
# Ends with one line "N passed, N failed[, N skipped]".
#
# ./test.sh --quick: the edit-compile-test loop: the ordinary build only, its
# unit tests and one end-to-end pass (builder volumes through a real mount),
# no sanitizer build, no hostile suite, no fuzzing. The full run (no
# argument) is what CI runs.
set -uo pipefail
cd "$(dirname "$0")"

jobs=$(nproc 2>/dev/null || echo 2)
quick=0
case "${1:-}" in
--quick) quick=1 ;;
"") ;;
*)
    echo "usage: ./test.sh [--quick]" >&2
    exit 2
    ;;
esac

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

if [ "$quick" -eq 1 ]; then
    echo "== running the unit tests and one end-to-end pass (build/)"
    log=build/test-log.txt
    ctest --test-dir build -j"$jobs" --output-on-failure --timeout 900 \
        -R '^builder_volumes_e2e$' 2>&1 | tee "$log"
    e2e_status=${PIPESTATUS[0]}
    ctest --test-dir build -j"$jobs" --output-on-failure --timeout 900 -L unit 2>&1 | tee -a "$log"
    unit_status=${PIPESTATUS[0]}
    total=$(sed -n 's/.*tests passed, [0-9]* tests\{0,1\} failed out of \([0-9]*\).*/\1/p' "$log" |
        awk '{s += $1} END {print s + 0}')
    failed=$(sed -n 's/.*tests passed, \([0-9]*\) tests\{0,1\} failed out of.*/\1/p' "$log" |
        awk '{s += $1} END {print s + 0}')
    skipped=$(grep -c '(Skipped)$' "$log")
    summary="$((total - failed - skipped)) passed, $failed failed"
    [ "$skipped" -gt 0 ] && summary="$summary, $skipped skipped"
    echo "$summary"
    [ "$e2e_status" -eq 0 ] && [ "$unit_status" -eq 0 ]
    exit
fi

echo "== building with sanitizers (build-asan/)"
cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DQUORVEL_SANITIZE=ON \
    -DQUORVEL_TESTS=ON >/dev/null &&
    ninja -C build-asan -j"$jobs" || { echo "test.sh: sanitizer build failed" >&2; echo "0 passed, 1 failed"; exit 1; }

echo "== building against libfuse 2.9 (build-fuse2/)"
fuse2_built=0
cmake -S . -B build-fuse2 -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUORVEL_FUSE2=ON \
    -DQUORVEL_TESTS=ON >/dev/null &&
    ninja -C build-fuse2 -j"$jobs" quorvel quorvel-extract mkhfs image_decode manual_pages && fuse2_built=1
[ "$fuse2_built" -eq 1 ] || echo "test.sh: the libfuse 2.9 build failed; its end-to-end run counts as failed" >&2

echo "== building the fuzz targets with clang (build-fuzz/)"
fuzz_built=0
if command -v clang++ >/dev/null; then
    CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DQUORVEL_FUZZ=ON -DQUORVEL_SANITIZE=ON -DQUORVEL_TESTS=OFF >/dev/null &&
        ninja -C build-fuzz -j"$jobs" fuzz_targets && fuzz_built=1
fi
[ "$fuzz_built" -eq 1 ] || echo "test.sh: the fuzz targets did not build; their smoke runs count as failed" >&2

# Only what the threaded stress test and the access layer's tests need.
echo "== building the mount with ThreadSanitizer (build-tsan/)"
tsan_built=0
cmake -S . -B build-tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUORVEL_TSAN=ON \
    -DQUORVEL_TESTS=ON >/dev/null &&
    ninja -C build-tsan -j"$jobs" quorvel mkhfs access_tests && tsan_built=1
[ "$tsan_built" -eq 1 ] || echo "test.sh: the ThreadSanitizer build failed; its tests count as failed" >&2

echo "== running tests"
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
log=build-asan/test-log.txt
ctest --test-dir build-asan -j"$jobs" --output-on-failure --timeout 900 2>&1 | tee "$log"
ctest_status=${PIPESTATUS[0]}

echo "== the end-to-end tests again, against libfuse 2.9 (build-fuse2/)"
fuse2_log=build-fuse2/test-log.txt
if [ "$fuse2_built" -eq 1 ]; then
    ctest --test-dir build-fuse2 -j"$jobs" --output-on-failure --timeout 900 -L e2e \
        -E '^without_shared_data$' 2>&1 | tee "$fuse2_log"
    [ "${PIPESTATUS[0]}" -eq 0 ] || ctest_status=1
else
    mkdir -p build-fuse2
    echo "0% tests passed, 1 tests failed out of 1" >"$fuse2_log"
    ctest_status=1
fi

echo "== short fuzzing runs of every target"
fuzz_log=build-fuzz/test-log.txt
if [ "$fuzz_built" -eq 1 ]; then
    ctest --test-dir build-fuzz -j"$jobs" --output-on-failure --timeout 600 2>&1 | tee "$fuzz_log"
    [ "${PIPESTATUS[0]}" -eq 0 ] || ctest_status=1
else
    mkdir -p build-fuzz
    echo "0% tests passed, 1 tests failed out of 1" >"$fuzz_log"
    ctest_status=1
fi

echo "== the threaded mount and the access layer under ThreadSanitizer"
tsan_log=build-tsan/test-log.txt
if [ "$tsan_built" -eq 1 ]; then
    TSAN_OPTIONS=${TSAN_OPTIONS:-halt_on_error=1:exitcode=66} \
        ctest --test-dir build-tsan -j"$jobs" --output-on-failure --timeout 900 \
        -R '^(threads_e2e|access\..*)$' 2>&1 | tee "$tsan_log"
    [ "${PIPESTATUS[0]}" -eq 0 ] || ctest_status=1
else
    mkdir -p build-tsan
    echo "0% tests passed, 1 tests failed out of 1" >"$tsan_log"
    ctest_status=1
fi

# Sums "N% tests passed, F tests failed out of T" and the skipped tests of
# every log.
total=0 failed=0 skipped=0
for f in "$log" "$fuse2_log" "$fuzz_log" "$tsan_log"; do
    t=$(sed -n 's/.*tests passed, [0-9]* tests\{0,1\} failed out of \([0-9]*\).*/\1/p' "$f" | tail -1)
    x=$(sed -n 's/.*tests passed, \([0-9]*\) tests\{0,1\} failed out of.*/\1/p' "$f" | tail -1)
    s=$(grep -c '(Skipped)$' "$f")
    total=$((total + ${t:-0}))
    failed=$((failed + ${x:-0}))
    skipped=$((skipped + s))
done
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
