#!/usr/bin/env bash
# Sets up what is missing, builds the velkor-proxy program and runs its demo:
# HTTPS on port 8443, a redirect on port 8080, two demo backends. Arguments go
# to the program, e.g. ./scripts/run.sh --port 9443 --redirect-port 9080
# VELKOR_BUILD_DIR names another build folder than build/.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
build=${VELKOR_BUILD_DIR:-build}
./scripts/setup.sh
cmake -S . -B "$build" -G Ninja >/dev/null
cmake --build "$build" --target velkor-proxy-host
exec "./$build/host/velkor-proxy" --demo "$@"
