#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (in build-fuzz/) and runs each for
# SECONDS (default 60), starting from a copy of its seed corpus in fuzz/corpus/.
# Inputs that grow coverage are kept in build-fuzz/corpus/<target>/ for the
# next run; a crash stops the run with the target's report and the input
# saved as build-fuzz/crash-*. Prints executions per second and in total.
#   tools/fuzz.sh [SECONDS] [TARGET...]
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-60}
shift || true
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
    targets=(fuzz_envelope fuzz_jobrequest fuzz_device fuzz_remote fuzz_template fuzz_server fuzz_http)
fi

tools/deps.sh
CC=clang CXX=clang++ cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKIV_FUZZ=ON >/dev/null
cmake --build build-fuzz -j"$(nproc)" --target "${targets[@]}"

# Qt builds some of its globals lazily, on the first input that needs them,
# which libFuzzer's per-input leak check reports; leaks are the test suite's
# business (tools/test.sh runs it under LeakSanitizer).
export ASAN_OPTIONS=detect_leaks=0:abort_on_error=0:halt_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export QT_QPA_PLATFORM=offscreen
status=0
for target in "${targets[@]}"; do
    name=${target#fuzz_}
    work=build-fuzz/corpus/$name
    mkdir -p "$work"
    log=build-fuzz/$target.log
    if ! build-fuzz/bin/"$target" -max_total_time="$seconds" -max_len=65536 -timeout=10 -rss_limit_mb=2048 \
            -print_final_stats=1 -detect_leaks=0 -artifact_prefix=build-fuzz/ "$work" "fuzz/corpus/$name" >"$log" 2>&1; then
        echo "fuzz: $target FAILED, see $log:" >&2
        grep -E "ERROR|SUMMARY|Test unit written" "$log" >&2 || tail -20 "$log" >&2
        status=1
        continue
    fi
    execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
    rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log")
    echo "fuzz: $target ran $execs inputs in ${seconds} s ($rate/s), corpus $(ls "$work" | wc -l) files"
done
exit $status
