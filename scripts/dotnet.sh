#!/usr/bin/env bash
# The .NET binding and the VelkorProxy package (bindings/dotnet):
#   1. the xunit tests against the default build's library (build/);
#   2. dotnet pack: the assembly with its XML documentation, the default
#      build's Linux library stripped as the Debian package strips it, the DLL
#      taken out of the Windows release zip, and a .snupkg with the symbols;
#      then the packed native files checked against their sources;
#   3. a consumer program restores the package from a folder source, with a
#      package cache of its own for this run (a rebuilt 1.0.0 would otherwise
#      come from the cache), and runs one request through the proxy on Linux;
#   4. the same consumer published self-contained for win-x64 and run under
#      Wine against the package's DLL.
# Needs build/ (the default stage) and the Windows release zip (the windows
# stage). Writes build-dotnet/; the test count goes to
# build-dotnet/test-summary.log.
#   ./scripts/dotnet.sh
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
log() { echo "dotnet: $*"; }
die() { log "$*" >&2; exit 1; }

export DOTNET_CLI_TELEMETRY_OPTOUT=1 DOTNET_NOLOGO=1 DOTNET_SKIP_FIRST_TIME_EXPERIENCE=1
export DOTNET_CLI_WORKLOAD_UPDATE_NOTIFY_DISABLE=1 DOTNET_CLI_USE_MSBUILD_SERVER=0
command -v dotnet >/dev/null || die "no dotnet on PATH: the .NET 10 SDK is needed"

version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' build/CMakeCache.txt 2>/dev/null || true)
[ -n "$version" ] || die "no build/CMakeCache.txt: run ./scripts/test.sh default first"
so=build/libvelkor-proxy.so.$version
release=velkor-proxy-$version-windows-x86_64
zipfile=build-windows/$release.zip
[ -f "$so" ] || die "no $so: run ./scripts/test.sh default first"
[ -f "$zipfile" ] || die "no $zipfile: run ./scripts/test.sh windows first"

out=$root/build-dotnet
rm -rf "$out/native" "$out/packages" "$out/consumer" "$out/nuget-packages"
mkdir -p "$out/native" "$out/packages"
cd bindings/dotnet

log "tests against $so"
VELKOR_PROXY_LIBRARY=$root/build/libvelkor-proxy.so.1 \
    dotnet test VelkorProxy.Tests -c Release 2>&1 | tee "$out/test-summary.log"

log "packing VelkorProxy $version"
unzip -p "$root/$zipfile" "$release/velkor-proxy.dll" > "$out/native/velkor-proxy.dll"
strip --strip-unneeded -o "$out/native/libvelkor-proxy.so" "$root/$so"
dotnet pack VelkorProxy -c Release -o "$out/packages" -p:Version="$version" \
    -p:VelkorNativeDir="$out/native" >/dev/null
nupkg=$out/packages/VelkorProxy.$version.nupkg
[ -f "${nupkg%.nupkg}.snupkg" ] || die "no symbol package beside $nupkg"
unzip -p "$nupkg" runtimes/win-x64/native/velkor-proxy.dll | cmp - <(unzip -p "$root/$zipfile" "$release/velkor-proxy.dll") ||
    die "the package's velkor-proxy.dll is not the one $zipfile ships"
build_id() { readelf -n "$1" | sed -n 's/.*Build ID: //p'; }
unzip -p "$nupkg" runtimes/linux-x64/native/libvelkor-proxy.so > "$out/native/packed.so"
[ "$(build_id "$out/native/packed.so")" = "$(build_id "$root/$so")" ] ||
    die "the package's libvelkor-proxy.so is not $so"
log "made $nupkg: the DLL byte for byte as $zipfile ships it, the Linux library of $so"

# The consumer finds the package in the folder pack wrote, besides the
# sources nuget.config names; its own cache makes the restore unpack it anew.
export NUGET_PACKAGES=$out/nuget-packages
consumer=(-c Release -p:VelkorProxyVersion="$version" -p:RestoreAdditionalProjectSources="$out/packages")
unset VELKOR_PROXY_LIBRARY
log "consumer on Linux, the library from the package"
dotnet build Consumer "${consumer[@]}" -o "$out/consumer/linux" >/dev/null
"$out/consumer/linux/Consumer" | tee "$out/consumer/linux.log"
grep -qx "library $out/consumer/linux/runtimes/linux-x64/native/libvelkor-proxy.so" "$out/consumer/linux.log" ||
    die "the consumer did not load the package's libvelkor-proxy.so"

log "consumer for win-x64, self-contained, under Wine"
dotnet publish Consumer "${consumer[@]}" -r win-x64 --self-contained -o "$out/consumer/win-x64" >/dev/null
cmp "$out/consumer/win-x64/velkor-proxy.dll" "$out/native/velkor-proxy.dll" ||
    die "the published consumer's velkor-proxy.dll is not the package's"
"$root/scripts/wine-server" start
trap '"$root/scripts/wine-server" stop' EXIT
# Every managed DLL imports _CorDllMain from mscoree.dll, which wine-env.sh
# disables for the other Windows programs (no Mono prompts): .NET needs
# Wine's own mscoree to be there. A crash would start Wine's debugger and
# wait, hence the time-out.
(. "$root/scripts/wine-env.sh"
 export WINEDLLOVERRIDES="mshtml="
 timeout 120 wine "$out/consumer/win-x64/Consumer.exe" </dev/null) | tr -d '\r' | tee "$out/consumer/win-x64.log"
grep -q "on win-x64: you asked for /through-the-package" "$out/consumer/win-x64.log" ||
    die "the win-x64 consumer did not serve under Wine"
rm -rf "$NUGET_PACKAGES"
