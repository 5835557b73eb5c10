#!/usr/bin/env bash
# Makes the Debian package from a built tree and checks it: lintian finds no
# error, it installs, the C example builds against the installed files
# through pkg-config and runs, a changed configuration survives a reinstall,
# and the systemd unit verifies with an exposure below 5.0. The package is
# purged again whatever happens. Usage: deb_package_test.sh BUILD_DIR
set -euo pipefail
build=$(cd "$1" && pwd)
tmp=$(mktemp -d)

fail() { echo "FAIL: $*" >&2; exit 1; }
as_root() { if [ "$(id -u)" = 0 ]; then "$@"; else sudo "$@"; fi; }
installed() { dpkg-query -W -f='${db:Status-Status}' velkor-proxy 2>/dev/null | grep -qv not-installed; }

# The purge at the end would take away an installation of the user's own.
installed && fail "velkor-proxy is installed already; remove it before this test"
trap 'installed && as_root dpkg --purge velkor-proxy >/dev/null; rm -rf "$tmp"' EXIT

version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
deb=$build/velkor-proxy_${version}-1_$(dpkg --print-architecture).deb
rm -f "$deb"
(cd "$build" && cpack -G DEB >/dev/null)
[ -f "$deb" ] || fail "cpack made no $deb"

echo "== lintian"
lintian --fail-on error "$deb" || fail "lintian reports errors"

as_root dpkg -i "$deb" >/dev/null
velkor-proxy --version | grep -q "library $version" || fail "installed program"
dpkg-query -W -f='${Conffiles}' velkor-proxy | grep -q ' /etc/velkor-proxy/config.json ' ||
    fail "config.json is not a conffile"

# dpkg keeps a changed conffile when it installs the package again.
echo '{"changed": 1}' | as_root tee /etc/velkor-proxy/config.json >/dev/null
as_root dpkg -i --force-confold "$deb" >/dev/null
grep -q changed /etc/velkor-proxy/config.json || fail "reinstall replaced the changed config.json"

cc -Wall -Wextra -Werror -o "$tmp/c_host" /usr/share/velkor-proxy/examples/c/minimal_host.c \
    $(pkg-config --cflags --libs velkor-proxy)
out=$("$tmp/c_host") || fail "C example exited non-zero: $out"
grep -q '^running: 1$' <<<"$out" || fail "C example not running: $out"
grep -q '^running after stop: 0$' <<<"$out" || fail "C example still running: $out"

unit=/lib/systemd/system/velkor-proxy.service
out=$(systemd-analyze verify --man=no "$unit" 2>&1) || fail "unit does not verify: $out"
[ -z "$out" ] || fail "unit verifies with warnings: $out"
exposure=$(systemd-analyze security --offline=true "$unit" 2>&1 |
    sed -n 's/.*Overall exposure level for .*: \([0-9.]*\).*/\1/p')
[ -n "$exposure" ] || fail "no exposure level for the unit"
awk -v e="$exposure" 'BEGIN { exit !(e < 5.0) }' || fail "unit exposure $exposure, want below 5.0"

as_root dpkg --purge velkor-proxy >/dev/null
! installed || fail "still installed after the purge"
[ ! -e /etc/velkor-proxy ] && [ ! -e "$unit" ] || fail "purge left files behind"
echo "Debian package $(basename "$deb"): lintian clean of errors, installs, example builds; unit exposure $exposure"
