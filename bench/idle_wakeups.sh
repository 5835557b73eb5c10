#!/usr/bin/env bash
# Wake-ups of the idle velkor-proxy program, with and without --metrics: the
# voluntary context switches of all its threads (the
# voluntary_ctxt_switches of /proc/PID/task/*/status) over S idle seconds,
# per second. A thread that sleeps in the kernel until something happens
# adds none; one that waits in slices adds one per slice.
#
#   bench/idle_wakeups.sh [--windows PATH] [--linux PATH] [--seconds S]
#
# Without --linux and --windows it measures build/host/velkor-proxy and
# build-windows/velkor-proxy.exe (under Wine, in the prefix of
# scripts/wine-env.sh), skipping one that is not there. The program serves
# one route and no client; with --metrics it also serves its metrics page
# on 127.0.0.1, which nobody asks for. Target: --metrics adds less than one
# wake-up a second. The verdict is printed; the exit status is 0 either way.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
linux_bin="" windows_bin="" seconds=10
while [ $# -gt 0 ]; do
    case "$1" in
    --linux) linux_bin="$2"; shift ;;
    --windows) windows_bin="$2"; shift ;;
    --seconds) seconds="$2"; shift ;;
    -h|--help) sed -n '2,15p' "$0"; exit 0 ;;
    *) echo "idle_wakeups: unknown option $1" >&2; exit 2 ;;
    esac
    shift
done
[[ "$seconds" =~ ^[1-9][0-9]*$ ]] || { echo "idle_wakeups: --seconds wants a whole number" >&2; exit 2; }
if [ -z "$linux_bin$windows_bin" ]; then
    [ -x "$root/build/host/velkor-proxy" ] && linux_bin="$root/build/host/velkor-proxy"
    [ -f "$root/build-windows/velkor-proxy.exe" ] && windows_bin="$root/build-windows/velkor-proxy.exe"
fi
command -v wine >/dev/null || windows_bin=""
[ -z "$linux_bin" ] || linux_bin=$(realpath "$linux_bin")
[ -z "$windows_bin" ] || windows_bin=$(realpath "$windows_bin")

log() { printf 'idle_wakeups: %s\n' "$*" >&2; }

# shellcheck source=bench/free_ports.sh
. "$root/bench/free_ports.sh"

work=$(mktemp -d /tmp/velkor-idle-wakeups.XXXXXX)
running=""          # the program's wrapper while one runs
wine_started=0
# shellcheck disable=SC2317  # run by the trap
cleanup() {
    [ -z "$running" ] || { kill "$running" 2>/dev/null; wait "$running" 2>/dev/null || true; }
    [ "$wine_started" = 0 ] || "$root/scripts/wine-server" stop || true
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# shellcheck source=bench/descendants.sh
. "$root/bench/descendants.sh"

# "THREAD SWITCHES" for every thread of the processes given: its voluntary
# context switches so far.
switches() {
    local f
    for f in $(printf '/proc/%s/task/*/status ' "$@"); do
        awk -v t="$f" '/^voluntary_ctxt_switches:/ {print t, $2}' "$f" 2>/dev/null || true
    done
}

# Prints the wake-ups a second of one idle run: program ("linux" or
# "windows"), then the program's extra options.
measure() {
    local prog=$1 port metrics_port launcher t0 t1 pids
    shift
    read -r port metrics_port <<<"$(free_ports 2)"
    echo "{\"listen_port\": $port, \"routes\": [{\"target_port\": 9}]}" >"$work/idle.json"
    local extra=()
    [ "${1:-}" != --metrics ] || extra=(--metrics "127.0.0.1:$metrics_port")
    case "$prog" in
    linux) launcher=("$linux_bin") ;;
    windows) launcher=("$root/scripts/wine-run" "$windows_bin") ;;
    esac
    (cd "$work" && exec timeout -k 5 $((seconds + 90)) "${launcher[@]}" idle.json \
        --status-interval 3600 "${extra[@]}" </dev/null >"$work/out.log" 2>&1) &
    running=$!
    local deadline=$((SECONDS + 60))
    until (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null &&
          { [ ${#extra[@]} = 0 ] || (exec 3<>"/dev/tcp/127.0.0.1/$metrics_port") 2>/dev/null; }; do
        if [ $SECONDS -ge $deadline ] || ! kill -0 "$running" 2>/dev/null; then
            log "$prog ${extra[*]} did not start:"; sed 's/^/    /' "$work/out.log" >&2
            return 1
        fi
        sleep 0.1
    done
    sleep 2  # the probe connections above have been served
    read -r -a pids <<<"$(descendants "$running" | tr '\n' ' ')"
    t0=$(awk '{print $1}' /proc/uptime)
    switches "${pids[@]}" >"$work/before"
    sleep "$seconds"
    t1=$(awk '{print $1}' /proc/uptime)
    switches "${pids[@]}" >"$work/after"
    kill "$running" 2>/dev/null || true
    wait "$running" 2>/dev/null || true
    running=""
    # Only threads there at both readings count: a thread's start or end is
    # no idle wake-up.
    awk -v t0="$t0" -v t1="$t1" 'NR == FNR {seen[$1] = $2; next}
        $1 in seen {n += $2 - seen[$1]} END {printf "%.1f\n", n / (t1 - t0)}' \
        "$work/before" "$work/after"
}

[ -n "$linux_bin$windows_bin" ] || { log "no program to measure"; exit 0; }
if [ -n "$windows_bin" ]; then
    # shellcheck source=scripts/wine-env.sh
    . "$root/scripts/wine-env.sh"
    if [ ! -S "$(velkor_wineserver_socket)" ]; then
        "$root/scripts/wine-server" start 60
        wine_started=1
    fi
fi
echo "idle wake-ups of velkor-proxy a second, over ${seconds} s ($(date -u '+%F %H:%M UTC'))"
for prog in linux windows; do
    bin=$linux_bin
    [ "$prog" = linux ] || bin=$windows_bin
    [ -n "$bin" ] || continue
    plain=$(measure "$prog") || continue
    with=$(measure "$prog" --metrics) || continue
    verdict=$(awk -v a="$plain" -v b="$with" 'BEGIN {print (b - a < 1) ? "PASS" : "OVER"}')
    printf '%-8s without --metrics %6s   with --metrics %6s   %s\n' "$prog" "$plain" "$with" "$verdict"
done
exit 0
