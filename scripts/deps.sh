#!/usr/bin/env bash
# Installs the Debian packages that the named build needs, when missing.
#   scripts/deps.sh base      compiler, CMake, GoogleTest, Boost headers
#   scripts/deps.sh clang     clang with sanitizer and libFuzzer runtimes
#   scripts/deps.sh faults    ip, nft and iptables for the fault suite's
#                             network namespaces and packet filter rules
#   scripts/deps.sh windows   mingw-w64 cross-compilers and binutils, GoogleTest
#                             sources, Boost headers, wine64, and 32-bit wine
#                             (wine32:i386, adding the i386 architecture)
#   scripts/deps.sh release   zip, unzip and pkg-config for the release bundles
#                             and their check (tar, gzip and sha256sum are
#                             always there)
set -euo pipefail

packages=()
for set in "$@"; do
  case "$set" in
    base) packages+=(cmake make g++ libgtest-dev libgmock-dev libboost-dev libbenchmark-dev) ;;
    clang) packages+=(clang libclang-rt-14-dev) ;;
    faults) packages+=(iproute2 nftables iptables) ;;
    windows) packages+=(cmake make g++-mingw-w64-i686 g++-mingw-w64-x86-64 binutils-mingw-w64-i686
                        binutils-mingw-w64-x86-64 binutils googletest libboost-dev wine64
                        wine32:i386) ;;
    release) packages+=(zip unzip pkg-config) ;;
    *) echo "deps.sh: unknown package set '$set'" >&2; exit 2 ;;
  esac
done

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
if [ "$(id -u)" -ne 0 ]; then
  command -v sudo >/dev/null || { echo "deps.sh: need root (or sudo) to install: ${missing[*]}" >&2; exit 1; }
  sudo="sudo"
fi
echo "Installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
if printf '%s\n' "${missing[@]}" | grep -q ':i386$' && ! dpkg --print-foreign-architectures | grep -qx i386; then
  $sudo dpkg --add-architecture i386
fi
# A mirror in the middle of a sync fails an index now and then: try again,
# then go on with what was fetched.
for attempt in 1 2 3; do
  $sudo apt-get update -qq && break
  [ "$attempt" -lt 3 ] && sleep 20
done
$sudo apt-get install -y -qq "${missing[@]}" >/dev/null
