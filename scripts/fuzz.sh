#!/usr/bin/env bash
# Builds the libFuzzer targets in build-fuzz/, replays their seed corpora,
# then fuzzes each target in turn on a copy of its corpus, so that
# fuzz/corpus/ is never written to.
#   scripts/fuzz.sh [seconds-per-target]   default 60 seconds
#   scripts/fuzz.sh --smoke                replay plus 20 seconds per target
# New inputs end up in build-fuzz/corpus/<target>/, failing inputs in
# build-fuzz/artifacts/, and each run's output in build-fuzz/logs/.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=60
case "${1:-}" in
  "") ;;
  --smoke) seconds=20 ;;
  *[!0-9]* | 0) echo "usage: $0 [seconds-per-target | --smoke]" >&2; exit 2 ;;
  *) seconds=$1 ;;
esac

scripts/deps.sh base clang
build=build-fuzz
cmake -S . -B "$build" -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DRELAY_BUILD_FUZZ=ON -DRELAY_BUILD_TESTS=OFF -DRELAY_BUILD_TOOLS=OFF
cmake --build "$build" -j"$(nproc)"

export ASAN_OPTIONS=halt_on_error=1:abort_on_error=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1

# The longest input each target takes: the packet cutter needs room for
# several full-size packets.
max_len() {
  case "$1" in
    fuzz_packet_cutter) echo 16384 ;;
    fuzz_parse_ipv4) echo 64 ;;
    *) echo 4096 ;;
  esac
}

targets=(fuzz_packet_cutter fuzz_xml fuzz_parse_ipv4 fuzz_msg_queue)
mkdir -p "$build/logs" "$build/artifacts"

for t in "${targets[@]}"; do
  echo "== $t: replaying fuzz/corpus/$t"
  "$build/fuzz/$t" fuzz/corpus/"$t"/* >"$build/logs/$t.replay.log" 2>&1 || {
    cat "$build/logs/$t.replay.log" >&2
    echo "$t: a seed fails" >&2
    exit 1
  }
done

for t in "${targets[@]}"; do
  work="$build/corpus/$t"
  rm -rf "$work"
  mkdir -p "$work"
  cp fuzz/corpus/"$t"/* "$work"/
  echo "== $t: fuzzing for $seconds s"
  log="$build/logs/$t.log"
  if ! "$build/fuzz/$t" -max_total_time="$seconds" -max_len="$(max_len "$t")" -timeout=10 \
      -print_final_stats=1 -artifact_prefix="$build/artifacts/$t-" "$work" >"$log" 2>&1; then
    tail -n 60 "$log" >&2
    echo "$t: failed; the input is in $build/artifacts/" >&2
    exit 1
  fi
  grep -E '^#[0-9]+[[:space:]]+DONE|^Done|number_of_executed_units|average_exec_per_sec' "$log" || true
done
echo "All fuzz targets passed."
