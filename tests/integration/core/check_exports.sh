#!/bin/sh
# The library's dynamic symbols are exactly the functions the headers declare, plus CLens.
# Usage: check_exports.sh LIBRARY HEADER...
set -eu
library=$1
shift
expected=$(mktemp)
actual=$(mktemp)
trap 'rm -f "$expected" "$actual"' EXIT

{
  sed -n 's/^KELVARO_API([a-z *]*) \([A-Za-z0-9_]*\)(.*/\1/p' "$@"
  printf '%s\n' _ZN5CLensC1Ev _ZN5CLensC2Ev _ZN5CLensaSERKS_
} | sort > "$expected"
nm -D --defined-only "$library" | awk '{print $3}' | sort > "$actual"

if [ "$(wc -l < "$expected")" -lt 30 ]; then
  echo "found too few declarations in $*" >&2
  exit 1
fi
if ! diff -u "$expected" "$actual"; then
  echo "exported symbols differ from the interface (- declared, + exported)" >&2
  exit 1
fi
echo "$(wc -l < "$actual") symbols, all declared"
