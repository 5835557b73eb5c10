#!/usr/bin/env bash
# Sets up what is missing, builds everything and runs the whole test suite:
# the normal build, then the AddressSanitizer+UBSan and ThreadSanitizer builds,
# then the Windows build with its suite under Wine, then the .NET binding and
# its package, a short run of every fuzz target, a smoke run of the benchmark
# and the Debian package.
#   ./scripts/test.sh            everything (what CI runs)
#   ./scripts/test.sh default    one stage: default, asan, tsan, windows, dotnet,
#                                fuzz, bench or package
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
./scripts/setup.sh
# promtool, unpacked by setup.sh where the system has none, checks the
# program's metrics page.
export PATH="$PATH:$root/third_party/promtool/bin"

# Sanitizers stop at the first report, so any finding fails the run.
export ASAN_OPTIONS=halt_on_error=1:abort_on_error=1:detect_leaks=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1

build_dir() {
    case $1 in
        default) echo build ;;
        *) echo "build-$1" ;;
    esac
}

stages=${*:-default asan tsan windows dotnet fuzz bench package}
passed=0
# CI must finish within 25 minutes: each stage says how long it took.
began=$SECONDS
for stage in $stages; do
    stage_began=$SECONDS
    case $stage in
        default|asan|tsan)
            echo "== $stage: build"
            cmake --preset "$stage" >/dev/null
            cmake --build "$(build_dir "$stage")" -j2
            echo "== $stage: tests"
            log=$(build_dir "$stage")/ctest-summary.log
            ctest --test-dir "$(build_dir "$stage")" --output-on-failure -j2 | tee "$log"
            ran=$(grep -oE 'tests failed out of [0-9]+' "$log" | awk '{print $NF}')
            passed=$((passed + ${ran:-0}))
            ;;
        # Cross-built with mingw-w64; the suite, the C examples and the
        # program run under Wine (scripts/build-windows.sh).
        windows)
            ./scripts/build-windows.sh packages deps wine build test release
            ran=$(grep -oE 'tests failed out of [0-9]+' build-windows/ctest-summary.log | awk '{print $NF}')
            passed=$((passed + ${ran:-0}))
            ;;
        # The C# binding's tests and the VelkorProxy package, with the default
        # build's library and the DLL of the Windows zip (scripts/dotnet.sh).
        dotnet)
            cmake --preset default >/dev/null
            cmake --build build -j2 --target velkor_proxy
            ./scripts/dotnet.sh
            ran=$(grep -oE 'Passed: +[0-9]+' build-dotnet/test-summary.log | awk '{print $NF}')
            passed=$((passed + ${ran:-0}))
            ;;
        fuzz) ./scripts/fuzz.sh "${VELKOR_FUZZ_SECONDS:-15}" ;;
        # Proves the benchmark runs end to end; it asserts no figure.
        bench) ./bench/run.sh --smoke ;;
        # Installs the package on this machine for a moment, and purges it.
        package)
            ./scripts/setup.sh package
            cmake --preset default >/dev/null
            cmake --build build -j2
            tests/deb_package_test.sh build
            ;;
        *) echo "unknown stage: $stage" >&2; exit 2 ;;
    esac
    echo "== $stage: done in $((SECONDS - stage_began)) s ($((SECONDS - began)) s so far)"
done

# Every stage above stops the script on its first failure, so reaching this
# line means every test of every stage passed.
echo "tests: $passed passed, 0 failed"
