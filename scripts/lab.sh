#!/usr/bin/env bash
# Virtual lab: a workstation network namespace and N simulated boxes on a private bridge, so
# the tool can use its real ports and the real broadcast without a packet reaching the
# machine's own network. Needs root (network namespaces).
#
#   lab.sh up N [options]              set a lab up; prints TALIX_LAB_ID=<id> on its last line
#                                      (exit 77 when namespaces cannot be made here)
#   lab.sh down [--id ID]              tear a lab down (the only one there is, without --id)
#   lab.sh exec [--id ID] CMD [ARG...] run CMD in the lab's workstation namespace
#   lab.sh list                        the labs that are up
#   lab.sh run N BUILDDIR [options]    up, run BUILDDIR/app/talix-toolkits inside, down on exit
#   lab.sh test N [options] EXE [ARG...]
#                                      up, run EXE inside, down; exits with EXE's code, or 77
#                                      (skipped) when namespaces cannot be made here
# Options of up, run and test:
#   --boxsim PATH        the simulator (default $TALIX_BOXSIM, or BUILDDIR/tools/boxsim/talix-boxsim)
#   --box-args I ARGS    extra talix-boxsim options for box I (1-based), e.g. "--update fail"
#   --keep               keep the lab's directory (configs and logs) after teardown
#   --two-nets           two networks: the workstation on both, odd boxes on the first, even
#                        boxes on the second (N >= 2)
#
# Layout of a lab: namespace <id>-ws holds the bridge br0 with 10.77.0.1/24 and a default
# route on it (so 255.255.255.255 goes out on the bridge and nowhere else); namespace <id>-bI
# holds eth0 with 10.77.0.(10+I)/24, a mosquitto on 0.0.0.0:1883 and one talix-boxsim.
# With --two-nets the workstation also holds br1 with 10.77.1.1/24, a second private bridge
# without a default route, and even boxes sit there with 10.77.1.(10+I)/24; and it reaches the
# first network a second way, ws1 with 10.77.0.2/24 (a laptop there by wire and Wi-Fi).
# Nothing is added to the machine's own namespace. The commands run inside get TALIX_LAB_*
# variables describing every box (see lab.env in the lab's directory).
set -euo pipefail

here="$(cd "$(dirname "$(readlink -f "$0")")" && pwd)"
repo="$(dirname "$here")"
lab_root="${TALIX_LAB_ROOT:-$repo/lab-run}"
subnet_prefix="10.77.0"
ws_ip="$subnet_prefix.1"
NETS=1

# The network of box I (1 or 2) and its subnet's first three octets.
box_net() { if [ "$NETS" = 2 ] && [ $(($1 % 2)) -eq 0 ]; then echo 2; else echo 1; fi; }
net_prefix() { echo "10.77.$(($1 - 1))"; }

say() { echo "lab: $*" >&2; }
die() {
    say "$*"
    exit 1
}

# ---------------------------------------------------------------- checks

# Prints why a lab cannot be made here, or nothing.
why_not_possible() {
    if [ "$(id -u)" -ne 0 ]; then
        echo "network namespaces need root (running as uid $(id -u))"
        return
    fi
    command -v ip >/dev/null 2>&1 || {
        echo "the 'ip' command (iproute2) is not installed"
        return
    }
    mosquitto_bin >/dev/null || {
        echo "mosquitto is not installed"
        return
    }
    local probe="tlxprobe-$$-$RANDOM" err
    if ! err="$(ip netns add "$probe" 2>&1)"; then
        echo "'ip netns add' failed: $err"
        return
    fi
    ip netns del "$probe" 2>/dev/null || true
}

mosquitto_bin() {
    local p
    for p in /usr/sbin/mosquitto /usr/bin/mosquitto; do
        [ -x "$p" ] && {
            echo "$p"
            return 0
        }
    done
    command -v mosquitto
}

# ---------------------------------------------------------------- process bookkeeping

# A process is gone when it no longer exists or is a zombie waiting for its parent.
# Builtins only: teardown checks every process many times.
alive() {
    local stat state
    { read -r stat <"/proc/$1/stat"; } 2>/dev/null || return 1
    state="${stat##*) }"
    state="${state%% *}"
    [ -n "$state" ] && [ "$state" != Z ] && [ "$state" != X ]
}

