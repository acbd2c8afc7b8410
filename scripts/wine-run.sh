#!/bin/sh
# Runs a Windows program under wine64, for CTest and for the build's own
# test discovery:   wine-run.sh <wine prefix> <program.exe> [arguments...]
# The prefix (one per build directory) is created on first use, under a lock
# so that parallel runs do not race; its wine server ends on its own 30 s
# after the last run. Runs are headless, quiet and bounded by a time limit
# (WINE_RUN_TIMEOUT seconds, default 300).
set -eu
prefix=$1
shift
wine=${WINE:-}
if [ -z "$wine" ]; then
  wine=$(command -v wine64 || true)
  [ -n "$wine" ] || wine=/usr/lib/wine/wine64
fi

export WINEPREFIX="$prefix"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree=;mshtml=;winemenubuilder.exe="
unset DISPLAY WAYLAND_DISPLAY

wineserver=${WINESERVER:-$(dirname "$wine")/wineserver}

mkdir -p "$(dirname "$prefix")"
(
  flock 9
  if [ ! -f "$prefix/system.reg" ]; then
    timeout 300 "$wine" wineboot --init </dev/null >/dev/null 2>&1 9>&- || true
    "$wineserver" -w 2>/dev/null 9>&- || true
  fi
  # One wine server for the prefix that outlives the gaps between runs by
  # 30 s: a server that exits just as the next run connects fails that run.
  # When one is running already this does nothing. A new server's first
  # program starts wine's background services, which keep that program's
  # output open until the server ends; so that first program is one whose
  # output goes nowhere, not a test whose output CTest waits for. Neither
  # may keep the lock (descriptor 9) open.
  if "$wineserver" -p30 </dev/null >/dev/null 2>&1 9>&-; then
    timeout 300 "$wine" wineboot </dev/null >/dev/null 2>&1 9>&- || true
  fi
) 9>"$prefix.lock"

exec timeout --kill-after=10 "${WINE_RUN_TIMEOUT:-300}" "$wine" "$@"
