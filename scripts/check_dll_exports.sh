#!/bin/sh
# Checks a built DEZuzovEzodid.dll: the export directory names the module
# "DEZuzovEzodid.dll" and exports exactly the five entry points with ordinals
# 1 to 5 in alphabetical order, a 32-bit module exports them as cdecl
# functions (by their symbols and by how they return), and the module imports
# only from DLLs that a plain Windows installation has.
#   check_dll_exports.sh <objdump> <dll>
set -eu
objdump=$1
dll=$2
dump=$("$objdump" -p "$dll")
failed=0
fail() { echo "FAIL: $*" >&2; failed=1; }

# The export directory's name.
name=$(printf '%s\n' "$dump" | sed -n 's/^Name[[:space:]]*[0-9a-fA-F]*[[:space:]]*//p' | head -n 1)
[ "$name" = "DEZuzovEzodid.dll" ] || fail "module name is '$name'"

# The name table: "[index] name" rows under "[Ordinal/Name Pointer] Table",
# where the index counts from the ordinal base.
base=$(printf '%s\n' "$dump" | sed -n 's/^Ordinal Base[[:space:]]*//p' | head -n 1)
[ -n "$base" ] || { fail "no export directory"; base=0; }
exports=$(printf '%s\n' "$dump" |
  sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' |
  sed -n 's/^[[:space:]]*\[[[:space:]]*\([0-9]*\)\][[:space:]]*\([^[:space:]]*\).*/\1 \2/p' |
  while read -r index export_name; do echo "$((index + base)) $export_name"; done)
expected="1 sh_getdata
2 sh_load_exit
3 sh_load_start
4 sh_recv
5 sh_setfunc"
[ "$exports" = "$expected" ] || fail "exports are:
$exports"

# The export address table holds as many entries as there are names.
count=$(printf '%s\n' "$dump" | sed -n '/^Number in:/,/^Table Addresses/s/^[[:space:]]*Export Address Table[[:space:]]*//p' | head -n 1)
[ "$((0x${count:-0}))" -eq 5 ] || fail "export address table has ${count:-no} entries"

# 32-bit: each entry point is a cdecl function. The compiler names a cdecl
# function _name and a stdcall one _name@bytes, so the symbol table shows
# which convention the exported code was built with.
if printf '%s\n' "$dump" | grep -q '^Magic[[:space:]]*010b'; then
  symbols=$("$objdump" -t "$dll" | sed -n 's/.*)[[:space:]]0x[0-9a-fA-F]*[[:space:]]//p')
  [ -n "$symbols" ] || fail "no symbol table to check the calling convention with"
  for export_name in sh_getdata sh_load_exit sh_load_start sh_recv sh_setfunc; do
    printf '%s\n' "$symbols" | grep -qx "_$export_name" || fail "no cdecl symbol _$export_name"
    if printf '%s\n' "$symbols" | grep -q "^_$export_name@"; then
      fail "$export_name has a stdcall symbol"
    fi
  done
  # The code agrees: each returns with a plain ret, leaving its arguments to
  # the caller, where a stdcall function would remove them (ret $0xN).
  sh "$(dirname "$0")/check_returns.sh" "$objdump" "$dll" _sh_getdata=ret _sh_load_exit=ret \
    _sh_load_start=ret _sh_recv=ret _sh_setfunc=ret >/dev/null ||
    fail "an entry point does not return as a cdecl function"
fi

# Imported DLLs: the system's own only, no compiler runtime DLL.
imports=$(printf '%s\n' "$dump" | sed -n 's/^[[:space:]]*DLL Name:[[:space:]]*//p' | tr 'A-Z' 'a-z' | sort -u)
[ -n "$imports" ] || fail "no imports found"
for dll_name in $imports; do
  case "$dll_name" in
    kernel32.dll | wsock32.dll | ws2_32.dll | msvcrt.dll) ;;
    *) fail "imports from $dll_name" ;;
  esac
done

if [ "$failed" -ne 0 ]; then
  exit 1
fi
echo "export table of $(basename "$dll"): $(printf '%s' "$exports" | tr '\n' ' ')"
echo "imports: $(printf '%s' "$imports" | tr '\n' ' ')"
