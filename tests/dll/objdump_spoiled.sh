#!/bin/sh
# Stands in for objdump in the negative checks of check_dll_exports.sh: runs
# the real objdump (REAL_OBJDUMP) and spoils its report as SPOIL says, so the
# checks show that they reject what they must reject.
set -eu
"$REAL_OBJDUMP" "$@" | case "$SPOIL" in
  extra-export)
    # One more name in the export name table.
    awk '{ print } /\[Ordinal\/Name Pointer\] Table/ { print "\t[   5] pthread_create" }' ;;
  wrong-ordinal)
    # sh_getdata at the ordinal of sh_load_exit.
    sed 's/\[   0\] sh_getdata/[   1] sh_getdata/' ;;
  module-name)
    sed 's/^\(Name[[:space:]]*[0-9a-fA-F]*[[:space:]]*\)DEZuzovEzodid\.dll$/\1relay.dll/' ;;
  unnamed-export)
    # An entry of the address table without a name.
    sed 's/^\([[:space:]]*Export Address Table[[:space:]]*\)00000005$/\100000006/' ;;
  stdcall)
    # sh_recv built as a stdcall function (symbol table only).
    sed 's/ _sh_recv$/ _sh_recv@16/' ;;
  callee-pops)
    # sh_recv removing its four arguments on return (disassembly only).
    sed '/<_sh_recv>:$/,$ s/\tret$/\tret    $0x10/' ;;
  runtime-import)
    awk '{ print } /^The Import Tables/ { print "\tDLL Name: libwinpthread-1.dll" }' ;;
  *)
    echo "objdump_spoiled.sh: unknown SPOIL '$SPOIL'" >&2
    exit 2 ;;
esac
