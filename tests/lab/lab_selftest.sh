#!/usr/bin/env bash
# The lab's own life cycle: a lab with two networks set up and torn down, nothing of it left
# behind, nothing added to the machine's own network namespace.
#   lab_selftest.sh LAB_SCRIPT BOXSIM        (exit 77: skipped, the lab cannot be made here)
set -euo pipefail
lab="$1"
boxsim="$2"

fail() {
    echo "FAIL: $*" >&2
    exit 1
}
root_net() { ip -o link show | awk -F': ' '{print $2}' | sort; ip -o addr show | awk '{print $2, $4}' | sort; }
before="$(root_net)"

set +e
out="$("$lab" up 2 --two-nets --boxsim "$boxsim")"
rc=$?
set -e
[ "$rc" -eq 77 ] && exit 77
[ "$rc" -eq 0 ] || fail "lab.sh up exited with $rc"
id="$(echo "$out" | sed -n 's/^TALIX_LAB_ID=//p' | tail -n1)"
[ -n "$id" ] || fail "no lab id in: $out"
# Whatever happens below, the lab goes again.
trap '"$lab" down --id "$id" >/dev/null 2>&1 || true' EXIT
dir="${TALIX_LAB_ROOT:-$(dirname "$(readlink -f "$lab")")/../lab-run}/$id"
"$lab" list | grep -qx "$id" || fail "lab.sh list does not show $id"

# Namespaces and processes as recorded; the lab's addresses live in the lab only.
[ "$(wc -l <"$dir/namespaces")" -eq 3 ] || fail "expected 3 namespaces"
[ "$(wc -l <"$dir/pids")" -eq 4 ] || fail "expected 4 processes"
while read -r pid _ tag; do
    kill -0 "$pid" 2>/dev/null || fail "$tag ($pid) is not running"
done <"$dir/pids"
[ "$(root_net)" = "$before" ] || fail "the machine's own namespace changed"
in_lab() { "$lab" exec --id "$id" "$@"; }
in_lab ip -o addr show br0 | grep -q "inet 10.77.0.1/24" || fail "no 10.77.0.1 on br0"
in_lab ip -o addr show br1 | grep -q "inet 10.77.1.1/24" || fail "no 10.77.1.1 on br1"
in_lab ip -o addr show ws1 | grep -q "inet 10.77.0.2/24" || fail "no second way onto the first network"
[ "$(in_lab ip route show default)" = "default dev br0 scope link " ] || fail "default route not br0 alone"
in_lab printenv TALIX_LAB_BOX_2_IP | grep -qx 10.77.1.12 || fail "box 2 is not on the second network"
ip netns exec "$id-b2" ip -o addr show eth0 | grep -q "inet 10.77.1.12/24" || fail "box 2 has no 10.77.1.12"

# Down: namespaces gone, every recorded process ended, the directory removed.
namespaces="$(cat "$dir/namespaces")"
pids="$(cat "$dir/pids")"
"$lab" down --id "$id"
trap - EXIT
for ns in $namespaces; do
    ip netns list | grep -q "^$ns\b" && fail "namespace $ns left behind"
done
while read -r pid _ tag; do
    state="$(awk '{print $3}' "/proc/$pid/stat" 2>/dev/null || true)"
    [ -z "$state" ] || [ "$state" = Z ] || fail "$tag ($pid) still running"
done <<<"$pids"
[ ! -e "$dir" ] || fail "$dir left behind"
[ "$(root_net)" = "$before" ] || fail "the machine's own namespace changed"
echo "lab self-test passed"
