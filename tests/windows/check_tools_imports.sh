#!/bin/sh
# The Windows tools are of the expected kind (pei-i386 or pei-x86-64) and, with the compiler
# runtime and winpthreads linked in, import only system DLLs and Kelvaro32.dll.
# Usage: check_tools_imports.sh OBJDUMP FORMAT EXE...
set -eu
objdump=$1 format=$2
shift 2
allowed=" KERNEL32.dll USER32.dll WS2_32.dll msvcrt.dll Kelvaro32.dll "
status=0
for exe in "$@"; do
  dump=$("$objdump" -p "$exe")
  echo "$dump" | grep -q "file format $format\$" || { echo "$exe is not $format" >&2; status=1; }
  imports=$(echo "$dump" | sed -n 's/^[[:space:]]*DLL Name: //p' | sort | tr '\n' ' ')
  for dll in $imports; do
    case "$allowed" in
      *" $dll "*) ;;
      *) echo "$exe imports $dll (allowed:$allowed)" >&2; status=1 ;;
    esac
  done
  echo "$(basename "$exe"): $format, imports $imports"
done
exit "$status"
