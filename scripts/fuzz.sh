#!/usr/bin/env bash
# Builds the fuzzers with clang (libFuzzer, AddressSanitizer, UndefinedBehaviorSanitizer) and
# runs each of them for a longer time than the short run of ./test.
#   scripts/fuzz.sh [seconds per fuzzer, default 300] [fuzzer names...]
#   scripts/fuzz.sh --coverage [fuzzer names...]
#       replays the seeds and the collected corpora in a clang coverage build and prints which
#       lines of the code that reads network input they reach
# New inputs collect in build-fuzzers/fuzz/corpus/<name> and are kept for the next run; a crash
# or hang is written to build-fuzzers/fuzz/artifacts/<name>/ and reproduces with
#   build-fuzzers/fuzz/fuzz_<name> <artifact file>
# Runs on loopback only; nothing leaves the machine.
set -euo pipefail
cd "$(dirname "$(readlink -f "$0")")/.."

coverage=no
if [ "${1:-}" = "--coverage" ]; then
    coverage=yes
    shift
else
    seconds=${1:-300}
    shift || true
fi
fuzzers=("$@")
[ ${#fuzzers[@]} -gt 0 ] || fuzzers=(discovery search report mqtt)
jobs=${FUZZ_BUILD_JOBS:-2}

scripts/ensure-deps.sh

export QT_QPA_PLATFORM=offscreen

if [ "$coverage" = yes ]; then
    build=build-fuzzcov
    if [ ! -f "$build/build.ninja" ]; then
        CC=clang CXX=clang++ cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug \
            -DTALIX_FUZZ=ON -DCMAKE_CXX_FLAGS="-fprofile-instr-generate -fcoverage-mapping" \
            -DCMAKE_EXE_LINKER_FLAGS="-fprofile-instr-generate"
    fi
    targets=()
    for name in "${fuzzers[@]}"; do
        targets+=("fuzz_${name}")
    done
    cmake --build "$build" -j"$jobs" --target "${targets[@]}"
    rm -f "$build"/fuzz/*.profraw
    objects=()
    for name in "${fuzzers[@]}"; do
        inputs=("fuzz/corpus/$name")
        [ -d "build-fuzzers/fuzz/corpus/$name" ] && [ -n "$(ls -A "build-fuzzers/fuzz/corpus/$name")" ] &&
            inputs+=("build-fuzzers/fuzz/corpus/$name")
        # -runs=0: every input once, no fuzzing.
        LLVM_PROFILE_FILE="$build/fuzz/$name.profraw" "$build/fuzz/fuzz_${name}" -runs=0 "${inputs[@]}"
        objects+=(-object "$build/fuzz/fuzz_${name}")
    done
    llvm-profdata merge -sparse "$build"/fuzz/*.profraw -o "$build/fuzz/fuzz.profdata"
    llvm-cov report "${objects[@]:1}" -instr-profile="$build/fuzz/fuzz.profdata" \
        protocol/framecheck.cpp protocol/deviceinfoparse.cpp protocol/devicereport.cpp \
        app/mainwindow.cpp update/form.cpp recovery/recoveryform.cpp \
        common/busyanimation.cpp common/restartcountdown.cpp protocol/mqttclient.cpp
    echo "Line by line: llvm-cov show ${objects[*]:1} -instr-profile=$build/fuzz/fuzz.profdata <file>"
    exit 0
fi

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
    grep -E '^#[0-9]+[[:space:]]+(INITED|DONE)|^stat::(number_of_executed_units|average_exec_per_sec|new_units_added|peak_rss_mb)' "$log" || true
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
