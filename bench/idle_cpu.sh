#!/usr/bin/env bash
# Idle CPU cost of the velkor-proxy program: the Linux program natively and
# the Windows program (velkor-proxy.exe) under Wine, side by side.
#
#   bench/idle_cpu.sh            0, 50 and 200 idle connections, 10 s each
#   bench/idle_cpu.sh --smoke    0 and 5 connections, 1 s each: proves the
#                                chain works
#
# Options: --linux PATH (the Linux program), --windows PATH (velkor-proxy.exe),
# --seconds S (per measurement, default 10), --counts "0 50 200",
# --wineprefix DIR (a Wine prefix of its own instead of the one
# scripts/wine-env.sh chooses), --keep (keep the work dir).
# Without --linux and --windows it looks for build/host/velkor-proxy and
# build-windows/velkor-proxy.exe and skips a program that is not there; with
# either, it measures only the programs given.
#
# A small keep-alive backend (bench/idle_backend.py) listens on 127.0.0.1.
# For each program and each count N, a fresh instance of the program proxies
# to it (one route), bench/idle_conns.py opens N keep-alive connections
# through it, completes one request on each and holds them idle; once the
# program's thread count has settled, the CPU time it uses is sampled over S
# seconds from /proc: for the Linux program its own user + system time; for
# the Windows program that of its Wine process(es) plus that of the
# wineserver, which serves every wait and socket call a Wine program makes.
# Each line gives the CPU as a percentage of one core, its increase over the
# 0-connection figure, and how busy all CPUs were meanwhile (every process,
# also in % of one core), to tell whether other work shared the machine.
# Target: 200 idle connections cost less than 5 % of a core above 0
# connections; the verdict (PASS or OVER) is printed, the exit status is 0
# either way: a benchmark reports, it does not fail a build.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
bench="$root/bench"

linux_bin="" windows_bin="" seconds="" counts="" smoke=0 wineprefix="" keep=0
while [ $# -gt 0 ]; do
    case "$1" in
    --linux) linux_bin="$2"; shift ;;
    --windows) windows_bin="$2"; shift ;;
    --seconds) seconds="$2"; shift ;;
    --counts) counts="$2"; shift ;;
    --smoke) smoke=1 ;;
    --wineprefix) wineprefix="$2"; shift ;;
    --keep) keep=1 ;;
    -h|--help) sed -n '2,30p' "$0"; exit 0 ;;
    *) echo "idle_cpu: unknown option $1" >&2; exit 2 ;;
    esac
    shift
done
if [ "$smoke" = 1 ]; then
    seconds=${seconds:-1} counts=${counts:-0 5}
else
    seconds=${seconds:-10} counts=${counts:-0 50 200}
