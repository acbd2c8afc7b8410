#!/usr/bin/env bash
# Builds the relay and its benchmark, then runs the benchmark; arguments go
# to relay_bench (--quick for a short smoke run, --help for the rest).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh base
build=${BUILD_DIR:-build}
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DRELAY_BUILD_BENCH=ON >/dev/null
cmake --build "$build" -j"$(nproc)" --target relay_bench
"$build/bench/relay_bench" "$@"
