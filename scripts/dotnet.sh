#!/usr/bin/env bash
# The .NET binding and the VelkorProxy package (bindings/dotnet):
#   1. the xunit tests against the default build's library (build/);
#   2. dotnet pack: the assembly with its XML documentation, the default
#      build's Linux library stripped as the Debian package strips it, the DLL
#      taken out of the Windows release zip, and a .snupkg with the symbols;
#      then the packed native files checked against their sources, the oldest
#      glibc and libstdc++ the package README names against the Linux
#      library's symbol versions, and the PDB's document names for folders of
#      this machine;
#   3. a consumer program restores the package from a folder source, with a
#      package cache of its own for this run (a rebuilt 1.0.0 would otherwise
#      come from the cache), and runs one request through the proxy on Linux;
#      a build of it for linux-arm64 must warn VELKOR001, the other builds
#      here must not;
#   4. the package README's ASP.NET Core example, built for linux-x64, serves
#      its status and one request through the proxy, and stops it on SIGTERM;
#   5. the consumer published self-contained for win-x64 and run under
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
mkdir -p "$out/native" "$out/packages" "$out/consumer"
cd bindings/dotnet

log "tests against $so"
VELKOR_PROXY_LIBRARY=$root/build/libvelkor-proxy.so.1 \
    dotnet test VelkorProxy.Tests -c Release 2>&1 | tee "$out/test-summary.log"

log "packing VelkorProxy $version"
unzip -p "$root/$zipfile" "$release/velkor-proxy.dll" > "$out/native/velkor-proxy.dll"
strip --strip-unneeded -o "$out/native/libvelkor-proxy.so" "$root/$so"
# A build of its own: a Release build of the tests' would be taken as it is,
# with this machine's paths in its PDB. ContinuousIntegrationBuild maps them
# under /_/ (VelkorProxy.csproj).
rm -rf "$out/pack"
dotnet pack VelkorProxy -c Release -o "$out/packages" -p:Version="$version" \
    -p:VelkorNativeDir="$out/native" -p:ContinuousIntegrationBuild=true --artifacts-path "$out/pack" >/dev/null
nupkg=$out/packages/VelkorProxy.$version.nupkg
[ -f "${nupkg%.nupkg}.snupkg" ] || die "no symbol package beside $nupkg"
unzip -p "$nupkg" runtimes/win-x64/native/velkor-proxy.dll | cmp - <(unzip -p "$root/$zipfile" "$release/velkor-proxy.dll") ||
    die "the package's velkor-proxy.dll is not the one $zipfile ships"
build_id() { readelf -n "$1" | sed -n 's/.*Build ID: //p'; }
unzip -p "$nupkg" runtimes/linux-x64/native/libvelkor-proxy.so > "$out/native/packed.so"
[ "$(build_id "$out/native/packed.so")" = "$(build_id "$root/$so")" ] ||
    die "the package's libvelkor-proxy.so is not $so"
log "made $nupkg: the DLL byte for byte as $zipfile ships it, the Linux library of $so"

# The newest symbol versions the library needs are the oldest glibc and
# libstdc++ it loads on, which the package README names.
needed=
for lib in GLIBC GLIBCXX; do
    newest=$(readelf -W --dyn-syms "$out/native/packed.so" | grep -o "${lib}_[0-9.]*" | sort -Vu | tail -1)
    grep -qF "\`$newest\`" VelkorProxy/README.md || die "VelkorProxy/README.md does not name $newest, the newest $lib version $so needs"
    needed="$needed $newest"
done
dotnet run --project PdbDocuments -c Release -- "${nupkg%.nupkg}.snupkg" > "$out/pdb-documents.log"
grep -qE ': /_[0-9]*/bindings/dotnet/VelkorProxy/Proxy.cs$' "$out/pdb-documents.log" || die "no Proxy.cs among the PDB's documents"
! grep -vE ': /_[0-9]*/' "$out/pdb-documents.log" || die "the symbols package's PDB names folders of this machine (above)"
log "the PDB names its documents under /_/; the README names$needed"

