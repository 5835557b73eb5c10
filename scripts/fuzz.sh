#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for a while.
#   scripts/fuzz.sh [SECONDS_PER_TARGET]   (default 60; CI uses a short run)
# Findings land in build-fuzz/findings/<target>/; the corpus grows in a copy
# of fuzz/corpus so the seeds in the repository stay small.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
seconds=${1:-60}
build=build-fuzz
CC=clang CXX=clang++ cmake -S . -B "$build" -G Ninja -DVELKOR_FUZZ=ON \
    -DVELKOR_BUILD_TESTS=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
targets="config request_head request_reader response_reader redirect status_report"
# shellcheck disable=SC2086
cmake --build "$build" --target $(printf 'fuzz_%s ' $targets)
for target in $targets; do
    corpus="$build/corpus/$target"
    findings="$build/findings/$target"
    mkdir -p "$corpus" "$findings"
    cp -n fuzz/corpus/"$target"/* "$corpus"/ 2>/dev/null || true
    echo "fuzz: $target for ${seconds}s"
    "$build/fuzz/fuzz_$target" -max_total_time="$seconds" -print_final_stats=1 \
        -artifact_prefix="$findings/" "$corpus" 2>&1 | grep -E '^(stat::number_of_executed_units|==|SUMMARY|#[0-9]+ +DONE)' || true
    if ls "$findings"/* >/dev/null 2>&1; then
        echo "fuzz: $target found a failure: $(ls "$findings")"
        exit 1
    fi
done
echo "fuzz: all targets clean"
