#!/usr/bin/env bash
# Whether this kernel runs 32-bit x86 (i386) Linux programs, as 32-bit Wine
# needs. Runs a tiny static i386 program and exits 0 when it ran; otherwise
# prints why not (the system's own error) on one line and exits 1.
#
# The program is written out byte by byte, so the probe needs no compiler or
# i386 library and works before anything is installed: an ELF header, one
# loadable segment, and mov $42,%ebx; mov $1,%eax; int $0x80 (exit(42)).
# Status 42 shows that the i386 code itself ran.
set -uo pipefail

dir=$(mktemp -d) || exit 1
trap 'rm -rf "$dir"' EXIT
program=$dir/exit42
{
  printf '\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00'          # ELF32, little-endian
  printf '\x02\x00\x03\x00\x01\x00\x00\x00'                                 # executable, i386
  printf '\x54\x80\x04\x08\x34\x00\x00\x00\x00\x00\x00\x00'                 # entry, program headers
  printf '\x00\x00\x00\x00\x34\x00\x20\x00\x01\x00\x00\x00\x00\x00\x00\x00' # one program header
  printf '\x01\x00\x00\x00\x00\x00\x00\x00\x00\x80\x04\x08'                 # PT_LOAD at 0x08048000
  printf '\x00\x80\x04\x08\x60\x00\x00\x00\x60\x00\x00\x00'                 # 96 bytes
  printf '\x05\x00\x00\x00\x00\x10\x00\x00'                                 # read and execute
  printf '\xbb\x2a\x00\x00\x00\xb8\x01\x00\x00\x00\xcd\x80'                 # the code
} >"$program"
chmod +x "$program"

error=$( ("$program") 2>&1 >/dev/null)
status=$?
if ((status == 42)); then
  exit 0
fi
error=${error##*: }  # the shell's message ends with the system's reason
echo "this kernel does not run i386 programs (${error:-exit status $status})"
exit 1