ip_bin="$(readlink -f "$(command -v ip 2>/dev/null || echo /usr/sbin/ip)")"
bash_bin="$(readlink -f "$BASH")"

# Whether PID still runs the program recorded for it (or is the shell or `ip` on the way to
# exec it, just after the start); a recycled PID is left alone.
is_ours() {
    local pid="$1" exe="$2"
    alive "$pid" || return 1
    [ -n "$exe" ] || return 0
    [ "/proc/$pid/exe" -ef "$exe" ] || [ "/proc/$pid/exe" -ef "$ip_bin" ] \
        || [ "/proc/$pid/exe" -ef "$bash_bin" ]
}

# Ends processes this lab started, given as "PID EXE" lines on stdin: TERM to all of them
# at once, KILL to those still there after 5 s.
end_processes() {
    local pid exe pids=() i left
    while read -r pid exe _; do
        [ -n "$pid" ] || continue
        if is_ours "$pid" "$exe"; then
            kill -TERM "$pid" 2>/dev/null && pids+=("$pid")
        fi
    done
    for i in $(seq 50); do
        left=0
        for pid in "${pids[@]}"; do
            alive "$pid" && left=$((left + 1))
        done
        [ "$left" -eq 0 ] && break
        sleep 0.1
    done
    for pid in "${pids[@]}"; do
        if alive "$pid"; then
            kill -KILL "$pid" 2>/dev/null || true
        fi
        wait "$pid" 2>/dev/null || true
    done
}

end_process() { echo "$1 $2" | end_processes; }

# Starts a program in a namespace in the background, output appended to OUT and ERR, and
# records "PID EXE TAG". `ip netns exec` replaces itself with the program, so $! is the
# program's own PID.
start_in_ns() {
    local dir="$1" ns="$2" tag="$3" out="$4" err="$5"
    shift 5
    ip netns exec "$ns" "$@" >>"$out" 2>>"$err" </dev/null &
    local pid=$!
    echo "$pid $(readlink -f "$1") $tag" >>"$dir/pids"
}

# Box I's broker: mosquitto on 0.0.0.0:1883 in the box's namespace.
start_broker() {
    local dir="$1" i="$2"
    start_in_ns "$dir" "$TALIX_LAB_ID-b$i" "box$i-broker" "$dir/box$i/mosquitto.log" \
        "$dir/box$i/mosquitto.log" "$(mosquitto_bin)" -c "$dir/box$i/mosquitto.conf"
}

# Box I's simulator with the box's identity (from lab.env, sourced) and extra options.
start_sim() {
    local dir="$1" i="$2" v="TALIX_LAB_BOX_${2}_"
    shift 2
    local ipv="${v}IP" macv="${v}MAC" snv="${v}SN" namev="${v}NAME" camv="${v}CAMERA_TYPE"
    local osv="${v}OS_VERSION" fwv="${v}CAMERA_FW"
    start_in_ns "$dir" "$TALIX_LAB_ID-b$i" "box$i-sim" "$dir/box$i/boxsim.log" \
        "$dir/box$i/boxsim.err" "$TALIX_LAB_BOXSIM" --ip "${!ipv}" --mac "${!macv}" \
        --sn "${!snv}" --name "${!namev}" --camera-type "${!camv}" --os-version "${!osv}" \
        --camera-fw "${!fwv}" --broker-host 127.0.0.1 --broker-port 1883 "$@"
}

# Waits (bounded) until box I's simulator, started after line SKIP of its log, is ready:
# listening, and subscribed when its broker runs.
wait_sim_ready() {
    local dir="$1" i="$2" skip="$3" need_broker="$4" deadline=$((SECONDS + 20)) log
    log="$dir/box$i/boxsim.log"
    while :; do
        if tail -n +"$((skip + 1))" "$log" 2>/dev/null | grep -q '^READY '; then
            [ "$need_broker" = 1 ] || return 0
            tail -n +"$((skip + 1))" "$log" | grep -q '^MQTT_SUBSCRIBE .*ok=1' && return 0
        fi
        if [ "$SECONDS" -ge "$deadline" ]; then
            say "box $i is not ready: $(tail -n 3 "$log" "$dir/box$i/boxsim.err" \
                "$dir/box$i/mosquitto.log" 2>/dev/null | tr '\n' ' ')"
            return 1
        fi
        sleep 0.1
    done
}

