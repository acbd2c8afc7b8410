#!/usr/bin/env bash
# Checks the release bundles in dist/ (from scripts/release.sh) as a new
# user meets them, each unpacked into an empty folder outside the tree:
#   - SHA256SUMS verifies, and lists the two archives;
#   - each archive holds exactly the expected files, owned by 0:0;
#   - every tool says the release's version;
#   - Linux: config_check accepts the sample configuration, and the
#     tarball's sample host (with the configuration beside it, run from
#     another directory) and sample server exchange messages both ways;
#   - Windows: the zip's DLL has its export table and version resource; where
#     this machine runs 32-bit Windows programs (scripts/win32-check.sh), the
#     zip's sample_host.exe loads the zip's DLL under 32-bit wine and
#     exchanges messages with the tarball's Linux sample server, and the
#     zip's tools run; elsewhere one line says they did not run;
#   - `cmake --install` of a Linux and a 32-bit Windows build puts exactly
#     the expected files under a fresh prefix (nothing of the tests, the
#     kit or the bench), and an empty consumer project (tests/consumer)
#     configured with find_package(DEZuzovEzodid) against it builds, loads
#     the module through DEZuzovEzodid_MODULE and calls it; the same host
#     built with the pkg-config file's flags and module path does too; the
#     Windows consumer is cross-built and, where 32-bit runs, run under wine.
#   scripts/release_check.sh [--rebuild]
# --rebuild first runs scripts/release.sh once more, in build and output
# directories of its own outside the tree, and checks that it writes the
# same archives and SHA256SUMS, byte for byte.
# RELEASE_DIST names another directory of bundles. The builds installed
# for the consumer: RELEASE_CHECK_BUILD_LINUX and RELEASE_CHECK_BUILD_WIN32
# (default: release.sh's build-release-linux and build-release-win32); the
# Windows one also gives the wine wrapper and the 32-bit check.
# RELEASE_CHECK_KEEP=1 keeps the scratch folder.
set -euo pipefail
cd "$(dirname "$0")/.."
src=$(pwd)
scripts/deps.sh base windows release

rebuild=0
case "${1:-}" in
  "") ;;
  --rebuild) rebuild=1 ;;
  *) echo "usage: scripts/release_check.sh [--rebuild]" >&2; exit 2 ;;
esac
dist=${RELEASE_DIST:-dist}
linux_build=${RELEASE_CHECK_BUILD_LINUX:-build-release-linux}
win32_build=${RELEASE_CHECK_BUILD_WIN32:-build-release-win32}
objdump=i686-w64-mingw32-objdump
windres=i686-w64-mingw32-windres

fail() { echo "release_check.sh: FAIL: $*" >&2; exit 1; }
say() { echo "== $*"; }

