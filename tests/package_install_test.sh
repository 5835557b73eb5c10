#!/usr/bin/env bash
# Installs the build into a temporary prefix and builds the two example hosts
# against that copy, through pkg-config and through find_package, then runs
# them. Usage: package_install_test.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
build=$1
src=$2
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
prefix=$tmp/prefix

fail() { echo "FAIL: $*" >&2; exit 1; }

cmake --install "$build" --prefix "$prefix" >/dev/null

pc=$(find "$prefix" -name velkor-proxy.pc)
[ -n "$pc" ] || fail "no velkor-proxy.pc installed"
[ -f "$prefix/include/velkor_proxy.h" ] || fail "header not installed"
libdir=$(PKG_CONFIG_PATH=$(dirname "$pc") pkg-config --variable=libdir velkor-proxy)
lib=$(ls "$libdir"/libvelkor-proxy.so.1) || fail "library not under libdir $libdir"

# The library exports the six functions and nothing else.
exports=$(nm -D --defined-only "$lib" | awk '$2 ~ /^[TDBRVW]$/ {print $3}' | sort | tr '\n' ' ')
[ "$exports" = "proxy_last_error proxy_runtime_status proxy_start proxy_status proxy_stop proxy_version " ] ||
    fail "unexpected exports: $exports"

# The installed host program finds the installed library by itself.
"$prefix/bin/velkor-proxy" --version | grep -q 'library 1.0.0' || fail "installed host program"

# pkg-config
export PKG_CONFIG_PATH=$(dirname "$pc")
cc -Wall -Wextra -Werror -o "$tmp/c_pc" "$src/examples/c/minimal_host.c" \
    $(pkg-config --cflags --libs velkor-proxy)
c++ -std=c++17 -Wall -Wextra -Werror -o "$tmp/cpp_pc" "$src/examples/cpp/minimal_host.cpp" \
    $(pkg-config --cflags --libs velkor-proxy)

# find_package
cmake -S "$src/examples" -B "$tmp/ex" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" \
    -DCMAKE_C_FLAGS="-Wall -Wextra -Werror" -DCMAKE_CXX_FLAGS="-Wall -Wextra -Werror" >/dev/null
cmake --build "$tmp/ex" >/dev/null

echo '{"listen_port": 0}' > "$tmp/bad.json"
for host in "$tmp/c_pc" "$tmp/cpp_pc" "$tmp/ex/minimal_host_c" "$tmp/ex/minimal_host_cpp"; do
    out=$(LD_LIBRARY_PATH=$libdir "$host") || fail "$host exited non-zero"
    grep -q '^running: 1$' <<<"$out" || fail "$host: not running: $out"
    grep -q '^status: {"running":1,' <<<"$out" || fail "$host: no report: $out"
    grep -q '^running after stop: 0$' <<<"$out" || fail "$host: still running: $out"
    if err=$(LD_LIBRARY_PATH=$libdir "$host" "$tmp/bad.json" 2>&1); then
        fail "$host accepted a bad document"
    fi
    grep -q 'start failed: routes array required' <<<"$err" || fail "$host: $err"
done
echo "installed package consumed through pkg-config and find_package"
