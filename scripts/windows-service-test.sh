#!/usr/bin/env bash
# velkor-proxy.exe as a Windows service, under Wine, in a throwaway prefix:
# an automatic service left in a kept prefix would start in every later Wine
# session there.
#
#   scripts/windows-service-test.sh BUILD_DIR | PATH/velkor-proxy.exe
#
# Copies the program and velkor-proxy.dll into a folder with non-ASCII
# characters in its name, with a plain-HTTP configuration for a python3
# backend on 127.0.0.1; checks it with --check; installs it as a service,
# starts it with "net start", sends a request through it, stops it with
# "net stop", sees "sc query" report it STOPPED and removes it; then starts a
# second service whose configuration the library refuses and sees the
# failure in its --log and its exit code.
# Everything runs on free ports, every wait is bounded, and the prefix, its
# wineserver and the backend go away on exit.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
[ $# -eq 1 ] || { echo "usage: $0 BUILD_DIR | PATH/velkor-proxy.exe" >&2; exit 2; }
exe=$1
[ -d "$exe" ] && exe=$exe/velkor-proxy.exe
dll=$(dirname "$exe")/velkor-proxy.dll
[ -f "$exe" ] && [ -f "$dll" ] || { echo "no velkor-proxy.exe and .dll at $1" >&2; exit 2; }

work=$(mktemp -d)
export VELKOR_WINEPREFIX="$work/prefix"
# Wine reads non-ASCII file names and arguments as UTF-8 only in a UTF-8 locale.
export LANG=C.UTF-8 LC_ALL=C.UTF-8
# shellcheck source=scripts/wine-env.sh
. "$here/wine-env.sh"
backend_pid=
cleanup() {
    [ -z "$backend_pid" ] || kill "$backend_pid" 2>/dev/null || true
    if [ -d "$WINEPREFIX" ]; then
        wineserver -k 2>/dev/null || true
        timeout 30 wineserver -w 2>/dev/null || true
    fi
    rm -rf "$work"
}
trap cleanup EXIT

say() { printf 'windows-service-test: %s\n' "$*"; }
fail() { say "FAILED: $*"; [ ! -f "$log" ] || sed 's/^/  log: /' "$log"; exit 1; }
win() { timeout 60 wine "$@" </dev/null; }
winpath() { printf 'Z:%s' "${1//\//\\}"; }
free_port() {
    python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

app="$work/app-ünïcødé-服务"
log="$app/velkor-proxy.log"
mkdir -p "$app"
cp "$exe" "$dll" "$app/"

# The backend picks its own port and stops by itself after five minutes.
timeout 300 python3 - "$work/backend-port" <<'EOF' &
import http.server, os, sys
class Hello(http.server.BaseHTTPRequestHandler):
    def do_GET(self):
        body = b"hello from the backend\n"
        self.send_response(200)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)
    def log_message(self, *args):
        pass
server = http.server.HTTPServer(("127.0.0.1", 0), Hello)
with open(sys.argv[1] + ".tmp", "w") as f:
    f.write(str(server.server_address[1]))
os.rename(sys.argv[1] + ".tmp", sys.argv[1])
server.serve_forever()
EOF
backend_pid=$!
for _ in $(seq 100); do [ -f "$work/backend-port" ] && break; sleep 0.1; done
[ -f "$work/backend-port" ] || fail "the backend did not start"
backend=$(cat "$work/backend-port")
port=$(free_port)

config="$app/proxy-配置.json"
write_config() {
    printf '{"listen_port": %s, "routes": [{"host": "*", "path_prefix": "/", "target_ip": "127.0.0.1", "target_port": %s}]}\n' \
        "$1" "$backend" > "$2"
}
write_config "$port" "$config"

say "creating a throwaway Wine prefix"
timeout 120 "$here/wine-server" start
timeout 60 "$here/wine-server" stop
# A new session without wineboot: wineboot --init starts a second
# services.exe beside the one the session's first program starts, and each
# answers some requests from its own list, so a service that one registers
# is unknown to the other. The first program here brings up just one.
setsid wineserver -p </dev/null >/dev/null 2>&1 &
for _ in $(seq 100); do [ -S "$(velkor_wineserver_socket)" ] && break; sleep 0.1; done
win cmd /c ver >/dev/null

say "--check with a non-ASCII configuration path"
out=$(win "$app/velkor-proxy.exe" --check "$(winpath "$config")" 2>&1) || fail "--check: $out"
grep -q "accepted" <<<"$out" || fail "--check said: $out"

name=velkor-test
say "installing, starting and querying service $name"
win "$app/velkor-proxy.exe" --install-service "$name" "$(winpath "$config")" || fail "install"
win net start "$name" || fail "net start"
answer=
for _ in $(seq 100); do
    answer=$(curl -s --max-time 2 "http://127.0.0.1:$port/") && break
    sleep 0.1
done
[ "$answer" = "hello from the backend" ] || fail "request through the service: '$answer'"
win net stop "$name" || fail "net stop"
query=$(win sc query "$name") || fail "sc query: $query"
grep -q STOPPED <<<"$query" || fail "sc query after the stop: $query"
win "$app/velkor-proxy.exe" --uninstall-service "$name" || fail "uninstall"
win sc query "$name" >/dev/null 2>&1 && fail "the service is still registered"
# The log has Windows line ends.
in_log() { tr -d '\r' <"$log" | grep -q "$1"; }
in_log "serving .*proxy-配置.json as service $name$" || fail "no start line in the log"
in_log "stopped HTTP :$port | connections 0 open, 1 total" || fail "no final status in the log"
in_log " stopped$" || fail "no stop line in the log"

say "a service that cannot start: the library refuses its configuration"
bad="$app/bad.json" log="$app/bad.log"
printf '{"listen_port": %s}\n' "$port" > "$bad"
win "$app/velkor-proxy.exe" --install-service bad "$(winpath "$bad")" --log "$(winpath "$log")" ||
    fail "install bad"
# Wine's net start succeeds once the service has reported in; the state
# and the exit code tell.
win net start bad >/dev/null 2>&1 || true
query=$(win sc query bad) || true
win "$app/velkor-proxy.exe" --uninstall-service bad || fail "uninstall bad"
in_log "cannot start: routes array required" || fail "no start failure in the --log file"
grep -q "STATE *: 1 *STOPPED" <<<"$query" &&
    grep -q "WIN32_EXIT_CODE *: 1066 " <<<"$query" &&
    grep -q "SERVICE_EXIT_CODE *: 2 " <<<"$query" || fail "sc query after the failed start: $query"

say "passed"