# ---- The archives and their checksums -----------------------------------------
shopt -s nullglob
tarballs=("$dist"/DEZuzovEzodid-*-linux-*.tar.gz)
zips=("$dist"/DEZuzovEzodid-*-win32.zip)
shopt -u nullglob
[ ${#tarballs[@]} -eq 1 ] || fail "want one Linux tarball in $dist, found ${#tarballs[@]}"
[ ${#zips[@]} -eq 1 ] || fail "want one win32 zip in $dist, found ${#zips[@]}"
tarball=$(cd "$(dirname "${tarballs[0]}")" && pwd)/$(basename "${tarballs[0]}")
zip=$(cd "$(dirname "${zips[0]}")" && pwd)/$(basename "${zips[0]}")
linux_name=$(basename "$tarball" .tar.gz)
win32_name=$(basename "$zip" .zip)
version=${win32_name#DEZuzovEzodid-}
version=${version%-win32}
[ "$linux_name" = "DEZuzovEzodid-$version-linux-x86_64" ] ||
  fail "$linux_name is not of version $version for x86_64"

say "checksums ($dist/SHA256SUMS)"
(cd "$dist" && sha256sum -c SHA256SUMS) || fail "checksums do not verify"
listed=$(awk '{print $2}' "$dist/SHA256SUMS" | sort | tr '\n' ' ')
[ "$listed" = "$(printf '%s\n' "$linux_name.tar.gz" "$win32_name.zip" | sort | tr '\n' ' ')" ] ||
  fail "SHA256SUMS lists: $listed"

work=$(mktemp -d)
case "$work/" in "$src"/*) fail "scratch folder $work lies inside the tree" ;; esac
server_pid=
cleanup() {
  [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null
  if [ "${RELEASE_CHECK_KEEP:-0}" = 1 ]; then echo "scratch folder kept: $work"; else rm -rf "$work"; fi
}
trap cleanup EXIT
say "scratch folder $work"

if [ "$rebuild" -eq 1 ]; then
  say "scripts/release.sh once more, in other directories"
  again=$work/rebuild
  RELEASE_BUILD_LINUX=$again/build-linux RELEASE_BUILD_WIN32=$again/build-win32 \
    RELEASE_DIST=$again/dist scripts/release.sh >"$work/rebuild.txt" 2>&1 ||
    fail "the second run of release.sh failed: $(tail -n 20 "$work/rebuild.txt")"
  for f in SHA256SUMS "$linux_name.tar.gz" "$win32_name.zip"; do
    [ -f "$again/dist/$f" ] || fail "the second run wrote no $f"
    cmp "$dist/$f" "$again/dist/$f" || fail "$f differs between the two runs"
  done
  echo "two runs from clean, in different build directories: identical SHA256SUMS, $linux_name.tar.gz, $win32_name.zip"
  rm -rf "$again"
fi

# The files of a bundle, below its folder, for an executable suffix.
bundle_files() { # <module file> <exe suffix>
  printf '%s\n' "$1" QVThunkConfig.xml README.txt "config_check$2" "sample_host$2" \
    "sample_server$2" include/DEZuzovEzodid.h docs/CHANGELOG.md docs/README.md \
    docs/performance.md docs/protocol.md docs/reliability.md docs/windows.md | sort
}
# The files under an install prefix.
install_files() { # <module path> <exe suffix>
  printf '%s\n' "$1" "bin/config_check$2" "bin/sample_host$2" "bin/sample_server$2" \
    include/DEZuzovEzodid.h lib/cmake/DEZuzovEzodid/DEZuzovEzodidConfig.cmake \
    lib/cmake/DEZuzovEzodid/DEZuzovEzodidConfigVersion.cmake \
    lib/cmake/DEZuzovEzodid/DEZuzovEzodidTargets.cmake lib/pkgconfig/DEZuzovEzodid.pc \
    share/DEZuzovEzodid/QVThunkConfig.xml share/doc/DEZuzovEzodid/CHANGELOG.md \
    share/doc/DEZuzovEzodid/README-operator.txt share/doc/DEZuzovEzodid/README.md \
    share/doc/DEZuzovEzodid/performance.md share/doc/DEZuzovEzodid/protocol.md \
    share/doc/DEZuzovEzodid/reliability.md share/doc/DEZuzovEzodid/windows.md | sort
}
same_files() { # <what> <directory> <expected list>
  local found
  found=$(cd "$2" && find . -type f | sed 's|^\./||' | sort)
  [ "$found" = "$3" ] || fail "$1 holds:
$found
expected:
$3"
}
# Prints a program's --version line (CR removed) and checks it.
check_version() { # <tool> <command...>
  local tool=$1 said
  shift
  said=$("$@" --version | tr -d '\r')
  [ "$said" = "$tool $version" ] || fail "$tool --version says '$said', not '$tool $version'"
}
# Points a configuration at a loopback port.
set_port() { # <config file> <port>
  sed -i "s|<port>[0-9]*</port>|<port>$2</port>|" "$1"
  grep -q "<port>$2</port>" "$1" || fail "could not set the port in $1"
}

# ---- Linux tarball ---------------------------------------------------------------
say "Linux tarball $linux_name.tar.gz"
mkdir "$work/linux"
tar -xzf "$tarball" -C "$work/linux"
owners=$(tar -tvzf "$tarball" | awk '{print $2}' | sort -u | tr '\n' ' ')
[ "$owners" = "0/0 " ] || fail "tarball entries owned by $owners"
lin=$work/linux/$linux_name
same_files "the tarball's folder" "$lin" "$(bundle_files DEZuzovEzodid.so "")"
for tool in config_check sample_host sample_server; do
  check_version "$tool" "$lin/$tool"
done
"$lin/config_check" "$lin/QVThunkConfig.xml" >"$work/config_check.txt" ||
  fail "config_check rejects the sample configuration: $(cat "$work/config_check.txt")"
echo "tools say $version; config_check: $(tail -n 1 "$work/config_check.txt")"

# The tarball's sample server, on a free loopback port, serves both hosts.
server_out=$work/server.txt
"$lin/sample_server" --port 0 --k-every 300 --duration 120 >"$server_out" 2>&1 &
server_pid=$!
port=
for _ in $(seq 100); do
  port=$(sed -n 's/^listening on 127\.0\.0\.1:\([0-9]*\).*/\1/p' "$server_out" | head -n 1)
  [ -n "$port" ] && break
  kill -0 "$server_pid" 2>/dev/null || fail "the sample server did not start: $(cat "$server_out")"
  sleep 0.05
done
[ -n "$port" ] || fail "the sample server did not report its port"

# Runs a host of a bundle against the server and checks the exchange and
# the relay's log beside the host.
exchange() { # <what> <bundle folder> <host command...>
  local what=$1 dir=$2
  shift 2
  local before out=$work/host-$RANDOM.txt status=0
  before=$(grep -c '^recv #[0-9]* D ' "$server_out" || true)
  set_port "$dir/QVThunkConfig.xml" "$port"
  # From another directory: the relay must find its files beside the host.
  (cd "$work" && "$@" --count 10 --interval 100 --duration 60) >"$out" 2>&1 || status=$?
  [ "$status" -eq 0 ] || fail "$what: the sample host failed (exit $status): $(tail -n 5 "$out")"
  local to_server to_host log
  to_server=$(( $(grep -c '^recv #[0-9]* D ' "$server_out" || true) - before ))
  to_host=$(sed -n 's/.*received \([0-9]*\) D,.*/\1/p' "$out" | tail -n 1)
  [ "$to_server" -gt 0 ] || fail "$what: no message reached the server"
  [ "${to_host:-0}" -gt 0 ] || fail "$what: no message reached the host: $(tail -n 5 "$out")"
  log=$(ls "$dir"/hook_log/VornProxyLog*.txt 2>/dev/null | head -n 1)
  [ -n "$log" ] || fail "$what: no log file under $dir/hook_log"
  grep -q 'Connected To 127.0.0.1-' "$log" || fail "$what: the relay's log shows no connection"
  echo "$what: $to_server D packets reached the server (the ping probe among them), $to_host came back to the host; log $(basename "$log")"
}
exchange "Linux sample host from the tarball" "$lin" "$lin/sample_host"

# ---- Windows zip -----------------------------------------------------------------
say "Windows zip $win32_name.zip"
mkdir "$work/win32"
unzip -q "$zip" -d "$work/win32"
win=$work/win32/$win32_name
same_files "the zip's folder" "$win" "$(bundle_files DEZuzovEzodid.dll .exe)"
sh scripts/check_dll_exports.sh "$objdump" "$win/DEZuzovEzodid.dll"
resource_version=$version
while [ "$(echo "$resource_version" | tr -cd . | wc -c)" -lt 3 ]; do
  resource_version=$resource_version.0
done
description=$(sed -n 's/^set(RELAY_FILE_DESCRIPTION "\(.*\)")$/\1/p' cmake/version-resource.cmake)
sh scripts/check_dll_version.sh "$windres" "$win/DEZuzovEzodid.dll" "$resource_version" \
  DEZuzovEzodid "$description" || fail "the DLL's version resource"
grep -q $'\r$' "$win/README.txt" || fail "the zip's README.txt has no CR LF line ends"

# The machine check starts the build's exec_probe.exe through its wine-run.
cmake --build "$win32_build" --target exec_probe >/dev/null
status=0
finding=$(scripts/win32-check.sh "$win32_build") || status=$?
case "$status" in
  0)
    say "32-bit Windows programs from the zip under 32-bit wine: $finding"
    wine_run=$(cd "$win32_build" && pwd)/wine-run
    for tool in config_check sample_host sample_server; do
      check_version "$tool" "$wine_run" "$win/$tool.exe"
    done
    (cd "$win" && "$wine_run" config_check.exe QVThunkConfig.xml) >"$work/config_check_win.txt" ||
      fail "config_check.exe rejects the sample configuration: $(cat "$work/config_check_win.txt")"
    echo "tools say $version; config_check.exe: $(tail -n 1 "$work/config_check_win.txt" | tr -d '\r')"
    exchange "32-bit sample_host.exe and DEZuzovEzodid.dll from the zip" "$win" \
      "$wine_run" "$win/sample_host.exe"
    log=$(ls "$win"/hook_log/VornProxyLog*.txt | head -n 1)
    grep -q $'\r$' "$log" || fail "the DLL's log has no CR LF line ends"
    win32_ran=1 ;;
  1)
    echo "32-bit Windows programs NOT RUN: $finding (the zip's files, the DLL's export table and version resource were checked only)"
    win32_ran=0 ;;
  *) fail "cannot tell whether 32-bit programs run here: $finding" ;;
esac

kill -TERM "$server_pid" 2>/dev/null || true
wait "$server_pid" 2>/dev/null || true
server_pid=

# ---- cmake --install, find_package and pkg-config ---------------------------------
say "cmake --install $linux_build, and a consumer project against it"
prefix=$work/prefix-linux
cmake --install "$linux_build" --prefix "$prefix" >/dev/null
same_files "the Linux install prefix" "$prefix" "$(install_files lib/DEZuzovEzodid.so "")"
cmake -S tests/consumer -B "$work/consumer-linux" -DCMAKE_PREFIX_PATH="$prefix" >"$work/consumer.txt" ||
  fail "the consumer project does not configure: $(tail -n 20 "$work/consumer.txt")"
grep 'DEZuzovEzodid .*: module' "$work/consumer.txt"
cmake --build "$work/consumer-linux" >/dev/null
out=$("$work/consumer-linux/relay_consumer" | tail -n 1) || fail "consumer: $out"
[ "$out" = "consumer: loaded $prefix/lib/DEZuzovEzodid.so, 5 exports, sh_load_start returned -1" ] ||
  fail "consumer said: $out"
echo "$out"

export PKG_CONFIG_PATH=$prefix/lib/pkgconfig
[ "$(pkg-config --modversion DEZuzovEzodid)" = "$version" ] || fail "pkg-config gives another version"
module=$(pkg-config --variable=module DEZuzovEzodid)
[ "$module" = "$prefix/lib/DEZuzovEzodid.so" ] || fail "pkg-config's module is $module"
mkdir "$work/consumer-pc"
# shellcheck disable=SC2046
cc $(pkg-config --cflags DEZuzovEzodid) -DDEZ_MODULE_PATH="\"$module\"" \
  -o "$work/consumer-pc/relay_consumer" tests/consumer/main.c -ldl
out=$("$work/consumer-pc/relay_consumer" | tail -n 1) || fail "pkg-config consumer: $out"
echo "with pkg-config's flags: $out"
unset PKG_CONFIG_PATH

say "cmake --install $win32_build, and the consumer project cross-built against it"
prefix=$work/prefix-win32
cmake --install "$win32_build" --prefix "$prefix" >/dev/null
same_files "the Windows install prefix" "$prefix" "$(install_files bin/DEZuzovEzodid.dll .exe)"
cmake -S tests/consumer -B "$work/consumer-win32" \
  -DCMAKE_TOOLCHAIN_FILE="$src/cmake/toolchain-mingw-i686.cmake" \
  -DDEZuzovEzodid_DIR="$prefix/lib/cmake/DEZuzovEzodid" >"$work/consumer.txt" ||
  fail "the Windows consumer project does not configure: $(tail -n 20 "$work/consumer.txt")"
grep 'DEZuzovEzodid .*: module' "$work/consumer.txt"
cmake --build "$work/consumer-win32" >/dev/null
if [ "$win32_ran" -eq 1 ]; then
  out=$("$wine_run" "$work/consumer-win32/relay_consumer.exe" | tr -d '\r' | tail -n 1) ||
    fail "Windows consumer: $out"
  case "$out" in
    "consumer: loaded $prefix/bin/DEZuzovEzodid.dll, 5 exports, sh_load_start returned -1") ;;
    *) fail "Windows consumer said: $out" ;;
  esac
  echo "under 32-bit wine: $out"
else
  echo "Windows consumer NOT RUN (32-bit programs do not run here): built only"
fi

say "release $version checked: checksums, both bundles' files, the Linux exchange$([ "$win32_ran" -eq 1 ] && echo ", the 32-bit exchange under wine" || echo " (32-bit NOT RUN)"), install and find_package, pkg-config"
