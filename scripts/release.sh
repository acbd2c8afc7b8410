#!/usr/bin/env bash
# Builds the release bundles for operators and writes them to dist/:
#   DEZuzovEzodid-<version>-linux-x86_64.tar.gz   the Linux module and tools
#   DEZuzovEzodid-<version>-win32.zip             the 32-bit DLL and .exe tools
#   SHA256SUMS                                    their checksums
# Each holds one folder, DEZuzovEzodid-<version>-<platform>/, with the module,
# the sample QVThunkConfig.xml, config_check, sample_host, sample_server, an
# operator's README.txt, include/DEZuzovEzodid.h, and docs/ (the README, the
# change log and the docs). The version is project()'s in CMakeLists.txt.
#
# Reproducible: the same commit gives byte-identical archives, whatever the
# checkout's or the build's directory. Binaries are built with
# RELAY_REPRODUCIBLE=ON (no paths, no link times) and SOURCE_DATE_EPOCH (the
# last commit's time, for the relay's build date), and their debug
# information is removed (their symbols are kept); the archives list their
# files in name order, owned by 0:0, with the commit's time as every mtime
# (tar --sort=name --mtime, gzip -n, zip -X in UTC).
#
# Build directories: build-release-linux/ and build-release-win32/, which
# this script owns and builds afresh every time (about 15 s each on 2
# cores). RELEASE_BUILD_LINUX / RELEASE_BUILD_WIN32 name others instead:
# one that holds a CMake cache is used as it is (with its own settings, and
# only brought up to date), an empty one is configured as above.
# RELEASE_DIST names another output directory; SOURCE_DATE_EPOCH, when set,
# is taken instead of the commit's time.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh base windows release

export LC_ALL=C TZ=UTC
linux=${RELEASE_BUILD_LINUX:-build-release-linux}
win32=${RELEASE_BUILD_WIN32:-build-release-win32}
dist=${RELEASE_DIST:-dist}
jobs=$(nproc)
if [ -z "${SOURCE_DATE_EPOCH:-}" ]; then
  SOURCE_DATE_EPOCH=$(git log -1 --format=%ct 2>/dev/null) ||
    { echo "release.sh: not a git checkout: set SOURCE_DATE_EPOCH" >&2; exit 1; }
fi
export SOURCE_DATE_EPOCH
if git rev-parse --git-dir >/dev/null 2>&1 && ! git diff --quiet HEAD --; then
  echo "release.sh: note: the tree has uncommitted changes; the bundles hold them, dated as the last commit"
fi

fail() { echo "release.sh: $*" >&2; exit 1; }

# Configures (when it is ours, or empty) and builds what the bundles hold.
build() { # <build dir> <default dir> [cmake arguments...]
  local dir=$1 default=$2
  shift 2
  if [ "$dir" = "$default" ]; then
    rm -rf "$dir"
  fi
  if [ -f "$dir/CMakeCache.txt" ]; then
    echo "== $dir: reused as it is"
  else
    echo "== $dir: configured for the release"
    cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DRELAY_BUILD_TESTS=OFF \
      -DRELAY_BUILD_TOOLS=ON -DRELAY_REPRODUCIBLE=ON "$@" >/dev/null
  fi
  cmake --build "$dir" -j"$jobs" --target DEZuzovEzodid config_check sample_host sample_server \
    >/dev/null
}

build "$linux" build-release-linux
build "$win32" build-release-win32 -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw-i686.cmake

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Installs a build, then lays its files out as the bundle's folder,
# $work/$staged: everything the host's folder needs at the top, the rest
# below.
version=
staged=
stage() { # <build dir> <platform> <module file> <executable suffix>
  local dir=$1 platform=$2 module=$3 exe=$4
  local prefix=$work/prefix-$platform
  cmake --install "$dir" --prefix "$prefix" >/dev/null
  local pc_version
  pc_version=$(sed -n 's/^Version: //p' "$prefix/lib/pkgconfig/DEZuzovEzodid.pc")
  [ -n "$pc_version" ] || fail "$dir: no version in the installed pkg-config file"
  if [ -z "${version:-}" ]; then
    version=$pc_version
  elif [ "$version" != "$pc_version" ]; then
    fail "$dir is of version $pc_version, the other build of $version"
  fi

  local name=DEZuzovEzodid-$version-$platform
  local root=$work/$name
  local docs=$prefix/share/doc/DEZuzovEzodid
  mkdir -p "$root/include" "$root/docs"
  if [ -f "$prefix/bin/$module" ]; then
    cp "$prefix/bin/$module" "$root/"
  else
    cp "$prefix/lib/$module" "$root/"
  fi
  local tool f
  for tool in config_check sample_host sample_server; do
    cp "$prefix/bin/$tool$exe" "$root/"
  done
  cp "$prefix/share/DEZuzovEzodid/QVThunkConfig.xml" "$root/"
  cp "$docs/README-operator.txt" "$root/README.txt"
  cp "$prefix/include/DEZuzovEzodid.h" "$root/include/"
  cp "$docs/README.md" "$docs/CHANGELOG.md" "$docs/protocol.md" "$docs/reliability.md" \
    "$docs/performance.md" "$docs/windows.md" "$root/docs/"

  # Debug information out, symbols kept (backtraces and the DLL's cdecl
  # check still find the function names).
  local strip_tool
  strip_tool=$(sed -n 's/^CMAKE_STRIP:FILEPATH=//p' "$dir/CMakeCache.txt")
  [ -x "$strip_tool" ] || fail "$dir: no strip tool in its CMake cache"
  for f in "$root/$module" "$root/config_check$exe" "$root/sample_host$exe" \
           "$root/sample_server$exe"; do
    "$strip_tool" --strip-debug "$f"
    chmod 0755 "$f"
  done
  find "$root" -type d -exec chmod 0755 {} +
  find "$root" -type f ! -perm -u+x -exec chmod 0644 {} +
  find "$root" -exec touch -h -d "@$SOURCE_DATE_EPOCH" {} +
  staged=$name
}

stage "$linux" "linux-$(uname -m)" DEZuzovEzodid.so ""
linux_name=$staged
stage "$win32" win32 DEZuzovEzodid.dll .exe
win32_name=$staged

mkdir -p "$dist"
rm -f "$dist"/DEZuzovEzodid-*.tar.gz "$dist"/DEZuzovEzodid-*.zip "$dist/SHA256SUMS"
distdir=$(cd "$dist" && pwd)

tar --sort=name --mtime="@$SOURCE_DATE_EPOCH" --owner=0 --group=0 --numeric-owner \
  --format=gnu -C "$work" -cf - "$linux_name" | gzip -n -9 > "$distdir/$linux_name.tar.gz"
(cd "$work" && find "$win32_name" -type f | sort |
  zip -X -D -9 -q "$distdir/$win32_name.zip" -@)
(cd "$distdir" && sha256sum "$linux_name.tar.gz" "$win32_name.zip" > SHA256SUMS)

echo "== release $version, files dated $(date -u -d "@$SOURCE_DATE_EPOCH" '+%Y-%m-%d %H:%M:%S') UTC, in $dist/:"
(cd "$distdir" && ls -l "$linux_name.tar.gz" "$win32_name.zip" SHA256SUMS | awk '{print "  " $5 "  " $9}')
cat "$distdir/SHA256SUMS"
