#!/bin/sh
# Runs a Windows program under wine, for CTest, for the build's own test
# discovery and for the Windows demo:
#   wine-run.sh <32|64> <wine prefix> <program.exe> [arguments...]
# 32 runs it under 32-bit wine in a 32-bit prefix, 64 under wine64. The
# prefix (one per build directory) is created on first use, under a lock so
# that parallel runs do not race; its wine server ends on its own 30 s after
# the last run. Runs are headless, quiet and bounded by a time limit
# (WINE_RUN_TIMEOUT seconds, default 300). WINE names another wine loader.
# A loader that cannot run here fails with exit status 125 and says why.
set -eu
arch=$1
prefix=$2
shift 2
wine=${WINE:-}
case "$arch" in
  32)
    # The 32-bit loader itself: the /usr/bin/wine launcher falls back to
    # wine64 when wine32 is missing, which cannot start 32-bit programs.
    if [ -z "$wine" ]; then
      wine=/usr/lib/wine/wine
      [ -x "$wine" ] || wine=$(command -v wine || echo /usr/lib/wine/wine)
    fi
    export WINEARCH=win32 ;;
  64)
    if [ -z "$wine" ]; then
      wine=$(command -v wine64 || true)
      [ -n "$wine" ] || wine=/usr/lib/wine/wine64
    fi
    export WINEARCH=win64 ;;
  *)
    echo "wine-run.sh: architecture must be 32 or 64, not '$arch'" >&2
    exit 2 ;;
esac

export WINEPREFIX="$prefix"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree=;mshtml=;winemenubuilder.exe="
unset DISPLAY WAYLAND_DISPLAY

wineserver=${WINESERVER:-$(dirname "$wine")/wineserver}

mkdir -p "$(dirname "$prefix")"
(
  flock 9
  if [ ! -f "$prefix/system.reg" ]; then
    # A loader that this machine cannot execute fails every run: say so.
    if ! said=$("$wine" --version </dev/null 2>&1 9>&-); then
      echo "wine-run.sh: cannot run $wine: $(printf '%s\n' "$said" | head -n 1 | sed 's/.*: //')" >&2
      exit 125
    fi
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
