#!/usr/bin/env bash
# The lab's own life cycle: set up, parts of a box stopped and restarted, torn down, and
# nothing of it left behind, nothing added to the machine's own network namespace.
#   lab_selftest.sh LAB_SCRIPT BOXSIM        (exit 77: skipped, the lab cannot be made here)
set -euo pipefail
lab="$1"
boxsim="$2"

fail() {
    echo "FAIL: $*" >&2
    exit 1
}

# Waits (bounded) until FILE has at least COUNT lines matching PATTERN.
wait_lines() {
    local file="$1" pattern="$2" count="$3"
    for _ in $(seq 100); do
        [ "$(grep -c -- "$pattern" "$file" || true)" -ge "$count" ] && return 0
        sleep 0.1
    done
    fail "$file: expected $count lines matching '$pattern'"
}

root_links_before="$(ip -o link show | awk -F': ' '{print $2}' | sort)"
root_addrs_before="$(ip -o addr show | awk '{print $2, $4}' | sort)"

set +e
out="$("$lab" up 2 --boxsim "$boxsim")"
rc=$?
set -e
[ "$rc" -eq 77 ] && exit 77
[ "$rc" -eq 0 ] || fail "lab.sh up exited with $rc"
id="$(echo "$out" | sed -n 's/^TALIX_LAB_ID=//p' | tail -n1)"
[ -n "$id" ] || fail "no lab id in: $out"
# Whatever happens below, the lab goes again.
trap '"$lab" down --id "$id" >/dev/null 2>&1 || true' EXIT

dir="$(dirname "$(readlink -f "$lab")")/../lab-run/$id"
[ -n "${TALIX_LAB_ROOT:-}" ] && dir="$TALIX_LAB_ROOT/$id"
[ -f "$dir/lab.env" ] || fail "no lab.env in $dir"
"$lab" list | grep -qx "$id" || fail "lab.sh list does not show $id"

# Namespaces and processes as recorded.
[ "$(wc -l <"$dir/namespaces")" -eq 3 ] || fail "expected 3 namespaces"
while read -r ns; do
    ip netns list | grep -q "^$ns\b" || fail "namespace $ns missing"
done <"$dir/namespaces"
[ "$(wc -l <"$dir/pids")" -eq 4 ] || fail "expected 4 processes"
while read -r pid _ tag; do
    kill -0 "$pid" 2>/dev/null || fail "$tag ($pid) is not running"
done <"$dir/pids"

# The machine's own namespace is untouched; the lab's addresses live in the lab.
[ "$(ip -o link show | awk -F': ' '{print $2}' | sort)" = "$root_links_before" ] \
    || fail "interfaces changed in the machine's own namespace"
[ "$(ip -o addr show | awk '{print $2, $4}' | sort)" = "$root_addrs_before" ] \
    || fail "addresses changed in the machine's own namespace"
"$lab" exec --id "$id" ip -o addr show br0 | grep -q "inet 10.77.0.1/24" || fail "no 10.77.0.1 on br0"
"$lab" exec --id "$id" ip route show default | grep -q "dev br0" || fail "no default route on br0"
"$lab" exec --id "$id" printenv TALIX_LAB_BOX_2_IP | grep -qx 10.77.0.12 || fail "lab.env not exported"

# A broker killed and started again: the simulator notices and subscribes again.
log1="$dir/box1/boxsim.log"
"$lab" box --id "$id" 1 stop broker
wait_lines "$log1" '^MQTT state=lost' 1
"$lab" box --id "$id" 1 start broker
wait_lines "$log1" '^MQTT_SUBSCRIBE .*ok=1' 2

# A simulator restarted with other options logs on in the same file.
log2="$dir/box2/boxsim.log"
"$lab" box --id "$id" 2 stop sim
wait_lines "$log2" '^STOP signal=15' 1
"$lab" box --id "$id" 2 start sim --update silent --name "Renamed box"
grep '^START ' "$log2" | tail -n1 | grep -q 'update=silent' || fail "restarted simulator has old options"
# Options given later override the lab's identity options.
grep '^START ' "$log2" | tail -n1 | grep -q 'name="Renamed box"' || fail "--name not applied"

# Down: namespaces gone, every recorded process ended, the directory removed.
cp "$dir/pids" "$dir.pids"
cp "$dir/namespaces" "$dir.namespaces"
"$lab" down --id "$id"
trap - EXIT
while read -r ns; do
    ip netns list | grep -q "^$ns\b" && fail "namespace $ns left behind"
done <"$dir.namespaces"
while read -r pid _ tag; do
    state="$(awk '{print $3}' "/proc/$pid/stat" 2>/dev/null || true)"
    [ -z "$state" ] || [ "$state" = Z ] || fail "$tag ($pid) still running"
done <"$dir.pids"
rm -f "$dir.pids" "$dir.namespaces"
[ ! -e "$dir" ] || fail "$dir left behind"
echo "lab self-test passed"