# The ASP.NET Core example and its appsettings.json stand in the package
# README as they are tested here.
for file in AspNetExample/Program.cs AspNetExample/appsettings.json; do
    python3 -c 'import sys; sys.exit(open(sys.argv[1]).read() not in open(sys.argv[2]).read())' \
        "$file" VelkorProxy/README.md || die "VelkorProxy/README.md does not hold $file as it is"
done

# The consumer finds the package in the folder pack wrote, besides the
# sources nuget.config names; its own cache makes the restore unpack it anew.
export NUGET_PACKAGES=$out/nuget-packages
consumer=(-c Release -p:VelkorProxyVersion="$version" -p:RestoreAdditionalProjectSources="$out/packages")
unset VELKOR_PROXY_LIBRARY
log "consumer on Linux, the library from the package"
dotnet build Consumer "${consumer[@]}" -o "$out/consumer/linux" > "$out/consumer/linux-build.log"
"$out/consumer/linux/Consumer" | tee "$out/consumer/linux.log"
grep -qx "library $out/consumer/linux/runtimes/linux-x64/native/libvelkor-proxy.so" "$out/consumer/linux.log" ||
    die "the consumer did not load the package's libvelkor-proxy.so"

log "consumer for linux-arm64: the package has no library for it, so the build warns"
dotnet build Consumer "${consumer[@]}" -r linux-arm64 -p:UseAppHost=false \
    -o "$out/consumer/linux-arm64" > "$out/consumer/linux-arm64-build.log"
grep -q "warning VELKOR001: .*'linux-arm64'" "$out/consumer/linux-arm64-build.log" &&
    grep -qx ' *1 Warning(s)' "$out/consumer/linux-arm64-build.log" ||
    die "the linux-arm64 build did not warn VELKOR001 once (see $out/consumer/linux-arm64-build.log)"

log "ASP.NET Core example for linux-x64: status and one request through the proxy, stopped on SIGTERM"
dotnet build AspNetExample "${consumer[@]}" -r linux-x64 -o "$out/aspnet" > "$out/aspnet-build.log"
read -r app_port proxy_port < <(python3 -c 'import socket
s = [socket.socket() for _ in range(2)]
for x in s: x.bind(("127.0.0.1", 0))
print(*[x.getsockname()[1] for x in s])')
# From its own folder, which is its content root: it reads its appsettings.json
# there, the ports set on the command line.
(cd "$out/aspnet" && exec timeout 120 ./AspNetExample --urls "http://127.0.0.1:$app_port" \
    --VelkorProxy:ListenPort="$proxy_port" --VelkorProxy:Routes:0:TargetPort="$app_port") > "$out/aspnet.log" 2>&1 &
app=$!
trap 'kill $app 2>/dev/null || true' EXIT
fetch() { curl -sf --max-time 10 --retry 30 --retry-connrefused --retry-delay 1 "$@"; }
answer=$(fetch -H "Host: app.example" "http://127.0.0.1:$proxy_port/") || die "no answer through the proxy (see $out/aspnet.log)"
[ "$answer" = "hello from ASP.NET Core; Host app.example, X-Forwarded-For 127.0.0.1" ] ||
    die "the example answered through the proxy: $answer"
status=$(fetch "http://127.0.0.1:$app_port/proxy/status") || die "no status (see $out/aspnet.log)"
grep -q "\"listen_port\":$proxy_port,.*\"host\":\"\*\",.*\"hits\":1," <<<"$status" || die "the status: $status"
kill -TERM "$app"
wait "$app" || die "the example exited with $? on SIGTERM (see $out/aspnet.log)"
grep -q "velkor-proxy stopped" "$out/aspnet.log" || die "the example did not stop the proxy on shutdown"

log "consumer for win-x64, self-contained, under Wine"
dotnet publish Consumer "${consumer[@]}" -r win-x64 --self-contained -o "$out/consumer/win-x64" > "$out/consumer/win-x64-build.log"
! grep -H VELKOR001 "$out/consumer/linux-build.log" "$out/aspnet-build.log" "$out/consumer/win-x64-build.log" ||
    die "a portable, linux-x64 or win-x64 build warned VELKOR001"
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
