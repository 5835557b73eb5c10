#!/usr/bin/env bash
# Interleaved A/B of our program: the build of an earlier commit against the
# working tree, on the same nginx backend, in the scenarios of bench/run.sh
# that are named. Prints, per scenario, the median (min-max) of requests per
# second and of requests per CPU-second of the proxy process over the rounds;
# the order of the two sides turns each round.
#
#   bench/ab.sh BEFORE_REF [--rounds N] [--seconds S] SCENARIO...
#   SCENARIO: plain-ka64, plain-1m, plain-close, tls13-ka64, tls13-1m
#
# Needs what bench/run.sh installs (nginx, wrk). Builds Release trees in
# build-bench (this tree) and in a worktree of BEFORE_REF under /tmp, which
# is removed at the end.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
before_ref=${1:?usage: bench/ab.sh BEFORE_REF [--rounds N] [--seconds S] SCENARIO...}
shift
rounds=5 seconds=3 scenarios=()
while [ $# -gt 0 ]; do
    case "$1" in
    --rounds) rounds="$2"; shift ;;
    --seconds) seconds="$2"; shift ;;
    *) scenarios+=("$1") ;;
    esac
    shift
done
[ ${#scenarios[@]} -gt 0 ] || { echo "ab: name at least one scenario" >&2; exit 2; }

ncpu=$(nproc)
proxy_cpu=$((ncpu - 1)) load_cpu=0
tick_hz=$(getconf CLK_TCK)
work=$(mktemp -d /tmp/velkor-ab.XXXXXX)
chmod 755 "$work"
pids=()
cleanup() {
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    wait 2>/dev/null || true
    git -C "$root" worktree remove --force "$work/before" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

build() {   # source-dir build-dir
    cmake -S "$1" -B "$2" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVELKOR_BUILD_TESTS=OFF >/dev/null
    ninja -C "$2" velkor-proxy-host >/dev/null
}
git -C "$root" worktree add --detach "$work/before" "$before_ref" >/dev/null 2>&1
ln -s "$root/third_party" "$work/before/third_party"
build "$root" "$root/build-bench"
build "$work/before" "$work/build-before"

wait_port() {
    local deadline=$((SECONDS + 10))
    until (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; do
        [ $SECONDS -lt $deadline ] || { echo "ab: nothing listens on $1" >&2; exit 1; }
        sleep 0.05
    done
}
# shellcheck source=bench/free_ports.sh
. "$root/bench/free_ports.sh"
read -r backend_port a_plain a_tls b_plain b_tls <<<"$(free_ports 5)"

openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 30 \
    -subj /CN=localhost -keyout "$work/ec.key" -out "$work/ec.crt" 2>/dev/null
mkdir -p "$work/www"
head -c 1048576 /dev/zero | tr '\0' 'x' >"$work/www/1m"
chmod -R a+rX "$work"
cat >"$work/backend.conf" <<EOF
daemon off;
worker_processes 1;
pid $work/backend.pid;
error_log $work/backend-error.log warn;
events { worker_connections 4096; }
http {
    access_log off;
    keepalive_timeout 600s;
    keepalive_requests 1000000000;
    server {
        listen 127.0.0.1:$backend_port backlog=4096;
        location = /small { default_type text/plain; return 200 "hello from the backend\n"; }
        location = /1m { root $work/www; }
    }
}
EOF
taskset -c "$load_cpu" nginx -c "$work/backend.conf" -p "$work" &
pids+=($!)
wait_port "$backend_port"

start_proxy() {   # bin port tls(0/1)
    local tls=""
    [ "$3" = 1 ] && tls=",\"tls_cert\":\"$work/ec.crt\",\"tls_key\":\"$work/ec.key\""
    echo "{\"listen_port\":$2$tls,\"routes\":[{\"host\":\"\",\"path_prefix\":\"/\",\"target_ip\":\"127.0.0.1\",\"target_port\":$backend_port}]}" >"$work/p$2.json"
    taskset -c "$proxy_cpu" "$1" "$work/p$2.json" --json --status-interval 3600 >"$work/p$2.log" 2>&1 &
    pids+=($!)
    eval "pid_$2=$!"
    wait_port "$2"
}
start_proxy "$work/build-before/host/velkor-proxy" "$a_plain" 0
start_proxy "$work/build-before/host/velkor-proxy" "$a_tls" 1
start_proxy "$root/build-bench/host/velkor-proxy" "$b_plain" 0
start_proxy "$root/build-bench/host/velkor-proxy" "$b_tls" 1

ticks() { awk '{print $14 + $15}' "/proc/$1/stat"; }

# One wrk run: prints "rps req_per_cpu_s".
measure() {   # port path conns tls
    local pid scheme=http t0 t1 out n
    eval "pid=\$pid_$1"
    [ "$4" = 1 ] && scheme=https
    t0=$(ticks "$pid")
    out=$(taskset -c "$load_cpu" wrk -t1 -c "$3" -d "${seconds}s" --timeout 10s "$scheme://127.0.0.1:$1$2")
    t1=$(ticks "$pid")
    n=$(awk '/requests in/ {print $1}' <<<"$out")
    awk -v n="$n" -v s="$seconds" -v t=$((t1 - t0)) -v hz="$tick_hz" \
        'BEGIN {printf "%.0f %.0f\n", n / s, (t > 0 ? n / (t / hz) : 0)}'
}

declare -A conf=([plain-ka64]="/small 64 0" [plain-1m]="/1m 16 0" [plain-close]="/small 64 0"
                 [tls13-ka64]="/small 64 1" [tls13-1m]="/1m 16 1")
: >"$work/raw"
for round in $(seq 1 "$rounds"); do
    sides=(A B)
    [ $((round % 2)) = 0 ] && sides=(B A)
    for s in "${scenarios[@]}"; do
        read -r path conns tls <<<"${conf[$s]:?unknown scenario $s}"
        for side in "${sides[@]}"; do
            if [ "$side" = A ]; then port=$a_plain; [ "$tls" = 1 ] && port=$a_tls
            else port=$b_plain; [ "$tls" = 1 ] && port=$b_tls; fi
            echo "$s $side $(measure "$port" "$path" "$conns" "$tls")" | tee -a "$work/raw" >&2
        done
    done
done

python3 - "$work/raw" "$before_ref" <<'EOF'
import statistics, sys
rows = [l.split() for l in open(sys.argv[1])]
print(f"| scenario | figure | before ({sys.argv[2]}) | after | after/before |")
print("|---|---|---:|---:|---:|")
for s in dict.fromkeys(r[0] for r in rows):
    for i, name in ((2, "requests/s"), (3, "requests per proxy CPU-second")):
        a = [float(r[i]) for r in rows if r[0] == s and r[1] == "A"]
        b = [float(r[i]) for r in rows if r[0] == s and r[1] == "B"]
        fmt = lambda v: f"{statistics.median(v):,.0f} ({min(v):,.0f}-{max(v):,.0f})"
        print(f"| {s} | {name} | {fmt(a)} | {fmt(b)} | {statistics.median(b) / statistics.median(a):.3f} |")
EOF
