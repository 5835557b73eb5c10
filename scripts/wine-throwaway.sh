# shellcheck shell=bash
# Sourced by the Wine tests that install services: a Wine prefix of their
# own in a scratch folder $work, since an automatic service left in a kept
# prefix would start in every later Wine session there. On exit the prefix,
# its wineserver, the backend and $work go away.
#   throwaway_session   creates the prefix and starts one Wine session
#   start_backend       tests/support/hello_backend.py on a free port: $backend
#   win PROGRAM ARGS    runs it under Wine, bounded
#   through_proxy PORT  the answer to GET / on 127.0.0.1:PORT, retried while
#                       connections are refused (a service starting)
work=$(mktemp -d)
export VELKOR_WINEPREFIX="$work/prefix"
# shellcheck source=scripts/wine-env.sh
. "$(dirname "${BASH_SOURCE[0]}")/wine-env.sh"
backend_pid=
throwaway_cleanup() {
    [ -z "$backend_pid" ] || kill "$backend_pid" 2>/dev/null || true
    if [ -d "$WINEPREFIX" ]; then
        wineserver -k 2>/dev/null || true
        timeout 30 wineserver -w 2>/dev/null || true
    fi
    rm -rf "$work"
}
trap throwaway_cleanup EXIT

win() { timeout 120 wine "$@" </dev/null; }
winpath() { printf 'Z:%s' "${1//\//\\}"; }
free_port() {
    python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

through_proxy() {
    curl -s --max-time 2 --retry 10 --retry-delay 1 --retry-connrefused "http://127.0.0.1:$1/" || true
}

start_backend() {
    # It stops by itself after five minutes.
    timeout 300 python3 "$_velkor_root/tests/support/hello_backend.py" "$work/backend-port" &
    backend_pid=$!
    for _ in $(seq 100); do [ -f "$work/backend-port" ] && break; sleep 0.1; done
    [ -f "$work/backend-port" ] || { echo "the backend did not start" >&2; return 1; }
    backend=$(cat "$work/backend-port")
}

throwaway_session() {
    timeout 120 "$_velkor_root/scripts/wine-server" start
    timeout 60 "$_velkor_root/scripts/wine-server" stop
    # A new session without wineboot: wineboot --init starts a second
    # services.exe beside the one the session's first program starts, and
    # each answers some requests from its own list, so a service that one
    # registers is unknown to the other. The first program here brings up
    # just one.
    setsid wineserver -p </dev/null >/dev/null 2>&1 &
    for _ in $(seq 100); do [ -S "$(velkor_wineserver_socket)" ] && break; sleep 0.1; done
    win cmd /c ver >/dev/null
}
