#!/usr/bin/env bash
# The module exports exactly the five entry points: every other symbol of
# ours stays hidden. Usage: check_exports.sh path/to/DEZuzovEzodid.so
set -euo pipefail
module=$1
expected=$'sh_getdata\nsh_load_exit\nsh_load_start\nsh_recv\nsh_setfunc'
actual=$(nm -D --defined-only "$module" | awk '{print $NF}' | sort)
if [ "$actual" != "$expected" ]; then
  echo "exported symbols differ from the five entry points:" >&2
  diff <(echo "$expected") <(echo "$actual") >&2 || true
  exit 1
fi
for name in $expected; do
  nm -D --defined-only "$module" | grep -Eq "^[0-9a-f]+ T $name\$" || {
    echo "$name is not an exported function" >&2; exit 1; }
done
echo "exports: $(echo $actual)"
