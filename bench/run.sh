#!/usr/bin/env bash
# Benchmarks velkor-proxy against nginx and HAProxy on this machine.
#
#   bench/run.sh            full run: every scenario, interleaved over five
#                           rounds of 3 s per measurement, results in
#                           bench/results/<date>.md (about 24 min)
#   bench/run.sh --smoke    a few seconds of tiny load per kind of scenario,
#                           proving that the whole chain works; asserts no
#                           figure; results go to a temporary file
#
# Options: --rounds N, --seconds S (per measurement), --out FILE,
# --no-install (skip the package and build step), --keep (keep the work dir),
# --idle-cpu (afterwards, bench/idle_cpu.sh: the idle CPU cost of this
# build's program and, when build-windows/velkor-proxy.exe exists, of the
# Windows program under Wine; its table goes at the end of the results).
#
# One backend (nginx, one worker) serves a small fixed response and a 1 MiB
# file on loopback. Each proxy runs in front of it: ours through the host
# program, nginx with upstream keep-alive, HAProxy in http mode with
# connection reuse, all with the same certificates. The proxies run on one
# CPU, the load generator (wrk) and the backend on the other; every proxy gets
# the same. All measurements of one round run back to back, and the order of
# the proxies turns from round to round. Each round also measures mbedTLS's
# own costs (bench/tls_limits) for the parameters our proxy negotiated with
# wrk's OpenSSL, so the report can put our TLS figures beside their floor.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
bench="$root/bench"
build="${BUILD_DIR:-$root/build-bench}"

smoke=0 rounds="" seconds="" out="" install=1 keep=0 idle_cpu=0
while [ $# -gt 0 ]; do
    case "$1" in
    --smoke) smoke=1 ;;
    --rounds) rounds="$2"; shift ;;
    --seconds) seconds="$2"; shift ;;
    --out) out="$2"; shift ;;
    --no-install) install=0 ;;
    --keep) keep=1 ;;
    --idle-cpu) idle_cpu=1 ;;
    -h|--help) sed -n '2,15p' "$0"; exit 0 ;;
    *) echo "bench: unknown option $1" >&2; exit 2 ;;
    esac
    shift
done

if [ "$smoke" = 1 ]; then
    rounds=${rounds:-1} seconds=${seconds:-1}
    ka_conns=(8) close_conns=8 big_conns=2 idle_counts=(20) limit_seconds=0.1
else
    # Five rounds for the medians; 3 s per measurement keeps the run near
    # 24 minutes.
    rounds=${rounds:-5} seconds=${seconds:-3}
    ka_conns=(64 256) close_conns=64 big_conns=16 idle_counts=(1000 10000) limit_seconds=1
fi

# CPUs: the proxies on the last CPU, everything else on the first.
ncpu=$(nproc)
proxy_cpu=$((ncpu - 1))
load_cpu=0

log() { printf 'bench: %s\n' "$*" >&2; }
die() { log "$*"; exit 1; }

# ---------------------------------------------------------------- set-up ---

