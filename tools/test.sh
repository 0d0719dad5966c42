#!/usr/bin/env bash
# Installs what is missing, then builds and runs the whole test suite twice:
# a plain build, and one under AddressSanitizer and UndefinedBehaviorSanitizer;
# then runs every fuzz target briefly, so that none of them rots.
set -euo pipefail
cd "$(dirname "$0")/.."

tools/deps.sh
jobs=$(nproc)
# The tests take free ports and private directories, so two run side by side
# even on one core (and beside a running tools/run.sh).
test_jobs=$(( jobs < 2 ? 2 : jobs ))

# A throw-away PostgreSQL cluster for the tests that run on both databases,
# removed however the script ends.
eval "$(tools/pgtest.sh start)"
trap 'tools/pgtest.sh stop "$KIV_TEST_PGDIR"' EXIT

echo "== plain build"
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$jobs"
(cd build && ctest --output-on-failure -j"$test_jobs")

echo "== sanitizer build (ASan + UBSan)"
cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DKIV_SANITIZE=ON >/dev/null
cmake --build build-asan -j"$jobs"
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=0:halt_on_error=1:strict_string_checks=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
(cd build-asan && ctest --output-on-failure -j"$test_jobs")

echo "== fuzz targets, 20 s each"
tools/fuzz.sh 20
