#!/bin/sh
# Tells whether this machine runs the 32-bit Windows programs of a 32-bit
# build: first whether it executes 32-bit x86 code at all (a tiny 32-bit
# Linux program that exits with 42), then whether 32-bit wine starts a
# 32-bit Windows program (the build's exec_probe.exe, through the build's
# own wine wrapper, must say it is 32-bit).
#   win32-check.sh <32-bit build directory>
# Prints one line saying what it found and why. Exit status: 0 it runs them,
# 1 it cannot, 2 the check itself could not be made.
# RELAY_WIN32_EXEC=yes or =no skips the check and gives that answer.
set -u
build=$1

case "${RELAY_WIN32_EXEC:-auto}" in
  yes) echo "RELAY_WIN32_EXEC=yes: taken as able to run 32-bit programs, not checked"; exit 0 ;;
  no) echo "RELAY_WIN32_EXEC=no: taken as unable to run 32-bit programs, not checked"; exit 1 ;;
  auto) ;;
  *) echo "RELAY_WIN32_EXEC must be yes, no or auto, not '$RELAY_WIN32_EXEC'"; exit 2 ;;
esac

dir="$build/win32-check"
mkdir -p "$dir"
cat > "$dir/exit42.s" <<'ASM'
	.globl	_start
_start:
	movl	$1, %eax	/* exit */
	movl	$42, %ebx
	int	$0x80
ASM
if ! as --32 -o "$dir/exit42.o" "$dir/exit42.s" 2>"$dir/build.txt" ||
   ! ld -m elf_i386 -o "$dir/exit42" "$dir/exit42.o" 2>>"$dir/build.txt"; then
  echo "cannot build the 32-bit x86 check program: $(head -n 1 "$dir/build.txt")"
  exit 2
fi

# The shell reports a refused program on its own standard error.
why=$( { "$dir/exit42"; } 2>&1 )
status=$?
if [ "$status" -ne 42 ]; then
  why=$(printf '%s' "$why" | head -n 1 | sed 's/.*: //')
  echo "this machine does not execute 32-bit x86 code: a 32-bit Linux program failed with exit status $status${why:+ ($why)}"
  exit 1
fi

probe="$build/exec_probe.exe"
if [ ! -f "$probe" ] || [ ! -x "$build/wine-run" ]; then
  echo "$build has no exec_probe.exe or wine-run: build it first"
  exit 2
fi
out=$(WINE_RUN_TIMEOUT=120 "$build/wine-run" "$probe" 2>&1)
status=$?
case "$out" in
  *"exec_probe: 32-bit"*) ;;
  *)
    echo "this machine executes 32-bit x86 code, but 32-bit wine did not start a 32-bit Windows program: exit status $status${out:+, said: $(printf '%s' "$out" | head -n 1)}"
    exit 1 ;;
esac
echo "this machine executes 32-bit x86 code and 32-bit wine starts 32-bit Windows programs"
exit 0