# ---------------------------------------------------------------- set up / tear down

lab_dir_of() { echo "$lab_root/$1"; }

# Tears down everything the lab in $1 recorded, in reverse order, even if half made; what
# could not be removed is added to left_behind.
left_behind=()
teardown() {
    local dir="$1" keep="${2:-0}" ns
    [ -d "$dir" ] || return 0
    [ -f "$dir/pids" ] && end_processes <"$dir/pids"
    if [ -f "$dir/namespaces" ]; then
        # Anything still inside the lab's namespaces was started by the lab's own commands.
        while read -r ns; do
            [ -n "$ns" ] && ip netns pids "$ns" 2>/dev/null || true
        done <"$dir/namespaces" | end_processes
        while read -r ns; do
            [ -n "$ns" ] && { ip netns del "$ns" 2>/dev/null || true; }
        done < <(tac "$dir/namespaces")
        # Nothing of the lab may outlive it.
        while read -r ns; do
            [ -n "$ns" ] && ip netns list | grep -q "^$ns\b" && left_behind+=("namespace $ns")
        done <"$dir/namespaces"
    fi
    if [ -f "$dir/pids" ]; then
        while read -r pid exe tag; do
            alive "$pid" && is_ours "$pid" "$exe" && left_behind+=("$tag ($pid)")
        done <"$dir/pids"
    fi
    if [ "$keep" = 1 ]; then
        : >"$dir/down"
        say "lab $(basename "$dir") is down; its files are in $dir"
    else
        rm -rf "$dir"
    fi
}

add_ns() {
    local dir="$1" ns="$2"
    ip netns add "$ns"
    echo "$ns" >>"$dir/namespaces"
    ip -n "$ns" link set lo up
    # IPv6 chatter (router solicitations, DAD) only clutters captures of the lab.
    ip netns exec "$ns" sh -c 'echo 1 > /proc/sys/net/ipv6/conf/all/disable_ipv6' 2>/dev/null || true
}

# Box identity: distinct, predictable texts that tests read back from lab.env.
box_env() {
    local i="$1" dir="$2" net
    net="$(box_net "$i")"
    printf 'TALIX_LAB_BOX_%d_NET=%q\n' "$i" "$net"
    printf 'TALIX_LAB_BOX_%d_WS_IP=%q\n' "$i" "$(net_prefix "$net").1"
    printf 'TALIX_LAB_BOX_%d_IP=%q\n' "$i" "$(net_prefix "$net").$((10 + i))"
    printf 'TALIX_LAB_BOX_%d_MAC=%q\n' "$i" "$(printf '02:77:00:00:%02X:%02X' $((i / 256)) $((i % 256)))"
    printf 'TALIX_LAB_BOX_%d_SN=%q\n' "$i" "$(printf 'TLX-SIM-%04d' "$i")"
    printf 'TALIX_LAB_BOX_%d_NAME=%q\n' "$i" "Lab Box $i"
    printf 'TALIX_LAB_BOX_%d_CAMERA_TYPE=%q\n' "$i" "SimCam-$i"
    printf 'TALIX_LAB_BOX_%d_OS_VERSION=%q\n' "$i" "OS 1.0.$i"
    printf 'TALIX_LAB_BOX_%d_CAMERA_FW=%q\n' "$i" "CFW 2.0.$i"
    printf 'TALIX_LAB_BOX_%d_LOG=%q\n' "$i" "$dir/box$i/boxsim.log"
}