install_packages() {
    local need=() pkg
    for pkg in wrk nginx haproxy openssl python3 util-linux; do
        dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'ok installed' || need+=("$pkg")
    done
    [ ${#need[@]} -eq 0 ] && return
    log "installing ${need[*]}"
    local as_root=()
    [ "$(id -u)" = 0 ] || as_root=(sudo)
    "${as_root[@]}" apt-get update -qq
    "${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${need[@]}" >&2
}

build_proxy() {
    log "building (Release) in $build"
    cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVELKOR_BENCH=ON \
        -DVELKOR_BUILD_TESTS=OFF >/dev/null
    ninja -C "$build" velkor-proxy-host tls_limits >/dev/null
}

if [ "$install" = 1 ]; then
    "$root/scripts/setup.sh" >&2
    install_packages
    build_proxy
fi
proxy_bin="$build/host/velkor-proxy"
limits_bin="$build/bench/tls_limits"
[ -x "$proxy_bin" ] && [ -x "$limits_bin" ] || die "no build in $build (run without --no-install)"

# Ten thousand idle connections need about 20,000 descriptors in a proxy
# (a client and a backend socket each). Raise the limit as far as allowed;
# where the hard limit is lower, the largest idle count that fits is used for
# every proxy alike, and the report says so.
ulimit -n 65536 2>/dev/null || ulimit -n "$(ulimit -Hn)"
nofile=$(ulimit -n)
fit=$(((nofile - 200) / 2))
for i in "${!idle_counts[@]}"; do
    [ "${idle_counts[$i]}" -le "$fit" ] || idle_counts[$i]=$fit
done

work=$(mktemp -d /tmp/velkor-bench.XXXXXX)
chmod 755 "$work"   # nginx workers run as nobody when started by root
pids=()

cleanup() {
    local pid
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
    if [ "$keep" = 1 ]; then log "work files kept in $work"; else rm -rf "$work"; fi
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# Starts a command in the background, remembered for the clean-up.
spawn() {
    "$@" &
    pids+=($!)
    last_pid=$!
}

# Stops one process started by spawn and waits for it.
stop() {
    kill "$1" 2>/dev/null || true
    wait "$1" 2>/dev/null || true
}

# Waits until 127.0.0.1:$1 accepts a connection, at most 10 s.
wait_port() {
    local deadline=$((SECONDS + 10))
    until (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; do
        [ $SECONDS -lt $deadline ] || die "nothing listens on port $1"
        sleep 0.05
    done
}

# shellcheck source=bench/free_ports.sh
. "$bench/free_ports.sh"

# ------------------------------------------------------ files and configs ---

make_certs() {
    openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 30 \
        -subj /CN=localhost -addext subjectAltName=DNS:localhost,IP:127.0.0.1 \
        -keyout "$work/ec.key" -out "$work/ec.crt" 2>/dev/null
    openssl req -x509 -newkey rsa:2048 -nodes -days 30 \
        -subj /CN=localhost -addext subjectAltName=DNS:localhost,IP:127.0.0.1 \
        -keyout "$work/rsa.key" -out "$work/rsa.crt" 2>/dev/null
    local k
    for k in ec rsa; do cat "$work/$k.crt" "$work/$k.key" >"$work/$k.pem"; done
    chmod 644 "$work"/*.key "$work"/*.pem
}

# Client-side protocol version for wrk (OpenSSL reads this at start-up): the
# same for every proxy, since ours offers both versions and lets the client
# choose.
make_openssl_confs() {
    local v
    for v in 1.2 1.3; do
        cat >"$work/openssl-tls$v.cnf" <<EOF
openssl_conf = openssl_init
[openssl_init]
ssl_conf = ssl_sect
[ssl_sect]
system_default = system_default_sect
[system_default_sect]
MinProtocol = TLSv$v
MaxProtocol = TLSv$v
EOF
    done
}

nginx_common() {
    cat <<EOF
daemon off;
worker_processes 1;
worker_rlimit_nofile $nofile;
pid $1.pid;
error_log $1-error.log warn;
events { worker_connections $((nofile - 100)); }
EOF
}

nginx_temp_paths() {
    local t
    for t in client_body proxy fastcgi uwsgi scgi; do echo "    ${t}_temp_path $work/tmp-$t;"; done
}

make_backend_conf() {
    mkdir -p "$work/www"
    head -c 1048576 /dev/zero | tr '\0' 'x' >"$work/www/1m"
    echo "static POST target" >"$work/www/up"
    chmod -R a+rX "$work/www"
    {
        nginx_common "$work/backend"
        cat <<EOF
http {
    access_log off;
    sendfile on;
    tcp_nopush on;
    keepalive_timeout 600s;
    keepalive_requests 1000000000;
$(nginx_temp_paths)
    server {
        listen 127.0.0.1:$backend_port backlog=4096;
        location = /small { default_type text/plain; return 200 "hello from the backend\n"; }
        location = /1m { root $work/www; }
        # Uploads: the mirror reads the whole body before the answer goes
        # out; answering earlier would leave wrk waiting for an answer it
        # had already read while still sending. The static module refuses
        # POST (405) once the body is in, and the error page answers 200.
        location = /up {
            client_max_body_size 2m;
            client_body_buffer_size 2m;
            mirror /sink;
            mirror_request_body on;
            root $work/www;
            error_page 405 =200 @uploaded;
        }
        location = /sink { internal; return 204; }
        location @uploaded { return 200 "upload received\n"; }
    }
}
EOF
    } >"$work/backend.conf"
}

# nginx as the reverse proxy, as its users tune it for this: HTTP/1.1 to the
# backend with a pool of kept-alive upstream connections, the X-Forwarded
# headers set, buffers large enough that a 1 MiB body (answer or upload)
# never goes to disk, no access log, no TLS session cache or tickets (every
# handshake is full, as with ours).
make_nginx_conf() {   # prefix plain_port ec_port rsa_port
    {
        nginx_common "$1"
        cat <<EOF
http {
    access_log off;
    keepalive_timeout 600s;
    keepalive_requests 1000000000;
    ssl_protocols TLSv1.2 TLSv1.3;
    ssl_session_cache off;
    ssl_session_tickets off;
$(nginx_temp_paths)
    upstream backend {
        server 127.0.0.1:$backend_port;
        keepalive 512;
        keepalive_requests 1000000000;
        keepalive_timeout 600s;
    }
    proxy_http_version 1.1;
    proxy_set_header Connection "";
    proxy_set_header Host \$http_host;
    proxy_set_header X-Forwarded-For \$remote_addr;
    proxy_set_header X-Forwarded-Proto \$scheme;
    proxy_set_header X-Forwarded-Host \$http_host;
    proxy_buffers 64 16k;
    proxy_busy_buffers_size 64k;
    proxy_max_temp_file_size 0;
    client_max_body_size 2m;
    client_body_buffer_size 2m;
    server {
        listen 127.0.0.1:$2 backlog=4096;
        location / { proxy_pass http://backend; }
    }
EOF
        [ -n "${3:-}" ] && cat <<EOF
    server {
        listen 127.0.0.1:$3 ssl backlog=4096;
        ssl_certificate $work/ec.crt;
        ssl_certificate_key $work/ec.key;
        location / { proxy_pass http://backend; }
    }
    server {
        listen 127.0.0.1:$4 ssl backlog=4096;
        ssl_certificate $work/rsa.crt;
        ssl_certificate_key $work/rsa.key;
        location / { proxy_pass http://backend; }
    }
EOF
        echo "}"
    } >"$1.conf"
}

# HAProxy in http mode, one thread, forwardfor, X-Forwarded-Proto and -Host
# set, backend connections reused whenever possible, no TLS session cache
# or tickets.
make_haproxy_conf() {   # prefix plain_port ec_port rsa_port
    {
        cat <<EOF
global
    nbthread 1
    maxconn $(((nofile - 16) / 2 - 8))
    tune.ssl.cachesize 0
    ssl-default-bind-options ssl-min-ver TLSv1.2 no-tls-tickets
defaults
    mode http
    timeout connect 5s
    timeout client 600s
    timeout server 600s
    timeout http-keep-alive 600s
    option forwardfor
    http-reuse always
frontend plain
    bind 127.0.0.1:$2
    http-request set-header X-Forwarded-Proto http
    http-request set-header X-Forwarded-Host %[req.hdr(host)]
    default_backend be
EOF
        [ -n "${3:-}" ] && cat <<EOF
frontend tls_ec
    bind 127.0.0.1:$3 ssl crt $work/ec.pem
    http-request set-header X-Forwarded-Proto https
    http-request set-header X-Forwarded-Host %[req.hdr(host)]
    default_backend be
frontend tls_rsa
    bind 127.0.0.1:$4 ssl crt $work/rsa.pem
    http-request set-header X-Forwarded-Proto https
    http-request set-header X-Forwarded-Host %[req.hdr(host)]
    default_backend be
EOF
        cat <<EOF
backend be
    server s1 127.0.0.1:$backend_port
EOF
    } >"$1.cfg"
}

make_ours_conf() {   # file port [cert key]
    local tls=""
    [ -n "${3:-}" ] && tls="\"tls_cert\": \"$3\", \"tls_key\": \"$4\","
    echo "{\"listen_port\": $2, $tls \"routes\": [{\"target_ip\": \"127.0.0.1\", \"target_port\": $backend_port}]}" >"$1"
}

# ----------------------------------------------------- starting targets ---

start_backend() {
    make_backend_conf
    spawn taskset -c "$load_cpu" nginx -c "$work/backend.conf" -p "$work" -e "$work/backend-error.log"
    backend_pid=$last_pid
    wait_port "$backend_port"
}

# Each start sets the pids of the target's processes: <name>_pids.
start_ours() {   # name port [cert key]
    make_ours_conf "$work/$1.json" "$2" "${3:-}" "${4:-}"
    spawn taskset -c "$proxy_cpu" "$proxy_bin" "$work/$1.json" --json --status-interval 3600 \
        >"$work/$1.log" 2>&1
    eval "$1_pids=$last_pid"
    wait_port "$2"
}

start_nginx() {   # name plain_port [ec_port rsa_port]
    make_nginx_conf "$work/$1" "$2" "${3:-}" "${4:-}"
    launch_nginx "$1" "$2"
}

# nginx as above but opening a new backend connection for every client
# connection, as our design does: a reference for the new-connection rows,
# not a peer.
start_nginx_fresh() {   # name plain_port
    make_nginx_conf "$work/$1" "$2"
    sed -i '/^        keepalive 512;$/d' "$work/$1.conf"
    launch_nginx "$1" "$2"
}

launch_nginx() {   # name plain_port
    spawn taskset -c "$proxy_cpu" nginx -c "$work/$1.conf" -p "$work" -e "$work/$1-error.log"
    eval "$1_pids=$last_pid"
    wait_port "$2"
}

start_haproxy() {   # name plain_port [ec_port rsa_port]
    make_haproxy_conf "$work/$1" "$2" "${3:-}" "${4:-}"
    spawn taskset -c "$proxy_cpu" haproxy -db -f "$work/$1.cfg" >"$work/$1.log" 2>&1
    eval "$1_pids=$last_pid"
    wait_port "$2"
}

# The process and its children (nginx's workers).
pid_group() { echo "$1" $(pgrep -P "$1" || true); }

# Sum over a process group of one figure that awk reads from /proc/<pid>/FILE.
sum_over_group() {   # pid file awk-program
    local pid total=0 t
    for pid in $(pid_group "$1"); do
        t=$(awk "$3" "/proc/$pid/$2" 2>/dev/null || true)
        total=$((total + ${t:-0}))
    done
    echo "$total"
}

# CPU time of a process group in clock ticks (user + system).
cpu_ticks() { sum_over_group "$1" stat '{print $14 + $15}'; }

# Resident memory of a process group in KiB.
rss_kib() { sum_over_group "$1" status '/^VmRSS:/ {print $2}'; }

# ---------------------------------------------------------- measurements ---

tick_hz=$(getconf CLK_TCK)
raw="$work/raw.tsv"
printf 'round\tscenario\ttarget\trps\tmbps\tp50_us\tp90_us\tp99_us\tcpu_us_per_req\terrors\tnon2xx\tload_cpu_pct\tproxy_cpu_pct\n' >"$raw"

# Busy and total jiffies of one CPU, from /proc/stat.
cpu_jiffies() {   # cpu
    awk -v c="cpu$1" '$1 == c {print $2 + $3 + $4 + $7 + $8 + $9, $2 + $3 + $4 + $5 + $6 + $7 + $8 + $9}' /proc/stat
}

# Percent of the time a CPU was busy between two cpu_jiffies readings.
busy_pct() {   # "busy total" "busy total"
    local b0 t0 b1 t1
    read -r b0 t0 <<<"$1"
    read -r b1 t1 <<<"$2"
    [ "$t1" -gt "$t0" ] && echo $(((b1 - b0) * 100 / (t1 - t0))) || echo 0
}

# One wrk run. Appends a line to raw.tsv. BODY is the size of a POST body
# in bytes (report.lua sends it), 0 for GET.
#   measure ROUND SCENARIO TARGET PID URL CONNS TLSVER(-,1.2,1.3) CLOSE(0/1) BODY
measure() {
    local round=$1 scenario=$2 target=$3 pid=$4 url=$5 conns=$6 tlsver=$7 close=$8 body=$9
    local env=(env "BENCH_BODY_BYTES=$body") hdr=() before after line
    [ "$tlsver" = - ] || env+=("OPENSSL_CONF=$work/openssl-tls$tlsver.cnf")
    [ "$close" = 1 ] && hdr=(-H "Connection: close")
    before=$([ "$pid" = - ] && echo 0 || cpu_ticks "$pid")
    local load0 proxy0 load1 proxy1
    load0=$(cpu_jiffies "$load_cpu") proxy0=$(cpu_jiffies "$proxy_cpu")
    line=$("${env[@]}" taskset -c "$load_cpu" wrk -t1 -c "$conns" -d "${seconds}s" \
        --timeout 10s -s "$bench/report.lua" "${hdr[@]}" "$url" 2>&1 | grep '^RESULT' || true)
    after=$([ "$pid" = - ] && echo 0 || cpu_ticks "$pid")
    load1=$(cpu_jiffies "$load_cpu") proxy1=$(cpu_jiffies "$proxy_cpu")
    [ -n "$line" ] || die "wrk gave no result for $scenario on $target ($url)"
    python3 - "$line" "$round" "$scenario" "$target" "$((after - before))" "$tick_hz" \
        "$pid" "$(busy_pct "$load0" "$load1")" "$(busy_pct "$proxy0" "$proxy1")" >>"$raw" <<'EOF'
import sys
line, rnd, scen, target, ticks, hz, pid, load_pct, proxy_pct = sys.argv[1:]
f = dict(kv.split("=") for kv in line.split()[1:])
req, dur = int(f["requests"]), int(f["duration_us"]) / 1e6
cpu = "-" if pid == "-" or req == 0 else "%.2f" % (int(ticks) / int(hz) * 1e6 / req)
print("\t".join([rnd, scen, target, "%.0f" % (req / dur), "%.1f" % (int(f["bytes"]) / dur / 1e6),
                 f["p50"], f["p90"], f["p99"], cpu, f["errors"], f["non2xx"], load_pct, proxy_pct]))
EOF
    log "$(tail -n 1 "$raw" | tr '\t' ' ')"
}

# Scenario table: name path conns tls-version close cert body-bytes targets.
# 'all' runs every proxy (and the backend directly for plain ones); 'ours'
# only ours: the RSA bulk cases exist for our floor rows alone.
mib=1048576
scenarios=()
for c in "${ka_conns[@]}"; do scenarios+=("plain-ka$c /small $c - 0 plain 0 all"); done
scenarios+=("plain-close /small $close_conns - 1 plain 0 all" "plain-1m /1m $big_conns - 0 plain 0 all"
            "plain-up1m /up $big_conns - 0 plain $mib all")
for v in 1.3 1.2; do
    t=tls${v/./}
    for c in "${ka_conns[@]}"; do scenarios+=("$t-ka$c /small $c $v 0 ec 0 all"); done
    scenarios+=("$t-close /small $close_conns $v 1 ec 0 all" "$t-1m /1m $big_conns $v 0 ec 0 all"
                "$t-up1m /up $big_conns $v 0 ec $mib all"
                "$t-rsa-close /small $close_conns $v 1 rsa 0 all"
                "$t-rsa-1m /1m $big_conns $v 0 rsa 0 ours"
                "$t-rsa-up1m /up $big_conns $v 0 rsa $mib ours")
done
if [ "$smoke" = 1 ]; then
    scenarios=("plain-ka8 /small 8 - 0 plain 0 all" "plain-close /small 8 - 1 plain 0 all"
               "plain-1m /1m 2 - 0 plain 0 all" "plain-up1m /up 2 - 0 plain $mib all"
               "tls13-ka8 /small 8 1.3 0 ec 0 all" "tls13-up1m /up 2 1.3 0 ec $mib all"
               "tls12-rsa-close /small 8 1.2 1 rsa 0 all")
fi

# URL of a target for a certificate kind.
url_for() {   # target cert path
    local port
    case "$1:$2" in
    direct:plain) port=$backend_port ;;
    ours:plain) port=$ours_plain_port ;; ours:ec) port=$ours_ec_port ;; ours:rsa) port=$ours_rsa_port ;;
    nginx:plain) port=$nginx_plain_port ;; nginx:ec) port=$nginx_ec_port ;; nginx:rsa) port=$nginx_rsa_port ;;
    nginx-fresh:plain) port=$nginx_fresh_port ;;
    haproxy:plain) port=$haproxy_plain_port ;; haproxy:ec) port=$haproxy_ec_port ;;
    haproxy:rsa) port=$haproxy_rsa_port ;;
    esac
    local scheme=http
    [ "$2" = plain ] || scheme=https
    echo "$scheme://127.0.0.1:$port$3"
}

group_of() {
    case "$1" in
    direct) echo - ;;
    ours) case "$2" in plain) echo "$ours_plain_pids" ;; ec) echo "$ours_ec_pids" ;; rsa) echo "$ours_rsa_pids" ;; esac ;;
    nginx) echo "$nginx_pids" ;;
    nginx-fresh) echo "$nginx_fresh_pids" ;;
    haproxy) echo "$haproxy_pids" ;;
    esac
}

run_rounds() {
    local round s name path conns tlsver close cert body who targets t i
    local order=(ours nginx haproxy)
    for round in $(seq 1 "$rounds"); do
        log "round $round of $rounds"
        measure_limits "$round" >>"$work/limits.txt"
        for s in "${scenarios[@]}"; do
            read -r name path conns tlsver close cert body who <<<"$s"
            targets=("${order[@]}")
            [ "$who" = ours ] && targets=(ours)
            [ "$cert:$who" = plain:all ] && targets+=(direct)
            [ "$cert:$close" = plain:1 ] && targets+=(nginx-fresh)
            for t in "${targets[@]}"; do
                measure "$round" "$name" "$t" "$(group_of "$t" "$cert")" \
                    "$(url_for "$t" "$cert" "$path")" "$conns" "$tlsver" "$close" "$body"
            done
        done
        order=("${order[@]:1}" "${order[0]}")   # turn the order for the next round
    done
}

# Memory per idle connection: a fresh instance of each proxy, N keep-alive
# connections that each completed one request, then RSS.
mem="$work/memory.tsv"
printf 'target\tconnections\tok\tfailed\trss_before_kib\trss_kib\tthreads\n' >"$mem"

measure_idle() {   # target start-function count
    local target=$1 start=$2 n=$3 port pid before after ready threads
    port=$(free_ports 1)
    case "$start" in
    start_ours) start_ours mem_ours "$port"; pid=$mem_ours_pids ;;
    start_nginx) start_nginx mem_nginx "$port"; pid=$mem_nginx_pids ;;
    start_haproxy) start_haproxy mem_haproxy "$port"; pid=$mem_haproxy_pids ;;
    esac
    before=$(rss_kib "$pid")
    taskset -c "$load_cpu" python3 "$bench/idle_conns.py" "$port" "$n" /small >"$work/idle.out" &
    local holder=$!
    pids+=("$holder")
    local deadline=$((SECONDS + 180))
    until grep -q READY "$work/idle.out" 2>/dev/null; do
        [ $SECONDS -lt $deadline ] || die "idle connections to $target never got ready"
        sleep 0.2
    done
    ready=$(grep READY "$work/idle.out")
    # Let the last threads settle into their reads before reading the figure.
    local prev=-1
    after=$(rss_kib "$pid")
    while [ "$after" != "$prev" ] && [ $SECONDS -lt $deadline ]; do
        prev=$after
        sleep 0.5
        after=$(rss_kib "$pid")
    done
    threads=$(awk '/^Threads:/ {print $2}' "/proc/$pid/status")
    local ok=${ready#*ok=}
    ok=${ok%% *}
    local failed=${ready#*failed=}
    printf '%s\t%s\t%s\t%s\t%s\t%s\t%s\n' "$target" "$n" "$ok" "$failed" "$before" "$after" \
        "$threads" >>"$mem"
    log "idle $target n=$n ok=$ok failed=$failed rss ${before} -> ${after} KiB, threads $threads"
    stop "$holder"
    stop "$pid"
}

# -------------------------------------------------------------------- run ---

read -r backend_port ours_plain_port ours_ec_port ours_rsa_port nginx_plain_port nginx_ec_port \
    nginx_rsa_port haproxy_plain_port haproxy_ec_port haproxy_rsa_port nginx_fresh_port \
    <<<"$(free_ports 11)"
make_certs
make_openssl_confs
start_backend
start_ours ours_plain "$ours_plain_port"
start_ours ours_ec "$ours_ec_port" "$work/ec.crt" "$work/ec.key"
start_ours ours_rsa "$ours_rsa_port" "$work/rsa.crt" "$work/rsa.key"
start_nginx nginx "$nginx_plain_port" "$nginx_ec_port" "$nginx_rsa_port"
start_haproxy haproxy "$haproxy_plain_port" "$haproxy_ec_port" "$haproxy_rsa_port"
start_nginx_fresh nginx_fresh "$nginx_fresh_port"

# Every target answers and passes the forwarded headers on.
for url in "$(url_for ours plain /small)" "$(url_for nginx ec /small)" \
           "$(url_for haproxy rsa /small)" "$(url_for ours rsa /small)"; do
    curl -fsk --max-time 5 "$url" >/dev/null || die "no answer from $url"
done

# What each proxy negotiates with the load generator's TLS library: openssl
# s_client with wrk's OpenSSL configuration for the version offers what wrk
# offers (the library's defaults), and says which suite, group and signature
# algorithm the server chose. negotiated.py adds the names tls_limits takes.
params="$work/params.tsv"
printf 'target\tcert\tversion\tsuite\tgroup\tsigalg\tmbed_suite\tmbed_group\tmbed_sigalg\n' >"$params"
for t in ours nginx haproxy; do
    for cert in ec rsa; do
        for v in 1.2 1.3; do
            u=$(url_for "$t" "$cert" /)
            hostport=${u#https://}
            hostport=${hostport%/}
            line=$(OPENSSL_CONF="$work/openssl-tls$v.cnf" openssl s_client -connect "$hostport" \
                </dev/null 2>/dev/null | python3 "$bench/negotiated.py")
            printf '%s\t%s\t%s\t%s\n' "$t" "$cert" "$v" "$line" >>"$params"
        done
    done
done

# mbedTLS's own costs on the proxies' core, once at the start of each round,
# with the client's offer pinned to what ours negotiated with wrk (an unknown
# name leaves that part of the offer at the library's default). Lines are
# prefixed with the round and the certificate.
measure_limits() {   # round
    local cert v pin suite group sigalg
    log "mbedTLS costs for the negotiated parameters"
    for cert in ec rsa; do
        for v in 1.3 1.2; do
            read -r suite group sigalg < <(awk -F'\t' -v c="$cert" -v v="$v" \
                '$1 == "ours" && $2 == c && $3 == v {print $7, $8, $9}' "$params") || true
            pin=(--version "$v")
            [ "${suite:--}" = - ] || pin+=(--suite "$suite")
            [ "${group:--}" = - ] || pin+=(--group "$group")
            [ "${sigalg:--}" = - ] || pin+=(--sigalg "$sigalg")
            taskset -c "$proxy_cpu" "$limits_bin" "$work/$cert.crt" "$work/$cert.key" \
                --seconds "$limit_seconds" "${pin[@]}" |
                sed -E "s/^(LIMIT|NEGOTIATED) /\1 $1 $cert /" ||
                die "tls_limits failed for $cert, TLS $v: ${pin[*]}"
        done
    done
}

: >"$work/limits.txt"
run_rounds

log "memory per idle connection"
for n in "${idle_counts[@]}"; do
    measure_idle ours start_ours "$n"
    measure_idle nginx start_nginx "$n"
    measure_idle haproxy start_haproxy "$n"
done

# ---------------------------------------------------------------- report ---

if [ -z "$out" ]; then
    if [ "$smoke" = 1 ]; then out="$work/smoke.md"; else out="$bench/results/$(date +%F).md"; fi
fi
mkdir -p "$(dirname "$out")"
{
    echo "machine: $(lscpu | awk -F: '/Model name/ {gsub(/^ +/, "", $2); print $2; exit}'), $ncpu CPUs, $(awk '/MemTotal/ {printf "%.0f GiB", $2/1048576}' /proc/meminfo), kernel $(uname -r)"
    echo "system: $(. /etc/os-release; echo "$PRETTY_NAME")"
    echo "date: $(date -u '+%F %H:%M UTC')"
    echo "versions: velkor-proxy $("$proxy_bin" --version | awk 'NR==1 {print $2}'), $(nginx -v 2>&1 | sed 's/.*: //'), HAProxy $(haproxy -v | awk 'NR==1 {print $3}'), $(wrk -v 2>&1 | awk 'NR==1 {print "wrk " $2}'), $(openssl version | awk '{print "OpenSSL " $2}'), mbedTLS $(awk -F'"' '/define MBEDTLS_VERSION_STRING /{print $2}' "$(find "$root/third_party/mbedtls/usr/include" /usr/include -path '*/mbedtls/build_info.h' 2>/dev/null | head -n 1)")"
    echo "descriptor limit per process: $nofile"
    echo "run: $rounds rounds, ${seconds}s per measurement, proxies on CPU $proxy_cpu, wrk and backend on CPU $load_cpu"
} >"$work/meta.txt"
python3 "$bench/summarise.py" "$work" >"$out"
if [ "$idle_cpu" = 1 ]; then
    log "idle CPU (bench/idle_cpu.sh)"
    idle_args=(--linux "$proxy_bin")
    [ -f "$root/build-windows/velkor-proxy.exe" ] && idle_args+=(--windows "$root/build-windows/velkor-proxy.exe")
    [ "$smoke" = 1 ] && idle_args+=(--smoke)
    if "$bench/idle_cpu.sh" "${idle_args[@]}" >"$work/idle-cpu.txt"; then
        { echo; echo "## Idle CPU"; echo; echo '```text'; cat "$work/idle-cpu.txt"; echo '```'; } >>"$out"
    else
        log "bench/idle_cpu.sh failed; the results have no idle CPU table"
    fi
fi
log "results in $out"
[ "$smoke" = 1 ] && cat "$out"
exit 0
