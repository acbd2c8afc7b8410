#!/usr/bin/env bash
# Builds the relay module, the tools and the tests, and runs every test: all
# but the fault suite on virtual networks in parallel, then that suite alone
# (scripts/faults.sh). --no-faults leaves the fault suite out.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh base
build=${BUILD_DIR:-build}
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build "$build" -j"$(nproc)"
ctest --test-dir "$build" --output-on-failure -j"$(nproc)" --timeout 300 -LE faults
[ "${1:-}" = "--no-faults" ] || BUILD_DIR="$build" scripts/faults.sh
