#!/usr/bin/env bash
# Builds the benchmarks in a Release build (build-bench), runs them all and writes the table of
# figures, each next to a reference measured in the same run, to docs/performance.md.
#
#   scripts/bench.sh [--no-build]
#
# Everything runs on loopback in this machine's own network namespace: no broadcast, no
# packet to any other address. Raw outputs go to build-bench/bench-logs/.
set -euo pipefail

here="$(cd "$(dirname "$(readlink -f "$0")")" && pwd)"
repo="$(dirname "$here")"
build="$repo/build-bench"
logs="$build/bench-logs"
out="$repo/docs/performance.md"
benches=(bench_discovery bench_udpburst bench_stream bench_md5 bench_startup)

say() { echo "bench: $*" >&2; }

build_it=1
case "${1:-}" in
--no-build) build_it=0 ;;
"") ;;
*)
    sed -n '2,/^set -euo/p' "$0" | sed -e '$d' -e 's/^# \{0,1\}//' >&2
    exit 2
    ;;
esac

for tool in cmake ninja md5sum awk; do
    command -v "$tool" >/dev/null || {
        say "$tool is missing"
        exit 1
    }
done

if [ "$build_it" = 1 ]; then
    say "configuring and building the benchmarks (Release, $build)"
    cmake -S "$repo" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
    ninja -C "$build" -j2 "${benches[@]}" >&2
fi
mkdir -p "$logs"
export QT_QPA_PLATFORM=offscreen
# Other work on the machine shows in every figure; the table says how busy it was.
load_before="$(cut -d' ' -f1-3 /proc/loadavg)"

run() {
    local name="$1"
    shift
    say "running $name $*"
    "$build/bench/$name" "$@" >"$logs/$name.txt" 2>"$logs/$name.err" || {
        say "$name failed; see $logs/$name.err"
        cat "$logs/$name.txt" "$logs/$name.err" >&2
        exit 1
    }
    cat "$logs/$name.txt" >&2
}
for b in "${benches[@]}"; do
    run "$b"
done

# ---------------------------------------------------------------- the table

rows="$logs/rows.txt"
: >"$rows"

# Discovery: the search (bench_discovery) against a bare socket (bench_udpburst), same bursts.
awk '
    FNR == 1 { file++ }
    file == 1 && $1 ~ /^[0-9]+$/ && NF >= 5 { sent[$1] = $2; listed[$1] = $3; last[$1] = $5 }
    file == 2 && $1 ~ /^[0-9]+$/ && NF >= 6 { bare[$1] = $3; barems[$1] = $5 }
    END {
        split("100 1000 5000", ns, " ")
        for (i = 1; i <= 3; i++) {
            n = ns[i]
            if (!(n in listed)) continue
            rate = (last[n] + 0 > 0) ? listed[n] / (last[n] / 1000) : 0
            brate = (barems[n] + 0 > 0) ? bare[n] / (barems[n] / 1000) : 0
            printf "Discovery: %d replies in one burst|%d listed (loss %d), %.0f replies/s, last row after %.1f ms|bare socket: %d received (loss %d), %.0f/s in %.1f ms|listing rate %.2f of the bare socket'"'"'s; loopback, sent at once\n", \
                n, listed[n], n - listed[n], rate, last[n], bare[n], n - bare[n], brate, barems[n], \
                (brate > 0 ? rate / brate : 0)
        }
    }' "$logs/bench_discovery.txt" "$logs/bench_udpburst.txt" >>"$rows"

