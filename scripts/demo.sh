#!/usr/bin/env bash
# Builds the relay and runs it end to end: the sample server on a free
# loopback port, and the sample host loading the module beside its
# configuration, with messages going both ways.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh base
build=${BUILD_DIR:-build}
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j"$(nproc)" --target DEZuzovEzodid sample_host sample_server

run="$build/demo"
rm -rf "$run"
mkdir -p "$run"
cp "$build/DEZuzovEzodid.so" "$build/sample_host" "$run/"
server_out="$run/server.txt"

fail() { echo "demo: $*" >&2; exit 1; }
cleanup() { [ -n "${server_pid:-}" ] && kill "$server_pid" 2>/dev/null || true; }
trap cleanup EXIT

"$build/sample_server" --port 0 --k-every 700 --duration 60 > "$server_out" 2>&1 &
server_pid=$!
for _ in $(seq 100); do
  grep -q '^listening on' "$server_out" 2>/dev/null && break
  kill -0 "$server_pid" 2>/dev/null || fail "the sample server did not start: $(cat "$server_out")"
  sleep 0.05
done
port=$(sed -n 's/^listening on 127\.0\.0\.1:\([0-9]*\).*/\1/p' "$server_out" | head -n 1)
[ -n "$port" ] || fail "the sample server did not report its port"

cat > "$run/QVThunkConfig.xml" <<XML
<?xml version="1.0" encoding="utf-8"?>
<GameThunkServer>
  <GameThunkServer_Start>1</GameThunkServer_Start>
  <Console>0</Console>
  <LogConnectionError>1</LogConnectionError>
  <TryConnectionInteval>1000</TryConnectionInteval>
  <MaxCheckConnectionInterval>2000</MaxCheckConnectionInterval>
  <VOZevezu_Host>
    <ip>127.0.0.1</ip>
    <port>$port</port>
  </VOZevezu_Host>
</GameThunkServer>
XML

echo "== sample server listening on 127.0.0.1:$port; host and configuration in $run"
echo "== running the sample host"
set +e
"$run/sample_host" --count 20 --interval 150 --duration 30
host_status=$?
set -e

kill -TERM "$server_pid" 2>/dev/null || true
wait "$server_pid" 2>/dev/null || true
server_pid=
echo "== sample server"
tail -n 8 "$server_out"

log=$(ls "$run"/hook_log/VornProxyLog*.txt 2>/dev/null | head -n 1)
[ -n "$log" ] || fail "no log file under $run/hook_log"
echo "== relay log: $log"
tail -n 6 "$log"
[ "$host_status" -eq 0 ] || fail "the sample host failed (exit $host_status)"
grep -q 'Connected To' "$log" || fail "the relay never connected"
echo "== demo finished: messages went both ways"
