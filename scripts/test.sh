#!/bin/sh
# Builds the library and runs every test suite: Linux, Linux under AddressSanitizer with
# UndefinedBehaviorSanitizer, Linux under ThreadSanitizer, the soak's short run, the fuzz
# targets for a bounded time, and the Windows DLL, 32-bit and 64-bit, under Wine.
set -eu
cd "$(dirname "$0")/.."
scripts/setup.sh windows

for preset in linux asan tsan fuzz; do
  echo "== $preset"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
  ctest --preset "$preset"
  if [ "$preset" = linux ]; then
    echo "== soak (short)"
    scripts/soak.sh --short
  fi
done
if [ -f cmake/toolchains/mingw-i686.cmake ] && grep -q '"windows"' CMakePresets.json; then
  echo "== windows"
  cmake --preset windows >/dev/null
  cmake --build --preset windows
  ctest --preset windows
fi
if [ -f cmake/toolchains/mingw-x86_64.cmake ] && grep -q '"windows64"' CMakePresets.json; then
  echo "== windows64"
  cmake --preset windows64 >/dev/null
  cmake --build --preset windows64
  ctest --preset windows64
fi
