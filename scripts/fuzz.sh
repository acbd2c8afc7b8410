#!/usr/bin/env bash
# Builds the libFuzzer targets in build-fuzz/ and replays their stored corpora,
# then fuzzes each target in turn.
#   scripts/fuzz.sh [seconds-per-target]   default 60 seconds
#   scripts/fuzz.sh --smoke                replay plus 20 seconds per target
#   scripts/fuzz.sh --deep [executions]    default 10000000 per target
# The timed modes fuzz a copy of each corpus, so that fuzz/corpus/ is never
# written to: new inputs end up in build-fuzz/corpus/<target>/.
#
# The deep mode resumes from fuzz/corpus/<target>/, runs each target for at
# least the given number of executions, then merges what it found back into
# fuzz/corpus/<target>/, keeping the named seeds and, of the other inputs,
# only a small set that reaches the same coverage. New inputs wait in
# build-fuzz/deep/<target>/ until they are merged, so an interrupted run goes
# on from them next time.
#
# Failing inputs are kept in build-fuzz/artifacts/, each run's output in
# build-fuzz/logs/.
set -euo pipefail
cd "$(dirname "$0")/.."

usage() {
  echo "usage: $0 [seconds-per-target | --smoke | --deep [executions-per-target]]" >&2
  exit 2
}

positive() { [[ "$1" =~ ^[0-9]+$ && ! "$1" =~ ^0+$ ]]; }

mode=timed
seconds=60
executions=10000000
case "${1:-}" in
  "") ;;
  --smoke) seconds=20 ;;
  --deep)
    mode=deep
    if [ $# -ge 2 ]; then positive "$2" || usage; executions=$2; fi
    ;;
  *) positive "$1" || usage; seconds=$1 ;;
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
    echo "$t: a stored input fails" >&2
    exit 1
  }
done

# Runs target $1 with the options that follow; on failure shows the end of
# its log and says where the failing input went.
run_fuzzer() {
  local t=$1 log=$2
  shift 2
  if "$build/fuzz/$t" -max_len="$(max_len "$t")" -timeout=10 -print_final_stats=1 \
      -artifact_prefix="$build/artifacts/$t-" "$@" >"$log" 2>&1; then
    return 0
  fi
  tail -n 60 "$log" >&2
  echo "$t: failed; the input is in $build/artifacts/" >&2
  return 1
}

stat_of() { awk -v k="stat::$2:" '$1 == k { print $2 }' "$1"; }

corpus_size() {
  echo "$(find "$1" -type f | wc -l) files, $(find "$1" -type f -exec cat {} + | wc -c) bytes"
}

# Replaces the stored corpus of target $1 by its named seeds plus a small set
# of the other inputs, stored or new, that reaches every feature they reach:
# libFuzzer's set-cover merge keeps far fewer inputs than its plain -merge=1
# (213 instead of 555 for the XML target, with the same 2,901 features).
merge_into_stored() {
  local t=$1 stored=fuzz/corpus/$1 work=$build/deep/$1
  rm -rf "$work/merged" "$work/earlier"
  mkdir -p "$work/merged" "$work/earlier"
  local f
  for f in "$stored"/*; do
    if [[ "$(basename "$f")" =~ ^[0-9a-f]{40}$ ]]; then
      cp "$f" "$work/earlier/"
    else
      cp "$f" "$work/merged/"
    fi
  done
  "$build/fuzz/$t" -set_cover_merge=1 -max_len="$(max_len "$t")" -timeout=10 \
    "$work/merged" "$work/earlier" "$work/new" >"$build/logs/$t.merge.log" 2>&1 || {
    tail -n 30 "$build/logs/$t.merge.log" >&2
    echo "$t: merging failed; the new inputs stay in $work/new" >&2
    return 1
  }
  rm -f "$stored"/*
  cp "$work/merged"/* "$stored"/
  rm -rf "$work/merged" "$work/earlier" "$work/new"
}

deep_target() {
  local t=$1 work=$build/deep/$1 log=$build/logs/$1.deep.log
  mkdir -p "$work/new"
  local before load
  before=$(corpus_size "fuzz/corpus/$t")
  load=$(cut -d' ' -f1-3 /proc/loadavg)
  echo "== $t: fuzzing for $executions executions (load average $load)"
  local start end
  start=$(date +%s.%N)
  # New inputs go to the first directory; the stored corpus is only read.
  run_fuzzer "$t" "$log" -runs="$executions" "$work/new" "fuzz/corpus/$t" || return 1
  end=$(date +%s.%N)
  merge_into_stored "$t" || return 1
  local runs
  runs=$(stat_of "$log" number_of_executed_units)
  echo "$(( $(cat "$work/total" 2>/dev/null || echo 0) + runs ))" >"$work/total"
  echo "$t: $runs executions in $(awk -v a="$start" -v b="$end" -v n="$runs" \
    'BEGIN { printf "%.0f s, %.0f/s", b - a, n / (b - a) }'), $(cat "$work/total") in total" \
    "in $build/deep; load average now $(cut -d' ' -f1-3 /proc/loadavg)"
  grep -E '^#[0-9]+[[:space:]]+DONE' "$log" | tail -n 1
  echo "$t: corpus before: $before; after: $(corpus_size "fuzz/corpus/$t")"
}

if [ "$mode" = deep ]; then
  failed=()
  for t in "${targets[@]}"; do
    deep_target "$t" || failed+=("$t")
  done
  if [ ${#failed[@]} -gt 0 ]; then
    echo "Failed: ${failed[*]}; failing inputs are in $build/artifacts/" >&2
    exit 1
  fi
  echo "All fuzz targets passed."
  exit 0
fi

for t in "${targets[@]}"; do
  work="$build/corpus/$t"
  rm -rf "$work"
  mkdir -p "$work"
  cp fuzz/corpus/"$t"/* "$work"/
  echo "== $t: fuzzing for $seconds s"
  log="$build/logs/$t.log"
  run_fuzzer "$t" "$log" -max_total_time="$seconds" "$work" || exit 1
  grep -E '^#[0-9]+[[:space:]]+DONE|^Done|number_of_executed_units|average_exec_per_sec' "$log" || true
done
echo "All fuzz targets passed."
