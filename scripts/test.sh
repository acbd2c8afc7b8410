#!/usr/bin/env bash
# Builds the relay module, the tools and the tests, and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh base
build=${BUILD_DIR:-build}
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build "$build" -j"$(nproc)"
ctest --test-dir "$build" --output-on-failure -j"$(nproc)" --timeout 300
