#!/usr/bin/env bash
# Builds the fuzzers with clang (libFuzzer, AddressSanitizer, UndefinedBehaviorSanitizer) and
# runs each of them for a longer time than the short run of ./test.
#   scripts/fuzz.sh [seconds per fuzzer, default 300] [fuzzer names...]
# New inputs collect in build-fuzzers/fuzz/corpus/<name> and are kept for the next run; a crash
# or hang is written to build-fuzzers/fuzz/artifacts/<name>/ and reproduces with
#   build-fuzzers/fuzz/fuzz_<name> <artifact file>
# Runs on loopback only; nothing leaves the machine.
set -euo pipefail
cd "$(dirname "$(readlink -f "$0")")/.."

seconds=${1:-300}
shift || true
fuzzers=("$@")
[ ${#fuzzers[@]} -gt 0 ] || fuzzers=(discovery search report)
jobs=${FUZZ_BUILD_JOBS:-2}

scripts/ensure-deps.sh

build=build-fuzzers
if [ ! -f "$build/build.ninja" ]; then
    CC=clang CXX=clang++ cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug \
        -DTALIX_SANITIZE=ON -DTALIX_FUZZ=ON
fi
targets=()
for name in "${fuzzers[@]}"; do
    targets+=("fuzz_$name")
done
cmake --build "$build" -j"$jobs" --target "${targets[@]}"

export ASAN_OPTIONS="detect_leaks=1:halt_on_error=1:strict_init_order=1"
export LSAN_OPTIONS="suppressions=$PWD/scripts/lsan.supp:print_suppressions=0"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"
export QT_QPA_PLATFORM=offscreen

out="$build/fuzz"
mkdir -p "$out/logs"
failed=()
for name in "${fuzzers[@]}"; do
    mkdir -p "$out/corpus/$name" "$out/artifacts/$name"
    log="$out/logs/$name.log"
    echo "== fuzz_$name for $seconds s (log: $log)"
    status=0
    "$out/fuzz_$name" -max_total_time="$seconds" -timeout=5 -rss_limit_mb=2048 \
        -print_final_stats=1 -artifact_prefix="$out/artifacts/$name/" \
        "$out/corpus/$name" "fuzz/corpus/$name" >"$log" 2>&1 || status=$?
    grep -E '^#[0-9]+ +(INITED|DONE)|^stat::(number_of_executed_units|average_exec_per_sec|new_units_added|peak_rss_mb)' "$log" || true
    if [ "$status" -ne 0 ]; then
        echo "   fuzz_$name FAILED (exit $status); findings:"
        ls -1 "$out/artifacts/$name" | sed 's/^/     /'
        failed+=("$name")
    fi
done

if [ ${#failed[@]} -gt 0 ]; then
    echo "Findings in: ${failed[*]}"
    exit 1
fi
echo "No findings."
