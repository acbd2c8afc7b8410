#!/bin/sh
# Checks how functions of a 32-bit Windows binary return to their callers,
# from its disassembly: "ret" leaves the arguments on the stack for the
# caller to remove (cdecl), "ret $0xN" removes N bytes of them itself
# (stdcall). Every return instruction of the function must be the expected
# one; a function without any that jumps to another one (a tail call)
# returns the way that one does.
#   check_returns.sh <objdump> <binary> <symbol>=<ret | ret $0xN> ...
set -eu
objdump=$1
binary=$2
shift 2

# The instructions of a symbol, up to the next symbol.
body() {
  "$objdump" -d --no-show-raw-insn --disassemble="$1" "$binary" | awk -v header="<$1>:" '
    /^[0-9a-fA-F]+ <.*>:$/ { inside = ($2 == header); next }
    inside { sub(/^[ \t]*[0-9a-fA-F]+:[ \t]*/, ""); print }'
}

# The distinct return instructions of a symbol, following tail calls a few
# levels deep.
returns() {
  symbol=$1
  for _ in 1 2 3 4; do
    code=$(body "$symbol")
    found=$(printf '%s\n' "$code" | grep '^ret' | sed 's/[[:space:]]*$//; s/[[:space:]]\{1,\}/ /' | sort -u)
    if [ -n "$found" ]; then
      printf '%s\n' "$found" | tr '\n' ','
      return
    fi
    symbol=$(printf '%s\n' "$code" | sed -n 's/^jmp[[:space:]]\{1,\}[0-9a-fA-F]\{1,\} <\([^+>]*\)>$/\1/p' | head -n 1)
    [ -n "$symbol" ] || return
  done
}

failed=0
for pair in "$@"; do
  symbol=${pair%%=*}
  expected=${pair#*=}
  found=$(returns "$symbol")
  if [ "$found" = "$expected," ]; then
    echo "$symbol: $expected"
  else
    echo "FAIL: $symbol returns with '${found:-no ret found}', not only '$expected'" >&2
    failed=1
  fi
done
exit "$failed"
