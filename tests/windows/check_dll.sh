#!/bin/sh
# Kelvaro32.dll is of the expected kind (pei-i386 or pei-x86-64), exports exactly the
# functions the headers declare, under their plain names, plus the CLens members; and it
# imports from KERNEL32.dll, USER32.dll, WS2_32.dll and msvcrt.dll only.
# Usage: check_dll.sh OBJDUMP DLL FORMAT HEADER...
set -eu
objdump=$1
dll=$2
format=$3
shift 3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
expected=$work/expected
actual=$work/actual
"$objdump" -p "$dll" >"$work/dump"
if ! grep -q "file format $format\$" "$work/dump"; then
  echo "$dll is not $format: $(sed -n 's/.*file format //p' "$work/dump" | head -n 1)" >&2
  exit 1
fi

{
  sed -n 's/^KELVARO_API([a-z *]*) \([A-Za-z0-9_]*\)(.*/\1/p' "$@"
  printf '%s\n' _ZN5CLensC1Ev _ZN5CLensC2Ev _ZN5CLensaSERKS_
} | sort >"$expected"
if [ "$(wc -l <"$expected")" -lt 30 ]; then
  echo "found too few declarations in $*" >&2
  exit 1
fi

# Export names: the lines "[ n] name" after the name pointer table's heading.
sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/s/^[[:space:]]*\[ *[0-9]*\] \(.*\)$/\1/p' "$work/dump" | sort >"$actual"
status=0
if ! diff -u "$expected" "$actual"; then
  echo "exports differ from the interface (- declared, + exported)" >&2
  status=1
fi

# Winsock for the ports behind a serial device server; like the others, part of every Windows.
imports=$(sed -n 's/^[[:space:]]*DLL Name: //p' "$work/dump" | sort | tr '\n' ' ')
if [ "$imports" != "KERNEL32.dll USER32.dll WS2_32.dll msvcrt.dll " ]; then
  echo "imports: $imports(expected KERNEL32.dll USER32.dll WS2_32.dll msvcrt.dll only)" >&2
  status=1
fi
[ "$status" -eq 0 ] && echo "$format, $(wc -l <"$actual") exports, all declared; imports: $imports"
exit "$status"
