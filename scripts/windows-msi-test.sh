#!/usr/bin/env bash
# The installer under Wine, in a throwaway prefix (an automatic service left
# in a kept prefix would start in every later Wine session there).
#
#   scripts/windows-msi-test.sh STAGE_DIR PACKAGE.msi
#
# Silent install: the staged files in Program Files, the plain-HTTP example
# as ProgramData\velkor-proxy\config.json, the service registered as
# --install-service registers it. The configuration is edited (a free port, a
# python3 backend) and the service restarted: it answers through the proxy.
# A package of the next version, built from the same files, upgrades in
# place: one product left, the edited configuration kept, the service
# running again and answering; the earlier package refused over it. Silent
# removal: service and program folder gone, the configuration folder kept as
# it was.
# Wine's msiexec may exit 0 after a failed action, so each step is judged by
# the registry, the service's state and the files. Bounded waits; the
# prefix, its wineserver and the backend go away on exit.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
[ $# -eq 2 ] || { echo "usage: $0 STAGE_DIR PACKAGE.msi" >&2; exit 2; }
stage=$(cd "$1" && pwd) msi=$(cd "$(dirname "$2")" && pwd)/$(basename "$2")

# shellcheck source=scripts/wine-throwaway.sh
. "$here/wine-throwaway.sh"
programs="$WINEPREFIX/drive_c/Program Files/velkor-proxy"
data="$WINEPREFIX/drive_c/ProgramData/velkor-proxy"

say() { printf 'windows-msi-test: %s\n' "$*"; }
fail() {
    say "FAILED: $*"
    # The installer's failures (Wine's logs are ASCII), then the service's last words.
    { grep -aiE 'error|fail|return value 3' "$work"/*.log | tr -d '\r' | tail -n 20
      tail -n 5 "$data/velkor-proxy.log"; } 2>/dev/null | sed 's/^/  /' || true
    exit 1
}
property() { msiinfo export "$1" Property | tr -d '\r' | sed -n "s/^$2\t//p"; }

version=$(property "$msi" ProductVersion)
next=${version%.*}.$((${version##*.} + 1))
# Its File table gives the binaries the next version too; the upgrade
# removes the earlier product before it installs a file, so no file's
# version is compared.
say "building the $next package from the same files"
"$here/windows-msi-build.sh" "$stage" "$next" "$work/next.msi" >/dev/null

start_backend || fail "the backend did not start"
say "creating a throwaway Wine prefix"
throwaway_session

service_key='HKLM\System\CurrentControlSet\Services\velkor-proxy'
uninstall_key='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall'

msiexec() {
    # $1 /i or /x, $2 the package, $3 the log's name.
    win msiexec "$1" "$(winpath "$2")" /qn /l*v "$(winpath "$work/$3.log")" ||
        fail "msiexec $1 $(basename "$2") exited $?"
}
registered() { win reg query "$uninstall_key\\$(property "$1" ProductCode)" >/dev/null 2>&1; }
reg_value() { win reg query "$service_key" /v "$1" 2>/dev/null | tr -d '\r' | sed -n "s/^ *$1 *REG_[A-Z_]* *//p"; }
state() { win sc query velkor-proxy 2>/dev/null | tr -d '\r' | sed -n 's/^ *STATE *: *[0-9]* *//p'; }

say "msiexec /i $(basename "$msi") /qn"
msiexec /i "$msi" install
registered "$msi" || fail "the product is not registered"
(cd "$stage" && find . -type f ! -name '*.pdb') | while read -r file; do
    cmp -s "$stage/$file" "$programs/$file" || fail "installed ${file#./} differs from the zip's"
done
cmp -s <(sed 's/$/\r/' "$here/../examples/config/plain-http.json") "$data/config.json" ||
    fail "config.json is not the plain-HTTP example"
# Wine's installer writes the program's path into ImagePath unquoted.
while IFS='|' read -r name want; do
    [ "$(reg_value "$name")" = "$want" ] || fail "service $name: '$(reg_value "$name")', not '$want'"
done <<'EOF'
ImagePath|C:\Program Files\velkor-proxy\velkor-proxy.exe --run-as-service "C:\ProgramData\velkor-proxy\config.json"
Start|0x2
ObjectName|NT AUTHORITY\LocalService
Description|velkor-proxy reverse proxy serving C:\ProgramData\velkor-proxy\config.json
EOF

say "an edited configuration: a free port and the backend; the service restarted"
port=$(free_port)
printf '{"listen_port": %s, "routes": [{"host": "*", "path_prefix": "/", "target_ip": "127.0.0.1", "target_port": %s}]}\r\n' \
    "$port" "$backend" > "$data/config.json"
cp "$data/config.json" "$work/edited.json"
win net stop velkor-proxy >/dev/null 2>&1 || true
win net start velkor-proxy >/dev/null || fail "net start"
[ "$(through_proxy "$port")" = "hello from the backend" ] || fail "no answer through the service after the edit"

say "msiexec /i $(basename "$work/next.msi") /qn: the upgrade"
# The folder Python makes beside the module, which removal must take too
# (empty: Wine's installer does not expand the "*.pyc" row's wildcard).
mkdir -p "$programs/__pycache__"
msiexec /i "$work/next.msi" upgrade
registered "$work/next.msi" || fail "$next is not registered"
registered "$msi" && fail "$version is still registered beside $next"
cmp -s "$work/edited.json" "$data/config.json" || fail "the upgrade changed config.json"
[ "$(state)" = RUNNING ] || fail "after the upgrade the service is '$(state)'"
[ "$(through_proxy "$port")" = "hello from the backend" ] || fail "no answer through the service after the upgrade"

say "msiexec /i $(basename "$msi") /qn over $next: refused"
win msiexec /i "$(winpath "$msi")" /qn /l*v "$(winpath "$work/downgrade.log")" &&
    fail "the earlier version installed over the later one"
registered "$msi" && fail "$version is registered beside $next"

say "msiexec /x $(basename "$work/next.msi") /qn"
msiexec /x "$work/next.msi" remove
registered "$work/next.msi" && fail "$next is still registered"
win reg query "$service_key" >/dev/null 2>&1 && fail "the service is still registered"
[ ! -e "$programs" ] || fail "left in Program Files: $(cd "$programs" && find . | tr '\n' ' ')"
cmp -s "$work/edited.json" "$data/config.json" || fail "removal changed or deleted config.json"
[ -f "$data/velkor-proxy.log" ] || fail "removal deleted the service's log"
say "passed"
