#!/usr/bin/env bash
# Windows builds with mingw-w64:
#   build-win32/  the 32-bit DEZuzovEzodid.dll (and the sample tools), with a
#                 check of its export table and imported DLLs;
#   build-win64/  the same code for 64-bit Windows with all tests, run under
#                 wine64 by CTest.
# Exits non-zero on any failure. BUILD_WIN32 / BUILD_WIN64 name other build
# directories; GTEST_SOURCE_DIR another GoogleTest source tree; RELAY_WERROR=ON
# makes warnings in the relay's own sources errors in both builds.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh windows

win32=${BUILD_WIN32:-build-win32}
win64=${BUILD_WIN64:-build-win64}
gtest=${GTEST_SOURCE_DIR:-/usr/src/googletest}
jobs=$(nproc)
werror=${RELAY_WERROR:-OFF}

echo "== 32-bit DLL ($win32)"
cmake -S . -B "$win32" -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw-i686.cmake \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DRELAY_BUILD_TESTS=OFF -DRELAY_BUILD_TOOLS=ON \
  -DRELAY_WERROR="$werror"
cmake --build "$win32" -j"$jobs"
ctest --test-dir "$win32" --output-on-failure -R '^dll_export_table'

echo "== 64-bit tests under wine64 ($win64)"
cmake -S . -B "$win64" -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw-x86_64.cmake \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DRELAY_GTEST_SOURCE_DIR="$gtest" -DRELAY_WERROR="$werror"
cmake --build "$win64" -j"$jobs"
ctest --test-dir "$win64" --output-on-failure -j"$jobs" --timeout 300

echo "== Windows builds and tests passed"
