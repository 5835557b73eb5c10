#!/usr/bin/env bash
# Windows x86-64 cross build on Debian 12: clang and lld against mingw-w64
# (posix threads, gcc's libstdc++), PDBs for Windows debuggers, and Wine.
#
#   scripts/build-windows.sh [STAGE...]
#
# Stages, each idempotent and callable on its own:
#   packages  Debian packages: the mingw-w64 posix compilers, Wine, zip, ...
#   deps      mbedTLS 3.6 (threading on), GoogleTest and jsmn cross-built
#             once, by the same compiler, into third_party/win64/prefix
#             (git-ignored)
#   wine      a private headless Wine prefix under third_party/win64/wine
#   build     configure and build the project into build-windows/ with
#             cmake/mingw-w64-clang.cmake (a detached wineserver runs meanwhile,
#             because test discovery runs the test program under Wine)
#   test      run ctest in build-windows/ under Wine
#   release   build the DLL and velkor-proxy.exe, make the MSVC import
#             library (llvm-dlltool), check exports, imports, version
#             resources and the import library's member names, build the C
#             and C++ examples (import library; LoadLibraryExW), link a
#             caller the MSVC way (clang in MSVC mode, lld-link,
#             velkor-proxy.lib), run them and velkor-proxy.exe --check
#             under Wine, and zip it all with README.txt, the licences and
#             the Python module into
#             build-windows/velkor-proxy-VERSION-windows-x86_64.zip; the
#             two PDBs, checked against the shipped binaries, go into
#             build-windows/velkor-proxy-VERSION-windows-x86_64-symbols.zip;
#             the installer build-windows/velkor-proxy-VERSION-windows-x86_64.msi
#             (scripts/windows-msi-build.sh), tried under Wine
#             (scripts/windows-msi-test.sh); the DLL, the program and the
#             MSI signed when a certificate is named
#             (scripts/sign-windows.sh), the signing proved on copies with
#             a certificate of the run (scripts/windows-sign-test.sh); and
#             build-windows/SHA256SUMS of the three, last
# No stage given: packages deps wine build.
#
# Environment: JOBS (default 2) caps build parallelism; VELKOR_SIGN_PFX,
# VELKOR_SIGN_PASSWORD and VELKOR_SIGN_TIMESTAMP sign the release (see
# scripts/sign-windows.sh).
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
cache="$root/third_party/win64"
prefix="$cache/prefix"
toolchain="$root/cmake/mingw-w64-clang.cmake"
builddir="$root/build-windows"
jobs=${JOBS:-2}
want_suite=trixie

log() { printf 'build-windows: %s\n' "$*"; }

as_root() { if [ "$(id -u)" = 0 ]; then "$@"; else sudo "$@"; fi; }

