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

# Wine reads non-ASCII file names and arguments as UTF-8 only in a UTF-8 locale.
export LANG=C.UTF-8 LC_ALL=C.UTF-8
# shellcheck source=scripts/wine-throwaway.sh
. "$here/wine-throwaway.sh"

say() { printf 'windows-service-test: %s\n' "$*"; }
fail() { say "FAILED: $*"; [ ! -f "$log" ] || sed 's/^/  log: /' "$log"; exit 1; }

app="$work/app-ünïcødé-服务"
log="$app/velkor-proxy.log"
mkdir -p "$app"
cp "$exe" "$dll" "$app/"

start_backend || fail "the backend did not start"
port=$(free_port)

config="$app/proxy-配置.json"
write_config() {
    printf '{"listen_port": %s, "routes": [{"host": "*", "path_prefix": "/", "target_ip": "127.0.0.1", "target_port": %s}]}\n' \
        "$1" "$backend" > "$2"
}
write_config "$port" "$config"

say "creating a throwaway Wine prefix"
throwaway_session

say "--check with a non-ASCII configuration path"
out=$(win "$app/velkor-proxy.exe" --check "$(winpath "$config")" 2>&1) || fail "--check: $out"
grep -q "accepted" <<<"$out" || fail "--check said: $out"

name=velkor-test
say "installing, starting and querying service $name"
win "$app/velkor-proxy.exe" --install-service "$name" "$(winpath "$config")" || fail "install"
win net start "$name" || fail "net start"
answer=$(through_proxy "$port")
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
