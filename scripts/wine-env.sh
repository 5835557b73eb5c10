# shellcheck shell=bash
# Sourced by scripts/wine-run and scripts/wine-server: one private, headless
# Wine prefix for running the Windows build's programs.
# VELKOR_WINEPREFIX in the environment points elsewhere.
_velkor_root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
export WINEPREFIX="${VELKOR_WINEPREFIX:-$_velkor_root/third_party/win64/wine}"
export WINEARCH=win64
# No debug channels (they slow every call), no prompts to install Mono or
# Gecko, no windows.
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY

# The socket of the wineserver that serves $WINEPREFIX. Upstream Wine keeps
# it under /tmp/.wine-UID; Debian's Wine under a random folder in $TMPDIR (or
# /tmp) whose name it writes into $WINEPREFIX/wineserver. Inside either, the
# server's folder is named after the device and inode of the prefix.
velkor_wineserver_socket() {
    local base dev ino
    if [ -f "$WINEPREFIX/wineserver" ]; then
        base="${TMPDIR:-/tmp}/$(cat "$WINEPREFIX/wineserver")"
    else
        base="/tmp/.wine-$(id -u)"
    fi
    read -r dev ino < <(stat -c '%d %i' "$WINEPREFIX")
    printf '%s/server-%x-%x/socket\n' "$base" "$dev" "$ino"
}
