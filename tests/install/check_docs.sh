#!/bin/sh
# Builds the docs target and checks the reference: the build fails on any doxygen warning,
# every function the DLL exports has its own entry, and a header with an undocumented
# function does fail with this Doxyfile (else a passing build would prove nothing).
# Usage: check_docs.sh CMAKE BUILD_DIR DOXYGEN DEF_FILE
set -eu
cmake=$1 build=$2 doxygen=$3 def=$4

"$cmake" --build "$build" --target docs

html=$build/docs/html
missing=""
# The .def lists each export as NAME@N (C++ members are mangled and start with _).
for name in $(sed -n 's/^ *\([A-Za-z][A-Za-z0-9_]*\)@[0-9]*$/\1/p' "$def"); do
  cat "$html/Kelvaro32_8h.html" "$html/kelvaro_8h.html" | grep -q "</span>$name()</h2>" ||
    missing="$missing $name"
done
[ -n "$missing" ] && { echo "no entry in the reference for:$missing" >&2; exit 1; }
[ -s "$html/classCLens.html" ] || { echo "no entry in the reference for CLens" >&2; exit 1; }

scratch=$(mktemp -d "${TMPDIR:-/tmp}/kelvaro-docs.XXXXXX")
trap 'rm -rf "$scratch"' EXIT
cat >"$scratch/undocumented.h" <<'HEADER'
/** @file undocumented.h
 * A header with one documented and one undocumented function. */
/** Documented. @param x a number @return x */
int documented(int x);
int undocumented(int y);
HEADER
if { cat "$build/docs/Doxyfile"; echo "INPUT = $scratch/undocumented.h"; echo "OUTPUT_DIRECTORY = $scratch"; } |
   "$doxygen" - >"$scratch/log" 2>&1; then
  echo "doxygen passed a header with an undocumented function; the Doxyfile lets warnings through" >&2
  exit 1
fi
grep -q "undocumented(int y).*not documented" "$scratch/log" || { cat "$scratch/log" >&2; exit 1; }
echo "reference complete: $html/index.html"
