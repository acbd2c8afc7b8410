#!/usr/bin/env bash
# Builds everything with clang under a sanitizer and runs the whole test
# suite but the fault suite on virtual networks, whose figures are timings;
# the first report fails the run. No suppressions are used.
#   scripts/sanitize.sh address   AddressSanitizer and UndefinedBehaviorSanitizer, in build-asan/
#   scripts/sanitize.sh thread    ThreadSanitizer, in build-tsan/
set -euo pipefail
cd "$(dirname "$0")/.."

case "${1:-}" in
  address) build=build-asan; sanitize=address,undefined ;;
  thread) build=build-tsan; sanitize=thread ;;
  *) echo "usage: $0 address|thread" >&2; exit 2 ;;
esac

scripts/deps.sh base clang
cmake -S . -B "$build" -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DRELAY_SANITIZE="$sanitize"
cmake --build "$build" -j"$(nproc)"

# Exported, so that every process a test starts (a host program that loads
# the module, for one) runs with the same settings.
export ASAN_OPTIONS=halt_on_error=1:abort_on_error=1:detect_leaks=1:check_initialization_order=1:strict_init_order=1
export UBSAN_OPTIONS=halt_on_error=1:abort_on_error=1:print_stacktrace=1
export TSAN_OPTIONS=halt_on_error=1:abort_on_error=1:second_deadlock_stack=1
ctest --test-dir "$build" --output-on-failure --stop-on-failure -j"$(nproc)" --timeout 300 \
  -LE faults
