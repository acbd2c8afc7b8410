#!/bin/sh
# Checks the version resource of a built DEZuzovEzodid.dll on the build
# machine, as windres decodes it: one VERSIONINFO, of a DLL, whose numbers
# and texts are the expected ones, and whose original file name is the DLL's
# own file name.
#   check_dll_version.sh <windres> <dll> <version a.b.c.d> <product name> <description>
set -eu
windres=$1
dll=$2
version=$3
product=$4
description=$5
rc=$("$windres" -i "$dll" -O rc 2>&1) || { echo "FAIL: $windres cannot read $dll: $rc" >&2; exit 1; }
failed=0
fail() { echo "FAIL: $*" >&2; failed=1; }

field() { # the line of a fixed field, e.g. " FILEVERSION 1, 0, 0, 0"
  printf '%s\n' "$rc" | sed -n "s/^[[:space:]]*$1[[:space:]]\{1,\}//p" | head -n 1
}
value() { # the text of a VALUE "name", "text" line
  printf '%s\n' "$rc" | sed -n "s/^[[:space:]]*VALUE \"$1\", \"\(.*\)\"[[:space:]]*$/\1/p" | head -n 1
}

count=$(printf '%s\n' "$rc" | grep -c 'VERSIONINFO' || true)
[ "$count" -eq 1 ] || fail "$count version resources instead of one"

numbers=$(printf '%s' "$version" | sed 's/\./, /g')
[ "$(field FILEVERSION)" = "$numbers" ] || fail "FILEVERSION is '$(field FILEVERSION)', not '$numbers'"
[ "$(field PRODUCTVERSION)" = "$numbers" ] || fail "PRODUCTVERSION is '$(field PRODUCTVERSION)', not '$numbers'"
[ "$(field FILETYPE)" = "0x2" ] || fail "FILETYPE is '$(field FILETYPE)', not 0x2 (a DLL)"
[ "$(field FILEOS)" = "0x40004" ] || fail "FILEOS is '$(field FILEOS)', not 0x40004 (Windows NT, 32-bit API)"

printf '%s\n' "$rc" | grep -q 'BLOCK "040904b0"' || fail "no string table for U.S. English, Unicode"
printf '%s\n' "$rc" | grep -q 'VALUE "Translation", 0x409, 1200' || fail "no translation entry 0x409, 1200"

expect() {
  [ "$(value "$1")" = "$2" ] || fail "$1 is '$(value "$1")', not '$2'"
}
expect FileVersion "$version"
expect ProductVersion "$version"
expect ProductName "$product"
expect FileDescription "$description"
expect OriginalFilename "$(basename "$dll")"
[ -n "$(value InternalName)" ] || fail "no InternalName"

if [ "$failed" -ne 0 ]; then
  exit 1
fi
echo "version resource of $(basename "$dll"): $(value ProductName) $(value FileVersion), \"$(value FileDescription)\", original file name $(value OriginalFilename)"
