#!/bin/sh
# Runs a Windows program under wine64, for CTest and for the build's own
# test discovery:   wine-run.sh <wine prefix> <program.exe> [arguments...]
# The prefix (one per build directory) is created on first use, under a lock
# so that parallel runs do not race. Runs are headless, quiet and bounded by
# a time limit (WINE_RUN_TIMEOUT seconds, default 300).
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

mkdir -p "$(dirname "$prefix")"
(
  flock 9
  if [ ! -f "$prefix/system.reg" ]; then
    timeout 300 "$wine" wineboot --init >/dev/null 2>&1 || true
    "${WINESERVER:-$(dirname "$wine")/wineserver}" -w 2>/dev/null || true
  fi
) 9>"$prefix.lock"

exec timeout --kill-after=10 "${WINE_RUN_TIMEOUT:-300}" "$wine" "$@"