fi
read -r -a counts <<<"$counts"
[ ${#counts[@]} -gt 0 ] || { echo "idle_cpu: --counts is empty" >&2; exit 2; }
for n in "${counts[@]}"; do
    [[ "$n" =~ ^[0-9]+$ ]] || { echo "idle_cpu: not a whole number: $n" >&2; exit 2; }
done
if ! [[ "$seconds" =~ ^[0-9]+(\.[0-9]+)?$ ]] || [ "$(awk -v s="$seconds" 'BEGIN {print (s > 0)}')" != 1 ]; then
    echo "idle_cpu: --seconds wants a positive number" >&2
    exit 2
fi

target_conns=200 target_pct=5

log() { printf 'idle_cpu: %s\n' "$*" >&2; }
die() { log "$*"; exit 1; }

# ------------------------------------------------------------ programs ---

programs=()
if [ -z "$linux_bin" ] && [ -z "$windows_bin" ]; then
    if [ -x "$root/build/host/velkor-proxy" ]; then
        linux_bin="$root/build/host/velkor-proxy"
        programs+=(linux)
    else
        log "skipping the Linux program: no $root/build/host/velkor-proxy (cmake --preset default && cmake --build build --target velkor-proxy-host, or --linux PATH)"
    fi
    if [ -f "$root/build-windows/velkor-proxy.exe" ]; then
        windows_bin="$root/build-windows/velkor-proxy.exe"
        programs+=(windows)
    else
        log "skipping the Windows program: no $root/build-windows/velkor-proxy.exe (scripts/build-windows.sh, or --windows PATH)"
    fi
else
    if [ -n "$linux_bin" ]; then
        [ -x "$linux_bin" ] || die "--linux: $linux_bin is not an executable file"
        linux_bin=$(realpath "$linux_bin")
        programs+=(linux)
    fi
    if [ -n "$windows_bin" ]; then
        [ -f "$windows_bin" ] || die "--windows: no file $windows_bin"
        windows_bin=$(realpath "$windows_bin")
        programs+=(windows)
    fi
fi
if [ ${#programs[@]} -eq 0 ]; then
    log "no program to measure"
    exit 0
fi
if [[ " ${programs[*]} " == *" windows "* ]] && ! command -v wine >/dev/null; then
    log "skipping the Windows program: Wine is not installed (scripts/build-windows.sh packages)"
    programs=("${programs[@]/windows/}")
    read -r -a programs <<<"${programs[*]}"
    [ ${#programs[@]} -gt 0 ] || exit 0
fi

# Idle connections need two descriptors each in the program.
ulimit -n 65536 2>/dev/null || ulimit -n "$(ulimit -Hn)"

# ------------------------------------------------------- clean-up ---

work=$(mktemp -d /tmp/velkor-idle-cpu.XXXXXX)
pids=()             # everything started in the background, for the clean-up
wine_started=0      # whether this script started the wineserver

# Ends one process started here: SIGTERM, at most 10 s, then SIGKILL; then
# forgets it, so the clean-up never signals a reused process id.
stop() {
    local pid=$1 i rest=()
    if kill "$pid" 2>/dev/null; then
        for i in $(seq 100); do
            kill -0 "$pid" 2>/dev/null || break
            sleep 0.1
        done
        kill -9 "$pid" 2>/dev/null || true
    fi
    wait "$pid" 2>/dev/null || true
    for i in "${pids[@]}"; do [ "$i" = "$pid" ] || rest+=("$i"); done
    pids=("${rest[@]}")
}

# shellcheck disable=SC2317  # run by the trap
cleanup() {
    local i
    # Newest first: the idle client before the program (which would wait for
    # its open connections), the program before the backend.
    for ((i = ${#pids[@]} - 1; i >= 0; i--)); do stop "${pids[$i]}"; done
    if [ "$wine_started" = 1 ]; then "$root/scripts/wine-server" stop || true; fi
    if [ "$keep" = 1 ]; then log "work files kept in $work"; else rm -rf "$work"; fi
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# ------------------------------------------------------------ helpers ---

# shellcheck source=bench/free_ports.sh
. "$bench/free_ports.sh"

# Waits until 127.0.0.1:$1 accepts a connection while process $2 lives,
# at most $3 seconds.
wait_port() {
    local deadline=$((SECONDS + $3))
    until (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; do
        kill -0 "$2" 2>/dev/null || return 1
        [ $SECONDS -lt $deadline ] || return 1
        sleep 0.05
    done
}

# shellcheck source=bench/descendants.sh
. "$bench/descendants.sh"

# User + system CPU time of some processes, in clock ticks. Fields 14 and 15
# of /proc/PID/stat, counted after the command name (which may hold spaces).
cpu_ticks() {
    local pid line total=0
    local -a f
    for pid in "$@"; do
        line=$(cat "/proc/$pid/stat" 2>/dev/null) || continue
        read -r -a f <<<"${line##*) }"
        total=$((total + f[11] + f[12]))
    done
    echo "$total"
}

# Monotonic seconds with a fraction (the first field of /proc/uptime).
now() { awk '{print $1}' /proc/uptime; }

# Busy clock ticks of all CPUs together (user, nice, system, irq, softirq,
# steal), from /proc/stat.
machine_ticks() { awk '$1 == "cpu" {print $2 + $3 + $4 + $7 + $8 + $9; exit}' /proc/stat; }

# Ticks over an interval as a percentage of one core.
pct() {   # ticks t0 t1
    awk -v d="$1" -v hz="$hz" -v a="$2" -v b="$3" 'BEGIN {printf "%.1f", d / hz / (b - a) * 100}'
}

# The wineserver serving $WINEPREFIX: the one whose working directory is the
# folder of the socket (scripts/wine-env.sh).
wineserver_pid() {
    local dir pid
    dir=$(dirname "$(velkor_wineserver_socket)")
    for pid in $(pgrep wineserver || true); do
        [ "$(readlink "/proc/$pid/cwd" 2>/dev/null)" = "$dir" ] && { echo "$pid"; return 0; }
    done
    return 1
}

# ----------------------------------------------------------------- Wine ---

if [[ " ${programs[*]} " == *" windows "* ]]; then
    [ -z "$wineprefix" ] || export VELKOR_WINEPREFIX="$wineprefix"
    # shellcheck source=scripts/wine-env.sh
    . "$root/scripts/wine-env.sh"
    mkdir -p "$WINEPREFIX"
    if [ -S "$(velkor_wineserver_socket)" ]; then
        # Someone else's server: left running at the end. Whatever its other
        # clients do counts in the wineserver column.
        log "a wineserver already serves $WINEPREFIX: it is shared, so other Wine programs' work counts too (--wineprefix DIR for one of its own)"
    else
        [ -f "$WINEPREFIX/system.reg" ] || log "creating the Wine prefix $WINEPREFIX (once, about 10 s)"
        # Lingers 60 s after its last client, so it ends by itself even if
        # this script is killed before its clean-up.
        "$root/scripts/wine-server" start 60
        wine_started=1
    fi
    wineserver_pid >/dev/null || die "no wineserver found for $WINEPREFIX"
fi

# -------------------------------------------------------- measurements ---

hz=$(getconf CLK_TCK)
# Bounds: a measurement takes its S seconds plus at most 60 s to start the
# program, 150 s to get the connections ready and 15 s to settle.
bound=$(awk -v s="$seconds" 'BEGIN {printf "%d", s + 240}')
backend_life=$((bound * ${#programs[@]} * ${#counts[@]} + 60))

read -r backend_port <<<"$(free_ports 1)"
python3 "$bench/idle_backend.py" "$backend_port" "$backend_life" &
backend_pid=$!
pids+=("$backend_pid")
wait_port "$backend_port" "$backend_pid" 10 || die "the backend did not start"

results="$work/results.tsv"
: >"$results"

# Waits until the thread count of the program's processes has been the same
# for five readings 0.2 s apart, at most 15 s: the last connections' threads
# have reached their waits.
settle() {
    local same=0 prev=-1 cur deadline=$((SECONDS + 15)) p
    while [ $same -lt 5 ] && [ $SECONDS -lt $deadline ]; do
        cur=0
        for p in "$@"; do
            cur=$((cur + $(awk '/^Threads:/ {print $2}' "/proc/$p/status" 2>/dev/null || echo 0)))
        done
        if [ "$cur" = "$prev" ]; then same=$((same + 1)); else same=0; prev=$cur; fi
        sleep 0.2
    done
}

# Waits until the wineserver has used at most one clock tick in half a
# second, at most 20 s: Wine's own services have finished starting (or the
# previous program's end has been dealt with) and do not count in the next
# figure.
wine_quiet() {
    local ws before after deadline=$((SECONDS + 20))
    ws=$(wineserver_pid) || return 0
    while [ $SECONDS -lt $deadline ]; do
        before=$(cpu_ticks "$ws")
        sleep 0.5
        after=$(cpu_ticks "$ws")
        [ $((after - before)) -gt 1 ] || return 0
    done
    log "the wineserver stayed busy; the Windows figures include whatever it does"
}

measure() {   # program count
    local prog=$1 n=$2 port conf=idle.json launcher prog_pids ws_pid holder ready ok failed
    port=$(free_ports 1)
    echo "{\"listen_port\": $port, \"routes\": [{\"target_ip\": \"127.0.0.1\", \"target_port\": $backend_port}]}" \
        >"$work/$conf"
    # The program reads the configuration relative to the work dir (Wine maps
    # the working directory to a drive), prints its report once an hour at
    # most, and ends by itself after the bound.
    case "$prog" in
    linux) launcher=("$linux_bin") ;;
    windows) launcher=("$root/scripts/wine-run" "$windows_bin"); wine_quiet ;;
    esac
    (cd "$work" && exec timeout -k 10 "$bound" "${launcher[@]}" "$conf" --json \
        --status-interval 3600 </dev/null >"$work/$prog-$n.log" 2>&1) &
    local top=$!
    pids+=("$top")
    if ! wait_port "$port" "$top" 60; then
        log "$prog did not start listening on $port:"
        sed 's/^/    /' "$work/$prog-$n.log" >&2
        stop "$top"
        return 1
    fi

    python3 "$bench/idle_conns.py" "$port" "$n" / "$bound" >"$work/idle-$prog-$n.out" &
    holder=$!
    pids+=("$holder")
    local deadline=$((SECONDS + 150))
    until grep -q READY "$work/idle-$prog-$n.out" 2>/dev/null; do
        if [ $SECONDS -ge $deadline ] || ! kill -0 "$holder" 2>/dev/null; then
            log "the idle connections to $prog never got ready"
            stop "$holder"
            stop "$top"
            return 1
        fi
        sleep 0.1
    done
    ready=$(grep READY "$work/idle-$prog-$n.out")
    ok=${ready#*ok=}
    ok=${ok%% *}
    failed=${ready#*failed=}

    # The program's processes: everything below the timeout wrapper (for the
    # Windows program, the Wine process(es) running velkor-proxy.exe).
    read -r -a prog_pids <<<"$(descendants "$top" | tr '\n' ' ')"
    settle "${prog_pids[@]}"
    read -r -a prog_pids <<<"$(descendants "$top" | tr '\n' ' ')"
    ws_pid=""
    [ "$prog" = windows ] && ws_pid=$(wineserver_pid)

    local t0 p0 w0=0 m0 t1 p1 w1=0 m1
    t0=$(now) m0=$(machine_ticks) p0=$(cpu_ticks "${prog_pids[@]}")
    [ -n "$ws_pid" ] && w0=$(cpu_ticks "$ws_pid")
    # In the background, so that a signal ends the script at once.
    sleep "$seconds" &
    local sleeper=$!
    pids+=("$sleeper")
    wait "$sleeper" || true
    stop "$sleeper"
    t1=$(now) m1=$(machine_ticks) p1=$(cpu_ticks "${prog_pids[@]}")
    [ -n "$ws_pid" ] && w1=$(cpu_ticks "$ws_pid")

    local prog_pct ws_pct=- machine_pct
    prog_pct=$(pct $((p1 - p0)) "$t0" "$t1")
    [ -z "$ws_pid" ] || ws_pct=$(pct $((w1 - w0)) "$t0" "$t1")
    machine_pct=$(pct $((m1 - m0)) "$t0" "$t1")
    printf '%s\t%s\t%s\t%s\t%s\t%s\t%s\n' "$prog" "$n" "$ok" "$failed" "$prog_pct" "$ws_pct" \
        "$machine_pct" >>"$results"
    log "$prog n=$n ok=$ok failed=$failed: program ${prog_pct} %, wineserver ${ws_pct} %, all CPUs ${machine_pct} % of a core (processes: ${prog_pids[*]})"

    stop "$holder"
    stop "$top"
}

log "programs: ${programs[*]}; counts: ${counts[*]}; ${seconds} s per measurement"
for prog in "${programs[@]}"; do
    for n in "${counts[@]}"; do
        measure "$prog" "$n" || log "no figure for $prog with $n connections"
    done
done

# --------------------------------------------------------------- report ---

echo "idle CPU of velkor-proxy, % of one core over ${seconds} s ($(nproc) CPUs, $(date -u '+%F %H:%M UTC')$(
    [[ " ${programs[*]} " == *" windows "* ]] && echo ", $(wine --version 2>/dev/null)"))"
awk -F'\t' -v tn="$target_conns" -v tp="$target_pct" '
    { prog[NR] = $1; n[NR] = $2; ok[NR] = $3; failed[NR] = $4; own[NR] = $5; ws[NR] = $6
      machine[NR] = $7; total[NR] = $5 + ($6 == "-" ? 0 : $6)
      if ($2 == 0) base[$1] = total[NR]
      if (!($1 in seen)) { seen[$1] = 1; order[++nprogs] = $1 } }
    END {
        printf "%-8s %6s %6s %6s %8s %11s %7s %8s %9s\n", "program", "conns", "ok", "failed",
            "program", "wineserver", "total", "over 0", "all CPUs"
        for (i = 1; i <= NR; i++) {
            over = (prog[i] in base) ? sprintf("%+.1f", total[i] - base[prog[i]]) : "-"
            printf "%-8s %6d %6d %6d %8.1f %11s %7.1f %8s %9.1f\n", prog[i], n[i], ok[i], failed[i],
                own[i], ws[i], total[i], over, machine[i]
            if (n[i] == tn) {
                if (!(prog[i] in base)) verdict[prog[i]] = "not judged (no 0-connection figure)"
                else if (ok[i] < tn) verdict[prog[i]] = sprintf("not judged (only %d connections held)", ok[i])
                else verdict[prog[i]] = sprintf("%+.1f %% -> %s", total[i] - base[prog[i]],
                                                total[i] - base[prog[i]] < tp ? "PASS" : "OVER")
            }
        }
        printf "target: %d idle connections cost less than %d %% of a core above 0 connections\n", tn, tp
        for (j = 1; j <= nprogs; j++) {
            p = order[j]
            printf "  %-8s %s\n", p, (p in verdict) ? verdict[p] : sprintf("not judged (no %d-connection run)", tn)
        }
    }' "$results"
exit 0