# lab_up N BOXSIM KEEP -> sets LAB_ID and LAB_DIR; every failure tears down what was made.
lab_up() {
    local n="$1" boxsim="$2" i ns ws id dir
    [[ "$n" =~ ^[0-9]+$ ]] && [ "$n" -ge 1 ] && [ "$n" -le 200 ] || die "N must be 1 to 200, got '$n'"
    [ "$NETS" = 1 ] || [ "$n" -ge 2 ] || die "--two-nets needs at least 2 boxes, one on each network"
    [ -x "$boxsim" ] || die "simulator not found or not executable: $boxsim (build talix-boxsim)"
    boxsim="$(readlink -f "$boxsim")"

    id="tlx$(printf '%x%04x' $$ $((RANDOM)))"
    dir="$(lab_dir_of "$id")"
    mkdir -p "$dir"
    : >"$dir/namespaces"
    : >"$dir/pids"
    LAB_ID="$id"
    LAB_DIR="$dir"

    ws="$id-ws"
    add_ns "$dir" "$ws"
    ip -n "$ws" link add br0 type bridge
    ip -n "$ws" addr add "$ws_ip/24" dev br0
    ip -n "$ws" link set br0 up
    # The limited broadcast needs a route; this one exists only in the workstation namespace
    # and leads onto the lab's bridge.
    ip -n "$ws" route add default dev br0
    if [ "$NETS" = 2 ]; then
        # The second network: another private bridge, reached only through its own subnet.
        ip -n "$ws" link add br1 type bridge
        ip -n "$ws" addr add "$(net_prefix 2).1/24" dev br1
        ip -n "$ws" link set br1 up
        # A second interface on the first network: a search must still reach its boxes once.
        ip -n "$ws" link add ws1 type veth peer name ws1p
        ip -n "$ws" link set ws1p master br0
        ip -n "$ws" link set ws1p up
        ip -n "$ws" addr add "$subnet_prefix.2/24" dev ws1
        ip -n "$ws" link set ws1 up
    fi

    {
        echo "TALIX_LAB_ID=$id"
        echo "TALIX_LAB_DIR=$dir"
        echo "TALIX_LAB_NS=$ws"
        echo "TALIX_LAB_WS_IP=$ws_ip"
        echo "TALIX_LAB_BOXES=$n"
        echo "TALIX_LAB_NETS=$NETS"
    } >"$dir/lab.env"

    for i in $(seq "$n"); do
        ns="$id-b$i"
        add_ns "$dir" "$ns"
        # Both ends are made from inside the namespaces, so no interface ever appears in the
        # machine's own namespace.
        ip -n "$ws" link add "vb$i" type veth peer name eth0 netns "$ns"
        ip -n "$ws" link set "vb$i" master "br$(($(box_net "$i") - 1))"
        ip -n "$ws" link set "vb$i" up
        ip -n "$ns" addr add "$(net_prefix "$(box_net "$i")").$((10 + i))/24" dev eth0
        ip -n "$ns" link set eth0 up

        mkdir -p "$dir/box$i"
        box_env "$i" "$dir" >>"$dir/lab.env"
        printf 'TALIX_LAB_BOX_%d_EXTRA=%q\n' "$i" "${BOX_ARGS[$i]:-}" >>"$dir/lab.env"
        cat >"$dir/box$i/mosquitto.conf" <<EOF
listener 1883 0.0.0.0
allow_anonymous true
persistence false
log_dest stdout
log_type error
log_type warning
log_type notice
EOF
    done

    {
        echo "TALIX_LAB_BOXSIM=$boxsim"
        echo "TALIX_LAB_SCRIPT=$here/lab.sh"
    } >>"$dir/lab.env"
    # shellcheck disable=SC1091
    . "$dir/lab.env"
    for i in $(seq "$n"); do
        start_broker "$dir" "$i"
    done
    # Simulators after all brokers, so each finds its broker on its first attempts.
    for i in $(seq "$n"); do
        local extra=()
        # Extra options are a shell-quoted string given by the caller of this script.
        eval "extra=(${BOX_ARGS[$i]:-})"
        start_sim "$dir" "$i" "${extra[@]}"
    done
    for i in $(seq "$n"); do
        wait_sim_ready "$dir" "$i" 0 1
    done
    if [ "$NETS" = 2 ]; then
        say "lab $id is up: workstation $ws_ip and $(net_prefix 2).1 in namespace $ws, odd boxes on $subnet_prefix.0/24, even boxes on $(net_prefix 2).0/24"
    else
        say "lab $id is up: workstation $ws_ip in namespace $ws, boxes $subnet_prefix.11..$((10 + n))"
    fi
}

# ---------------------------------------------------------------- commands

