#!/usr/bin/env bash
# Runs the fault suite on virtual networks (ctest -L faults), building what it
# needs first: one test at a time, since its figures are timings. Then prints
# each case's figures. As root it installs ip, nft and iptables when missing;
# without root, or where network namespaces cannot be made, the suite says so
# in one line and runs nothing.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${BUILD_DIR:-build}
if [ "$(id -u)" -eq 0 ]; then
  scripts/deps.sh base faults
fi
[ -f "$build/CMakeCache.txt" ] || cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build "$build" -j"$(nproc)" --target fault_tests

status=0
ctest --test-dir "$build" -L faults --output-on-failure --timeout 300 || status=$?
echo
echo "Fault suite figures:"
grep -h '^\[fault\]' "$build/Testing/Temporary/LastTest.log" | awk '!seen[$0]++' || true
exit "$status"
