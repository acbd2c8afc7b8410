#!/usr/bin/env bash
# Builds the relay and runs it end to end: the sample server on a free
# loopback port, and the sample host loading the module beside its
# configuration, with messages going both ways.
#   scripts/demo.sh             the Linux module and sample host
#   scripts/demo.sh --windows   the 32-bit DEZuzovEzodid.dll and sample_host.exe
#                               under 32-bit wine, against the Linux sample
#                               server; on a machine that cannot run 32-bit
#                               programs it says so and shows the 64-bit
#                               build under wine64 instead
# Exits 0 only when messages went both ways.
set -euo pipefail
cd "$(dirname "$0")/.."

windows=0
case "${1:-}" in
  "") ;;
  --windows) windows=1 ;;
  *) echo "usage: scripts/demo.sh [--windows]" >&2; exit 2 ;;
esac

fail() { echo "demo: $*" >&2; exit 1; }

scripts/deps.sh base
build=${BUILD_DIR:-build}
jobs=$(nproc)
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null

# Configures a Windows build as scripts/windows.sh does, so that the two
# share it, and builds what the demo needs.
windows_build() { # <build dir> <toolchain file's target>
  if [ ! -f "$1/CMakeCache.txt" ]; then
    cmake -S . -B "$1" -DCMAKE_TOOLCHAIN_FILE="cmake/toolchain-mingw-$2.cmake" \
      -DCMAKE_BUILD_TYPE=RelWithDebInfo \
      -DRELAY_GTEST_SOURCE_DIR="${GTEST_SOURCE_DIR:-/usr/src/googletest}" >/dev/null
  fi
  cmake --build "$1" -j"$jobs" --target DEZuzovEzodid sample_host exec_probe
}

if [ "$windows" -eq 0 ]; then
  cmake --build "$build" -j"$jobs" --target DEZuzovEzodid sample_host sample_server
  what="the Linux module"
  bin=$build
  files=(DEZuzovEzodid.so sample_host)
else
  scripts/deps.sh windows
  cmake --build "$build" -j"$jobs" --target sample_server
  bin=${BUILD_WIN32:-build-win32}
  windows_build "$bin" i686
  status=0
  finding=$(scripts/win32-check.sh "$bin") || status=$?
  case "$status" in
    0)
      echo "== 32-bit: $finding"
      what="the 32-bit DLL under 32-bit wine" ;;
    1)
      echo "32-bit Windows demo NOT RUN: $finding"
      echo "== showing the 64-bit build under wine64 instead: this is NOT the 32-bit DLL"
      bin=${BUILD_WIN64:-build-win64}
      windows_build "$bin" x86_64
      what="the 64-bit DLL under wine64, not the 32-bit one" ;;
    *) fail "cannot tell whether 32-bit programs run here: $finding" ;;
  esac
  files=(DEZuzovEzodid.dll sample_host.exe)
fi

run="$bin/demo"
rm -rf "$run"
mkdir -p "$run"
for f in "${files[@]}"; do cp "$bin/$f" "$run/"; done
host=("$run/${files[1]}")
[ "$windows" -eq 0 ] || host=("$bin/wine-run" "$run/${files[1]}")
server_out="$run/server.txt"
host_out="$run/host.txt"

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
echo "== running the sample host: $what"
set +e
"${host[@]}" --count 20 --interval 150 --duration 30 | tee "$host_out"
host_status=${PIPESTATUS[0]}
set -e

kill -TERM "$server_pid" 2>/dev/null || true
wait "$server_pid" 2>/dev/null || true
server_pid=
echo "== sample server"
tail -n 8 "$server_out"

log=$(ls "$run"/hook_log/VornProxyLog*.txt 2>/dev/null | head -n 1)
[ -n "$log" ] || fail "no log file under $run/hook_log"
echo "== relay log: $log"
if [ "$windows" -eq 1 ]; then
  echo "(its first lines through cat -A: ^M\$ is the CR LF that ends each line)"
  head -n 3 "$log" | cat -A
  echo "..."
fi
tail -n 6 "$log"
echo "== base path the relay found: $(sed -n 's/.*> BasePath: //p' "$log" | head -n 1 | tr -d '\r')"

[ "$host_status" -eq 0 ] || fail "the sample host failed (exit $host_status)"
grep -q 'Connected To' "$log" || fail "the relay never connected"
to_server=$(grep -c '^recv #[0-9]* D ' "$server_out" || true)
to_host=$(sed -n 's/.*received \([0-9]*\) D,.*/\1/p' "$host_out" | tail -n 1)
[ "${to_server:-0}" -gt 0 ] || fail "no message reached the server"
[ "${to_host:-0}" -gt 0 ] || fail "no message reached the host"
echo "== demo finished, $what: messages went both ways ($to_server to the server, $to_host back to the host)"
