#!/usr/bin/env bash
# Checks that every C and C++ file of the project is laid out as the
# checked-in .clang-format says. Prints the files that differ and exits
# non-zero when there are any; `clang-format -i <file>` mends one.
set -euo pipefail
cd "$(dirname "$0")/.."
command -v clang-format >/dev/null || { echo "check_format.sh: clang-format is not installed" >&2; exit 2; }

mapfile -t files < <(git ls-files '*.c' '*.cpp' '*.h' '*.hpp')
differ=0
for f in "${files[@]}"; do
  if ! clang-format --dry-run --Werror "$f" >/dev/null 2>&1; then
    echo "not formatted: $f"
    differ=$((differ + 1))
  fi
done
echo "check_format.sh: ${#files[@]} files checked, $differ differ from .clang-format ($(clang-format --version | head -n 1))"
[ "$differ" -eq 0 ]