stage_packages() {
    # The posix-thread compilers only: the metapackage would add the win32
    # thread model too, whose gcc 12 has no std::thread/std::mutex.
    local need=() pkg
    for pkg in g++-mingw-w64-x86-64-posix wine64 wine zip cmake ninja-build \
               python3 dpkg-dev googletest libjsmn-dev debian-archive-keyring \
               clang lld llvm curl msitools wixl osslsigncode; do
        dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'ok installed' \
            || need+=("$pkg")
    done
    if [ ${#need[@]} -eq 0 ]; then
        log "packages already installed"
        return
    fi
    log "installing ${need[*]}"
    apt_get_waiting update -qq
    apt_get_waiting install -y -qq --no-install-recommends "${need[@]}"
}

# shellcheck source=scripts/apt-mirror.sh
. "$root/scripts/apt-mirror.sh"
# shellcheck source=scripts/apt-wait.sh
. "$root/scripts/apt-wait.sh"

# Debian's trixie source package of mbedTLS (3.6), fetched through a private
# deb-src list into $1; the machine's apt configuration is left untouched.
fetch_mbedtls_source() {
    local work=$1 mirror
    mirror=$(machine_mirror | head -n 1)
    [ -n "$mirror" ] || { log "no Debian mirror found in /etc/apt"; exit 1; }
    log "fetching the mbedTLS source package of $want_suite from this machine's mirror"
    mkdir -p "$work/apt/lists/partial" "$work/apt/cache/archives/partial" \
             "$work/apt/etc/preferences.d" "$work/src"
    local keyring=/usr/share/keyrings/debian-archive-keyring.gpg
    echo "deb-src [signed-by=$keyring] $mirror $want_suite main" > "$work/apt/etc/sources.list"
    : > "$work/apt/status"
    # Sandbox user root: apt's own user may not write into this folder.
    local opts=(
        -o Dir::Etc::SourceList="$work/apt/etc/sources.list"
        -o Dir::Etc::SourceParts=/dev/null
        -o Dir::Etc::PreferencesParts="$work/apt/etc/preferences.d"
        -o Dir::State::Lists="$work/apt/lists"
        -o Dir::Cache="$work/apt/cache"
        -o Dir::State::status="$work/apt/status"
        -o APT::Get::List-Cleanup=0
        -o APT::Sandbox::User=root
    )
    apt-get "${opts[@]}" -qq update
    (cd "$work/src" && apt-get "${opts[@]}" -qq source --download-only mbedtls)
}

cmake_cross() {
    # $1 source, $2 build folder, then extra cache settings.
    local src=$1 bld=$2
    shift 2
    # Quiet unless it fails; then the end of what it said.
    local out="$cache/work/cmake.log"
    {
        cmake -S "$src" -B "$bld" -G Ninja \
            -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
            -DCMAKE_BUILD_TYPE=Release \
            -DCMAKE_INSTALL_PREFIX="$prefix" "$@" &&
        cmake --build "$bld" -j "$jobs" &&
        cmake --install "$bld"
    } >"$out" 2>&1 || { tail -n 40 "$out" >&2; log "building $src failed"; exit 1; }
}

build_mbedtls() {
    if [ -f "$prefix/lib/libmbedcrypto.a" ] && [ -f "$prefix/include/mbedtls/ssl.h" ]; then
        log "mbedTLS already built"
        return
    fi
    local work="$cache/work/mbedtls"
    rm -rf "$work"
    fetch_mbedtls_source "$work"
    local dscs=("$work"/src/mbedtls_*.dsc)
    local dsc=${dscs[0]}
    [ -f "$dsc" ] || { log "no mbedTLS source package was downloaded"; exit 1; }
    # Unpacked with Debian's patches, as the Linux build's packages were
    # built. apt has checked the files against the signed index already.
    dpkg-source --no-check -x "$dsc" "$work/mbedtls" >/dev/null
    log "building mbedTLS $(basename "$dsc" .dsc | sed 's/^mbedtls_//') (static, threading on)"
    # Threading on, as the Linux build has it; winpthreads provides pthreads.
    (cd "$work/mbedtls" &&
        python3 scripts/config.py set MBEDTLS_THREADING_C &&
        python3 scripts/config.py set MBEDTLS_THREADING_PTHREAD)
    # Clang warns about mbedTLS's gnu_printf format attribute, which
    # mbedTLS's own -Werror would make an error.
    cmake_cross "$work/mbedtls" "$work/build" -DMBEDTLS_FATAL_WARNINGS=OFF \
        -DENABLE_TESTING=OFF -DENABLE_PROGRAMS=OFF -DGEN_FILES=OFF \
        -DUSE_SHARED_MBEDTLS_LIBRARY=OFF -DUSE_STATIC_MBEDTLS_LIBRARY=ON
    rm -rf "$work"
}

build_googletest() {
    if [ -f "$prefix/lib/libgtest.a" ]; then
        log "GoogleTest already built"
        return
    fi
    local work="$cache/work/googletest"
    rm -rf "$work"
    log "building GoogleTest from /usr/src/googletest"
    cmake_cross /usr/src/googletest "$work" -DBUILD_GMOCK=OFF
    rm -rf "$work"
}

copy_jsmn() {
    # Header only; copied because the cross build must not search /usr/include.
    if [ -f "$prefix/include/jsmn.h" ]; then
        log "jsmn already copied"
        return
    fi
    log "copying jsmn.h"
    mkdir -p "$prefix/include"
    cp /usr/include/jsmn.h "$prefix/include/jsmn.h"
}

stage_deps() {
    command -v x86_64-w64-mingw32-g++-posix >/dev/null && command -v clang++ >/dev/null || {
        log "no mingw-w64 or clang compiler: run the packages stage first"; exit 1; }
    # The dependencies come from the compiler that builds the project, so the
    # suite tests what is shipped: a prefix another toolchain file built
    # (gcc's, in an older checkout) is built again.
    local stamp="$prefix/toolchain"
    if [ -d "$prefix" ] && [ "$(cat "$stamp" 2>/dev/null)" != "$(basename "$toolchain")" ]; then
        log "dependencies were built with another toolchain: building them again"
        rm -rf "$prefix"
    fi
    build_mbedtls
    build_googletest
    copy_jsmn
    basename "$toolchain" > "$stamp"
    rm -rf "$cache/work"
}

stage_wine() {
    # The prefix scripts/wine-env.sh chooses (VELKOR_WINEPREFIX overrides).
    if [ -f "${VELKOR_WINEPREFIX:-$cache/wine}/system.reg" ]; then
        log "Wine prefix already there"
        return
    fi
    log "creating the Wine prefix"
    # Starts a detached server first, so no Wine process keeps a pipe of
    # ours, then wineboot creates the prefix.
    "$root/scripts/wine-server" start
    "$root/scripts/wine-server" stop
}

configure() {
    # A build folder of another toolchain file (gcc's, in an older checkout)
    # keeps that compiler in its cache: configure it afresh.
    local fresh=()
    if [ -f "$builddir/CMakeCache.txt" ] &&
       ! grep -qxF "CMAKE_TOOLCHAIN_FILE:FILEPATH=$toolchain" "$builddir/CMakeCache.txt"; then
        fresh=(--fresh)
    fi
    (cd "$root" && cmake --preset windows "${fresh[@]}")
}

stage_build() {
    # Test discovery runs the test program under Wine while building.
    "$root/scripts/wine-server" start
    trap '"$root/scripts/wine-server" stop' EXIT
    configure
    cmake --build "$builddir" -j "$jobs"
}

stage_test() {
    "$root/scripts/wine-server" start
    trap '"$root/scripts/wine-server" stop' EXIT
    ctest --test-dir "$builddir" --output-on-failure -j "$jobs" | tee "$builddir/ctest-summary.log"
}

# The system DLLs a release file may import: anything else would have to be
# shipped beside it. velkor-proxy.dll only for the programs that use it,
# advapi32.dll (the service control manager) only for velkor-proxy.exe.
system_dlls='^(kernel32|msvcrt|ws2_32|bcrypt|iphlpapi|api-ms-win-core-synch-l1-2-0)\.dll$'

check_imports() {
    # $1 the file, $2 an extra allowed DLL name (regex) or empty.
    local file=$1 extra=${2:-} dll bad=0
    while read -r dll; do
        if ! printf '%s\n' "$dll" | grep -qiE "$system_dlls" &&
           { [ -z "$extra" ] || ! printf '%s\n' "$dll" | grep -qiE "$extra"; }; then
            log "$(basename "$file") imports $dll, which Windows does not have"
            bad=1
        fi
    done < <(x86_64-w64-mingw32-objdump -p "$file" | sed -n 's/^[[:space:]]*DLL Name: //p')
    [ $bad -eq 0 ] || exit 1
}

check_exports() {
    # Exactly the six functions of the .def, by name.
    local want got
    want=$(sed -n '/^EXPORTS/,$p' "$root/cmake/velkor-proxy.def" | sed -n 's/^[[:space:]]\+\([a-z_]\+\)[[:space:]]*$/\1/p' | sort)
    got=$(x86_64-w64-mingw32-objdump -p "$1" |
          sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/s/^[[:space:]]*\[ *[0-9]*\] //p' | sort)
    if [ "$want" != "$got" ] || [ "$(printf '%s\n' "$got" | wc -l)" -ne 6 ]; then
        log "velkor-proxy.dll exports differ from cmake/velkor-proxy.def:"
        diff <(printf '%s\n' "$want") <(printf '%s\n' "$got") >&2 || true
        exit 1
    fi
}

# velkor-proxy.lib's members are all named after the DLL, as in MSVC's own
# import libraries, and nothing in it names a folder of this machine.
check_import_library() {
    local names
    names=$(llvm-ar-14 t "$1" | sort -u)
    if [ "$names" != velkor-proxy.dll ] || grep -qaF "$root" "$1"; then
        log "$(basename "$1") has members other than velkor-proxy.dll or a build path:"
        printf '%s\n' "$names" >&2
        exit 1
    fi
}

# FILEVERSION and PRODUCTVERSION of $1's VERSIONINFO resource, e.g.
# "1.0.0.0 1.0.0.0": two pairs of little-endian words after the fixed
# part's signature FEEF04BD and its structure version.
resource_versions() {
    local hex fixed at ms ls versions=()
    hex=$(llvm-readobj-14 --coff-resources "$1" |
          sed -n 's/^ *[0-9A-F]\{4,\}: \([0-9A-F ]*\)|.*/\1/p' | tr -d ' \n')
    fixed=${hex#*BD04EFFE}
    [ "$fixed" != "$hex" ] || return 0
    le() { echo $((16#${1:6:2}${1:4:2}${1:2:2}${1:0:2})); }
    for at in 8 24; do
        ms=$(le "${fixed:at:8}")
        ls=$(le "${fixed:at+8:8}")
        versions+=("$((ms >> 16)).$((ms & 0xffff)).$((ls >> 16)).$((ls & 0xffff))")
    done
    echo "${versions[*]}"
}

check_version() {
    # $1 the file, $2 the project's version (three numbers).
    local got
    got=$(resource_versions "$1")
    if [ "$got" != "$2.0 $2.0" ]; then
        log "$(basename "$1"): version resource '$got', not $2.0"
        exit 1
    fi
}

# The header and velkor-proxy.lib as MSVC's tools take them: clang in MSVC
# mode compiles a caller and lld-link (MSVC's linker command line and
# library format) links it against the .lib alone. No MSVC runtime is at
# hand, so the caller has none: its entry point's result is the exit code.
build_msvc_caller() {
    local stage=$1 out=$2
    cat > "$out/msvc_caller.c" <<'EOF_C'
#include <velkor_proxy.h>
int entry(void) {
    const char *v = proxy_version();
    return v[0] == '1' && v[1] == '.' && proxy_status() == 0 ? 0 : 1;
}
EOF_C
    clang --target=x86_64-pc-windows-msvc -Wall -Wextra -Werror -O2 -c \
        -I "$stage/include" "$out/msvc_caller.c" -o "$out/msvc_caller.obj"
    lld-link /nologo /entry:entry /subsystem:console /nodefaultlib \
        "$out/msvc_caller.obj" "$stage/lib/velkor-proxy.lib" /out:"$out/msvc_caller.exe"
    check_imports "$out/msvc_caller.exe" '^velkor-proxy\.dll$'
}

# A Windows debugger takes a binary's PDB only when the name, GUID and age in
# the binary's debug directory match the PDB's own.
check_pdb_match() {
    local bin=$1 pdb=$2 dir guid age name b want
    dir=$(llvm-readobj-14 --coff-debug-directory "$bin")
    # The binary holds the GUID's 16 bytes as stored; the PDB's summary shows
    # it as text, whose first three fields are those bytes little-endian.
    read -ra b < <(printf '%s\n' "$dir" | sed -n 's/^ *PDBGUID: (\(.*\))$/\1/p')
    guid="{${b[3]}${b[2]}${b[1]}${b[0]}-${b[5]}${b[4]}-${b[7]}${b[6]}-${b[8]}${b[9]}-${b[10]}${b[11]}${b[12]}${b[13]}${b[14]}${b[15]}}"
    age=$(printf '%s\n' "$dir" | sed -n 's/^ *PDBAge: //p')
    name=$(printf '%s\n' "$dir" | sed -n 's/^ *PDBFileName: //p')
    want=$(llvm-pdbutil-14 dump --summary "$pdb")
    if [ ${#b[@]} -ne 16 ] || [ "$name" != "$(basename "$pdb")" ] ||
       ! printf '%s\n' "$want" | grep -qxF "  GUID: $guid" ||
       ! printf '%s\n' "$want" | grep -qxF "  Age: $age"; then
        log "$(basename "$bin") names PDB $name $guid age $age; $(basename "$pdb") is:"
        printf '%s\n' "$want" | grep -E '^  (GUID|Age):' >&2
        exit 1
    fi
}

# $1 a shipped (stripped) binary, $2 its PDB, $3 a function, $4 its source
# file: the function's address, looked up in the binary the way a debugger
# does, resolves to its name and a line of that file.
check_pdb_function() {
    local bin=$1 pdb=$2 func=$3 source=$4 sect off va base got
    read -r sect off < <(llvm-pdbutil-14 dump --symbols "$pdb" |
        grep -A1 "S_GPROC32 .* \`$func\`\$" |
        sed -n 's/.* addr = \([0-9]*\):\([0-9]*\),.*/\1 \2/p' | head -n 1) || true
    [ -n "${off:-}" ] || { log "$(basename "$pdb") has no procedure $func"; exit 1; }
    va=$(llvm-readobj-14 --sections "$bin" |
         awk -v n="$sect" '$1 == "Number:" { s = $2 } s == n && $1 == "VirtualAddress:" { print $2; exit }')
    base=$(llvm-readobj-14 --file-headers "$bin" | sed -n 's/^ *ImageBase: //p')
    # The symbolizer looks for the PDB by the name in the binary, in the
    # current folder too.
    got=$(cd "$(dirname "$pdb")" &&
          llvm-symbolizer-14 --obj="$bin" $((base + va + 10#$off)) | head -n 2 | tr '\n' ' ')
    if ! printf '%s\n' "$got" | grep -qE "^$func /.*/$source:[1-9][0-9]*:"; then
        log "$func in $(basename "$bin") resolves to: $got"
        exit 1
    fi
}

# One scrape of the program's --metrics page under Wine: the demo (plain
# HTTP on Windows without a certificate) with metrics on a free port.
check_metrics_scrape() {
    local exe=$1 ports port mport pid page="" i
    ports=$(python3 -c 'import socket
s=[socket.socket() for _ in range(2)]
[x.bind(("127.0.0.1", 0)) for x in s]
print(*[x.getsockname()[1] for x in s])')
    read -r port mport <<<"$ports"
    "$root/scripts/wine-run" "$exe" --demo --port "$port" --metrics "$mport" \
        </dev/null >/dev/null 2>&1 &
    pid=$!
    for i in $(seq 100); do
        page=$(curl -sf --max-time 2 "http://127.0.0.1:$mport/metrics") && break
        sleep 0.2
    done
    kill -INT "$pid" 2>/dev/null || true
    for i in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.2; done
    kill -KILL "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
    grep -q '^velkor_proxy_running 1$' <<<"$page" ||
        { log "no metrics page from velkor-proxy.exe --metrics"; exit 1; }
    log "velkor-proxy.exe --metrics: scraped under Wine"
}

# The PDBs of the shipped velkor-proxy.dll and velkor-proxy.exe in a zip of
# their own, after checking that they belong to those very files and hold
# their functions with lines, and that the files themselves carry no DWARF.
package_symbols() {
    local stage=$1 version name dir zipfile bin
    version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$builddir/CMakeCache.txt")
    name=velkor-proxy-$version-windows-x86_64-symbols
    dir="$builddir/release/$name"
    zipfile="$builddir/$name.zip"
    rm -rf "$dir" "$zipfile"
    mkdir -p "$dir"
    for bin in velkor-proxy.dll velkor-proxy.exe; do
        if x86_64-w64-mingw32-objdump -h "$stage/$bin" | grep -q ' \.debug_'; then
            log "$bin still has DWARF sections"
            exit 1
        fi
        cp "$builddir/$bin.pdb" "$dir/"
        check_pdb_match "$stage/$bin" "$dir/$bin.pdb"
    done
    check_pdb_function "$stage/velkor-proxy.dll" "$dir/velkor-proxy.dll.pdb" proxy_start src/proxy.cpp
    check_pdb_function "$stage/velkor-proxy.exe" "$dir/velkor-proxy.exe.pdb" wmain host/platform/win/entry.cpp
    log "PDBs: GUID and age as the binaries name them; proxy_start and wmain with lines"
    (cd "$builddir/release" && zip -qr "$zipfile" "$name")
    log "made $zipfile"
}

stage_release() {
    configure >/dev/null
    cmake --build "$builddir" -j "$jobs" --target velkor_proxy velkor-proxy-host
    # One version number: the one project() declares.
    local version
    version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$builddir/CMakeCache.txt")
    [ -n "$version" ] || { log "no project version in $builddir/CMakeCache.txt"; exit 1; }
    local name="velkor-proxy-$version-windows-x86_64"
    local stage="$builddir/release/$name" example="$builddir/release/example"
    local zipfile="$builddir/$name.zip" msi="$builddir/$name.msi"

    rm -rf "$builddir/release" "$zipfile" "$msi" "$builddir/SHA256SUMS"
    mkdir -p "$stage/include" "$stage/lib" "$example"
    cp "$builddir/velkor-proxy.dll" "$builddir/velkor-proxy.exe" "$stage/"
    # gcc's runtime libraries bring DWARF; the shipped files need none. Their
    # debug information is the PDB their debug directory names: strip keeps
    # that (package_symbols checks).
    x86_64-w64-mingw32-strip --strip-unneeded "$stage/velkor-proxy.dll" "$stage/velkor-proxy.exe"
    # Signed here, once: the zip, the MSI and every package made from this
    # folder carry these very files.
    "$root/scripts/sign-windows.sh" "$stage/velkor-proxy.dll" "$stage/velkor-proxy.exe"
    cp "$root/include/velkor_proxy.h" "$stage/include/"
    cp "$root/cmake/velkor-proxy.def" "$builddir/libvelkor-proxy.dll.a" "$stage/lib/"
    # For MSVC: an import library made from the .def (link velkor-proxy.lib).
    # LLVM's, since GNU dlltool names the members after the build folder.
    llvm-dlltool-14 -m i386:x86-64 -d "$root/cmake/velkor-proxy.def" -D velkor-proxy.dll \
        -l "$stage/lib/velkor-proxy.lib"
    # The module beside the DLL, where it looks first after the variable.
    cp "$root/python/velkor_proxy.py" "$stage/"
    # The texts with Windows line ends, for every editor there.
    sed "s/@VERSION@/$version/; s/\$/\r/" "$root/packaging/windows/README.txt" > "$stage/README.txt"
    sed 's/$/\r/' "$root/LICENSE" > "$stage/LICENSE"
    sed 's/$/\r/' "$root/THIRD-PARTY-NOTICES" > "$stage/THIRD-PARTY-NOTICES"
    mkdir -p "$stage"/examples/{c,cpp,windows,config}
    cp "$root/examples/c/minimal_host.c" "$stage/examples/c/"
    cp "$root/examples/cpp/minimal_host.cpp" "$stage/examples/cpp/"
    cp "$root/examples/windows/load_library_host.c" "$stage/examples/windows/"
    cp "$root/examples/config/"*.json "$stage/examples/config/"

    check_exports "$stage/velkor-proxy.dll"
    check_imports "$stage/velkor-proxy.dll"
    check_imports "$stage/velkor-proxy.exe" '^(velkor-proxy|advapi32)\.dll$'
    check_import_library "$stage/lib/velkor-proxy.lib"
    check_version "$stage/velkor-proxy.dll" "$version"
    check_version "$stage/velkor-proxy.exe" "$version"
    llvm-readobj-14 --coff-resources "$stage/velkor-proxy.exe" | grep 'Type: MANIFEST (ID 24)' >/dev/null ||
        { log "velkor-proxy.exe has no manifest"; exit 1; }
    log "exports: the six functions; imports: Windows system DLLs only; version $version.0; velkor-proxy.lib: members named velkor-proxy.dll"
    package_symbols "$stage"

    # The example, built the way a user of the zip builds it: the header and
    # the import library, nothing of the build tree.
    x86_64-w64-mingw32-gcc-posix -std=c11 -Wall -Wextra -Werror -O2 \
        -I "$stage/include" "$stage/examples/c/minimal_host.c" \
        -L "$stage/lib" -lvelkor-proxy -o "$example/minimal_host.exe"
    check_imports "$example/minimal_host.exe" '^velkor-proxy\.dll$'
    # The other way in: the header only, the DLL loaded while running.
    x86_64-w64-mingw32-gcc-posix -std=c11 -Wall -Wextra -Werror -O2 -municode \
        -I "$stage/include" "$stage/examples/windows/load_library_host.c" \
        -o "$example/load_library_host.exe"
    check_imports "$example/load_library_host.exe"
    # And from C++: the header's declarations as C++ sees them. -static puts
    # the C++ runtime and winpthreads into the program; the import library
    # is named by its path, since -static would not look for a .dll.a.
    x86_64-w64-mingw32-g++-posix -std=c++17 -Wall -Wextra -Werror -O2 -static \
        -I "$stage/include" "$stage/examples/cpp/minimal_host.cpp" \
        "$stage/lib/libvelkor-proxy.dll.a" -o "$example/minimal_host_cpp.exe"
    check_imports "$example/minimal_host_cpp.exe" '^velkor-proxy\.dll$'
    build_msvc_caller "$stage" "$example"
    cp "$stage/velkor-proxy.dll" "$stage/velkor-proxy.exe" "$example/"
    "$root/scripts/wine-server" start
    trap '"$root/scripts/wine-server" stop' EXIT
    log "running the C examples and velkor-proxy.exe --check under Wine"
    "$root/scripts/wine-run" "$example/minimal_host.exe" </dev/null
    "$root/scripts/wine-run" "$example/load_library_host.exe" </dev/null
    "$root/scripts/wine-run" "$example/minimal_host_cpp.exe" </dev/null
    "$root/scripts/wine-run" "$example/msvc_caller.exe" </dev/null ||
        { log "the MSVC-linked caller failed"; exit 1; }
    "$root/scripts/wine-run" "$example/velkor-proxy.exe" --check \
        "$root/examples/config/plain-http.json" </dev/null
    # The program as a service, in a Wine prefix of its own.
    "$root/scripts/windows-service-test.sh" "$example" </dev/null
    check_metrics_scrape "$example/velkor-proxy.exe"

    (cd "$builddir/release" && zip -qr "$zipfile" "$name")
    log "made $zipfile"

    "$root/scripts/windows-msi-build.sh" "$stage" "$version" "$msi"
    "$root/scripts/sign-windows.sh" "$msi"
    "$root/scripts/windows-msi-test.sh" "$stage" "$msi" </dev/null
    # The signing step on unsigned copies, with a certificate made for the run.
    [ -n "${VELKOR_SIGN_PFX:-}" ] ||
        "$root/scripts/windows-sign-test.sh" "$stage/velkor-proxy.dll" "$stage/velkor-proxy.exe" "$msi"

    # Last, once every file is final (signed).
    (cd "$builddir" && sha256sum "$name.zip" "$name-symbols.zip" "$name.msi" > SHA256SUMS)
    log "made $builddir/SHA256SUMS"
}

run_stage() {
    case "$1" in
        packages) stage_packages ;;
        deps) stage_deps ;;
        wine) stage_wine ;;
        build) stage_build ;;
        test) stage_test ;;
        release) stage_release ;;
        *) echo "unknown stage: $1 (packages, deps, wine, build, test, release)" >&2; exit 2 ;;
    esac
}

[ $# -gt 0 ] || set -- packages deps wine build
for stage in "$@"; do
    run_stage "$stage"
done