usage() {
    sed -n '2,/^set -euo/p' "$0" | sed -e '$d' -e 's/^# \{0,1\}//'
    exit 2
}

# Ids of the labs that are up (a lab torn down with --keep leaves its directory behind).
labs_up() {
    local d
    for d in "$lab_root"/*/; do
        [ -f "$d/lab.env" ] && [ ! -e "$d/down" ] && basename "$d"
    done
    return 0
}

find_lab() {
    local id="${1:-${TALIX_LAB_ID:-}}"
    if [ -z "$id" ]; then
        local labs=()
        mapfile -t labs < <(labs_up)
        [ "${#labs[@]}" -eq 1 ] || die "${#labs[@]} labs are up (${labs[*]:-}); say which with --id"
        id="${labs[0]}"
    fi
    [ -f "$(lab_dir_of "$id")/lab.env" ] && [ ! -e "$(lab_dir_of "$id")/down" ] \
        || die "no lab with id '$id' is up under $lab_root"
    echo "$id"
}

# Runs a command in the workstation namespace with the lab's variables in its environment.
run_in_ws() {
    local dir="$1"
    shift
    set -a
    # shellcheck disable=SC1091
    . "$dir/lab.env"
    set +a
    ip netns exec "$TALIX_LAB_NS" "$@"
}

declare -A BOX_ARGS=()
BOXSIM="${TALIX_BOXSIM:-}"
KEEP=0
# Parses the options of up/run/test into BOX_ARGS, BOXSIM, KEEP; the rest goes to REST.
parse_lab_options() {
    REST=()
    while [ $# -gt 0 ]; do
        case "$1" in
        --boxsim)
            BOXSIM="$2"
            shift 2
            ;;
        --box-args)
            [[ "${2:-}" =~ ^[0-9]+$ ]] || die "--box-args needs a box number"
            BOX_ARGS[$2]="${3:-}"
            shift 3
            ;;
        --keep)
            KEEP=1
            shift
            ;;
        --two-nets)
            NETS=2
            shift
            ;;
        *)
            REST=("$@")
            return
            ;;
        esac
    done
}

cmd="${1:-}"
[ -n "$cmd" ] || usage
shift

case "$cmd" in
up)
    n="${1:-}"
    shift || true
    parse_lab_options "$@"
    [ ${#REST[@]} -eq 0 ] || die "up: unexpected argument '${REST[0]}'"
    reason="$(why_not_possible)"
    if [ -n "$reason" ]; then
        say "cannot set up a lab: $reason"
        exit 77
    fi
    [ -n "$BOXSIM" ] || die "say where talix-boxsim is: --boxsim PATH or TALIX_BOXSIM"
    LAB_DIR=""
    up_done=0
    # A failure anywhere in the set-up takes down what was made so far.
    trap '[ "$up_done" = 1 ] || [ -z "$LAB_DIR" ] || teardown "$LAB_DIR" 1' EXIT
    lab_up "$n" "$BOXSIM"
    up_done=1
    echo "TALIX_LAB_ID=$LAB_ID"
    ;;
down)
    id=""
    while [ $# -gt 0 ]; do
        case "$1" in
        --id)
            id="${2:-}"
            shift 2
            ;;
        --keep)
            KEEP=1
            shift
            ;;
        *) die "down: unknown option $1" ;;
        esac
    done
    id="$(find_lab "$id")"
    teardown "$(lab_dir_of "$id")" "$KEEP"
    ;;
exec)
    id=""
    if [ "${1:-}" = --id ]; then
        id="$2"
        shift 2
    fi
    [ $# -gt 0 ] || die "exec needs a command"
    id="$(find_lab "$id")"
    run_in_ws "$(lab_dir_of "$id")" "$@"
    ;;
list)
    labs_up
    ;;
run | test)
    n="${1:-}"
    shift || true
    if [ "$cmd" = run ]; then
        builddir="${1:-}"
        [ -n "$builddir" ] || die "run needs the build directory"
        shift
        builddir="$(readlink -f "$builddir")"
        [ -x "$builddir/app/talix-toolkits" ] || die "no tool at $builddir/app/talix-toolkits (build first)"
        [ -n "$BOXSIM" ] || BOXSIM="$builddir/tools/boxsim/talix-boxsim"
    fi
    parse_lab_options "$@"
    set -- "${REST[@]}"
    [ "$cmd" = test ] || [ $# -eq 0 ] || die "run: unexpected argument '$1'"

    reason="$(why_not_possible)"
    if [ -n "$reason" ]; then
        if [ "$cmd" = test ]; then
            say "skipped: $reason"
            exit 77
        fi
        die "the lab cannot be set up here: $reason"
    fi
    if [ "$cmd" = test ]; then
        [ $# -gt 0 ] || die "test needs the executable to run"
        [ -n "$BOXSIM" ] || BOXSIM="$(dirname "$(readlink -f "$1")")/../tools/boxsim/talix-boxsim"
    fi

    LAB_DIR=""
    status=1
    extra_pids=()
    cleanup() {
        local pid
        for pid in "${extra_pids[@]}"; do
            end_process "$pid" ""
        done
        if [ -n "$LAB_DIR" ]; then
            if [ "$status" -ne 0 ] && [ "$cmd" = test ]; then
                local f
                for f in "$LAB_DIR"/box*/boxsim.log; do
                    [ -f "$f" ] && say "--- $(basename "$(dirname "$f")") log (last lines):" \
                        && tail -n 15 "$f" >&2
                done
                teardown "$LAB_DIR" 1
            else
                teardown "$LAB_DIR" "$KEEP"
            fi
        fi
    }
    trap cleanup EXIT
    trap 'exit 130' INT TERM HUP

    # The machine's own namespace, to show that a test leaves it as it found it.
    own_net() { ip -o link show | awk -F': ' '{print $2}' | sort; ip -o addr show | awk '{print $2, $4}' | sort; }
    own_before="$(own_net)"
    lab_up "$n" "$BOXSIM"

    if [ "$cmd" = test ]; then
        set +e
        run_in_ws "$LAB_DIR" "$@"
        status=$?
        set -e
        [ "$(own_net)" = "$own_before" ] || { say "FAIL: the machine's own namespace changed"; status=1; }
        trap - EXIT
        cleanup
        [ "$(own_net)" = "$own_before" ] || { say "FAIL: the machine's own namespace changed"; status=1; }
        [ ${#left_behind[@]} -eq 0 ] || { say "FAIL: left behind: ${left_behind[*]}"; status=1; }
        exit "$status"
    fi

    # run: the tool inside the workstation namespace, on the operator's display or a virtual one.
    if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
        command -v Xvfb >/dev/null || die "no display and no Xvfb"
        # Xvfb picks a free display number itself and writes it to the descriptor given.
        display_file="$LAB_DIR/xvfb.display"
        Xvfb -displayfd 9 -screen 0 1280x800x24 -dpi 96 -nolisten tcp 9>"$display_file" >/dev/null 2>&1 &
        extra_pids+=("$!")
        for _ in $(seq 100); do
            [ -s "$display_file" ] && break
            sleep 0.1
        done
        display_number="$(tr -dc 0-9 <"$display_file")"
        [ -n "$display_number" ] || die "Xvfb did not start"
        export DISPLAY=":$display_number"
        say "no display available: started a virtual one (Xvfb $DISPLAY)"
    fi
    case "${DISPLAY:-}" in
    ?*:*[0-9]*)
        [ "${DISPLAY%%:*}" = unix ] \
            || say "warning: DISPLAY=$DISPLAY is reached over TCP, which the lab's namespace cannot do; unset DISPLAY to get a virtual display"
        ;;
    esac
    say "boxes:"
    # shellcheck disable=SC1091
    . "$LAB_DIR/lab.env"
    for i in $(seq "$n"); do
        v="TALIX_LAB_BOX_${i}_IP"
        w="TALIX_LAB_BOX_${i}_NAME"
        u="TALIX_LAB_BOX_${i}_NET"
        say "  ${!v}  ${!w}  network ${!u}  (log: $LAB_DIR/box$i/boxsim.log)"
    done
    say "starting the tool; closing it tears the lab down"
    cd "$builddir/app"
    set +e
    run_in_ws "$LAB_DIR" ./talix-toolkits
    status=$?
    set -e
    exit "$status"
    ;;
*)
    usage
    ;;
esac