# Stream: achieved rate against the pacing limit, peak memory with a slow reader.
awk '
    /Achieved rate/ { section = "rate" }
    /Peak memory/ { section = "memory" }
    section == "rate" && /chunk/ {
        mode = $1; chunk = $3
        match($0, /= [0-9.]+ MiB\/s/); got = substr($0, RSTART + 2, RLENGTH - 8)
        match($0, /limit [0-9.]+ MiB\/s/); lim = substr($0, RSTART + 6, RLENGTH - 12)
        printf "Stream rate, %s image (%s MiB chunks, 200 ms apart), fast reader|%s MiB/s|pacing limit %s MiB/s|ratio %.3f; 32 MiB image over loopback\n", \
            mode, chunk, got, lim, (lim + 0 > 0 ? got / lim : 0)
    }
    section == "memory" && /chunk/ {
        mode = $1; chunk = $3
        match($0, /resident [0-9.]+ MiB before/); before = substr($0, RSTART + 9, RLENGTH - 20)
        match($0, /peak [0-9.]+ MiB during/); peak = substr($0, RSTART + 5, RLENGTH - 16)
        match($0, /= [0-9.]+ MiB\/s/); got = substr($0, RSTART + 2, RLENGTH - 8)
        printf "Peak memory streaming a 64 MiB %s image to a 2 MiB/s reader|+%.1f MiB (%.1f MiB peak)|the image: 64 MiB; one chunk: %s MiB|%s MiB/s achieved against the slow reader\n", \
            mode, peak - before, peak, chunk, got
    }' "$logs/bench_stream.txt" >>"$rows"

# MD5 and start-up print their own rows.
grep -h '^TABLE|' "$logs/bench_md5.txt" "$logs/bench_startup.txt" | cut -d'|' -f2- >>"$rows"

load_after="$(cut -d' ' -f1-3 /proc/loadavg)"
cpu="$(awk -F': ' '/^model name/ { print $2; exit }' /proc/cpuinfo)"
qt="$(pkg-config --modversion Qt5Core 2>/dev/null || echo unknown)"
cxx="$(awk -F'=' '/^CMAKE_CXX_COMPILER:/ { print $2 }' "$build/CMakeCache.txt" 2>/dev/null)"
cxxv="$("${cxx:-c++}" --version 2>/dev/null | head -n1)"

{
    echo "# Performance"
    echo
    echo "Figures measured by \`scripts/bench.sh\` (Release build in \`build-bench\`, offscreen"
    echo "platform, loopback only), each next to a reference measured in the same run on the same"
    echo "machine. Raw outputs: \`build-bench/bench-logs/\`."
    echo
    echo "Machine: $(nproc) CPUs, ${cpu:-unknown CPU}; $(uname -sr); Qt $qt; ${cxxv:-unknown compiler};"
    echo "measured $(date -u '+%Y-%m-%d %H:%M UTC'); load average (1, 5, 15 min) $load_before at the"
    echo "start, $load_after at the end."
    echo
    echo "| Figure | Measured | Reference | Ratio / notes |"
    echo "|---|---|---|---|"
    while IFS='|' read -r figure value reference notes; do
        echo "| $figure | $value | $reference | $notes |"
    done <"$rows"
    echo
    echo "How each figure is taken:"
    echo
    echo "- Discovery: \`bench_discovery\` fires N valid replies from loopback at the search in one"
    echo "  burst and counts the rows; \`bench_udpburst\` sends the same bursts to a bare socket with"
    echo "  the same receive buffer (read and frame-checked only). Rate = rows / time to the last row."
    echo "- Stream: \`bench_stream\` drives the update window as an operator does (Browser, Start, Yes)"
    echo "  against a broker on loopback and a receiver process on the stream port; the pacing allows"
    echo "  one chunk per 200 ms (5 MiB/s camera, 10 MiB/s system). Rate = bytes after the first chunk"
    echo "  / time from the first to the last byte at the receiver; memory from the request's publish on."
    echo "- MD5: \`bench_md5\` runs, in each of three rounds on the same 1 GiB file in the page cache,"
    echo "  \`md5sum\`, the update window's digest (worker thread, local event loop), Qt's and OpenSSL's"
    echo "  MD5 on one thread, and an operator's run of the window (Browser, Start, Yes) until a peer on"
    echo "  the box's broker receives the request; the stall is the longest gap between runs of a 1 ms"
    echo "  timer, the memory the peak resident (VmHWM) above the resident before."
    echo "- Start-up: \`bench_startup\` starts a child process that shows the main window and prints"
    echo "  the time of its first paint; the references are the same child showing an empty QWidget"
    echo "  and a bare \`/bin/true\`. Resident memory is VmRSS one idle second after the first paint."
} >"$out"
say "wrote $out"
cat "$out"
