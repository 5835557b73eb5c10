#!/usr/bin/env bash
# Brings a Debian 12 machine to a working build of this project.
# Idempotent: a second run only checks what is already there.
#
# mbedTLS: Debian 12 ships 2.28 only. We need 3.6 with threading support.
# An mbedTLS >= 3.6 already on the system is used as it is; otherwise the
# packages of Debian's next release are downloaded through a private sources
# list (built from this machine's own apt mirror) and unpacked under
# third_party/mbedtls, which is git-ignored. The machine's apt configuration
# is left untouched.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
dest="$root/third_party/mbedtls"
want_suite=trixie

log() { printf 'setup: %s\n' "$*"; }

as_root() { if [ "$(id -u)" = 0 ]; then "$@"; else sudo "$@"; fi; }

# The package stage of scripts/test.sh (setup.sh package) also makes,
# lints and checks the Debian package.
extra=()
[ "${1:-}" = package ] && extra=(dpkg-dev file lintian systemd)

install_debian_packages() {
    local need=()
    local pkg
    for pkg in g++ cmake ninja-build pkg-config libgtest-dev libjsmn-dev \
               openssl curl unzip python3 clang libclang-rt-14-dev "${extra[@]}"; do
        dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'ok installed' \
            || need+=("$pkg")
    done
    if [ ${#need[@]} -gt 0 ]; then
        log "installing ${need[*]}"
        apt_get_waiting update -qq
        apt_get_waiting install -y -qq "${need[@]}"
    fi
}

system_mbedtls_ok() {
    local h=/usr/include/mbedtls/build_info.h
    [ -f "$h" ] || return 1
    local major minor
    major=$(awk '/define MBEDTLS_VERSION_MAJOR/ {print $3}' "$h")
    minor=$(awk '/define MBEDTLS_VERSION_MINOR/ {print $3}' "$h")
    [ "${major:-0}" -gt 3 ] || { [ "${major:-0}" -eq 3 ] && [ "${minor:-0}" -ge 6 ]; }
}

local_mbedtls_ok() {
    [ -f "$dest/usr/include/mbedtls/build_info.h" ] &&
    ls "$dest"/usr/lib/*/libmbedtls.a >/dev/null 2>&1
}

# shellcheck source=scripts/apt-mirror.sh
. "$root/scripts/apt-mirror.sh"
# shellcheck source=scripts/apt-wait.sh
. "$root/scripts/apt-wait.sh"

fetch_mbedtls() {
    local mirror
    mirror=$(machine_mirror | head -n 1)
    [ -n "$mirror" ] || { log "no Debian mirror found in /etc/apt"; exit 1; }
    log "fetching mbedTLS 3.6 packages of $want_suite from this machine's mirror"

    local work
    work=$(mktemp -d)
    chmod 755 "$work"
    trap 'rm -rf "$work"' RETURN
    mkdir -p "$work/lists/partial" "$work/cache/archives/partial" "$work/etc/preferences.d"
    local keyring=/usr/share/keyrings/debian-archive-keyring.gpg
    echo "deb [signed-by=$keyring] $mirror $want_suite main" > "$work/etc/sources.list"
    local opts=(
        -o Dir::Etc::SourceList="$work/etc/sources.list"
        -o Dir::Etc::SourceParts="$work/none"
        -o Dir::Etc::PreferencesParts="$work/etc/preferences.d"
        -o Dir::State::Lists="$work/lists"
        -o Dir::Cache="$work/cache"
        -o Dir::State::status="$work/status"
        -o APT::Get::List-Cleanup=0
    )
    : > "$work/status"
    apt-get "${opts[@]}" -qq update
    (cd "$work" && apt-get "${opts[@]}" -qq download \
        libmbedtls-dev libmbedcrypto16 libmbedx509-7 libmbedtls21)
    rm -rf "$dest"
    mkdir -p "$dest"
    local deb
    for deb in "$work"/*.deb; do
        dpkg-deb -x "$deb" "$dest"
    done
    local_mbedtls_ok || { log "unpacked mbedTLS is incomplete"; exit 1; }
}

# promtool checks the program's metrics page in the tests. Debian's
# prometheus package would also install (and start) a server: only its
# promtool is unpacked, under third_party/promtool.
fetch_promtool() {
    local bin="$root/third_party/promtool/bin"
    if command -v promtool >/dev/null || [ -x "$bin/promtool" ]; then return; fi
    log "unpacking promtool from Debian's prometheus package"
    local work
    work=$(mktemp -d)
    chmod 755 "$work"
    (cd "$work" && { apt-get -qq download prometheus 2>/dev/null ||
                     { apt_get_waiting update -qq && apt-get -qq download prometheus; }; })
    dpkg-deb -x "$work"/prometheus_*.deb "$work/unpacked"
    mkdir -p "$bin"
    cp "$work/unpacked/usr/bin/promtool" "$bin/"
    rm -rf "$work"
}

install_debian_packages
fetch_promtool
if system_mbedtls_ok; then
    log "using the system's mbedTLS"
elif local_mbedtls_ok; then
    log "mbedTLS already unpacked under third_party/mbedtls"
else
    fetch_mbedtls
fi
log "ready"
