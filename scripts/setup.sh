#!/bin/sh
# Installs what building and testing need on a fresh Debian machine; only what is missing.
# Usage: scripts/setup.sh [windows]
#
# An archive in the middle of a sync must not stop the build: indexes that fail to update are
# named and the rest is used. A package the project needs that cannot be installed is named
# and stops the set-up (exit 1). The one exception is 32-bit Wine when the archive itself
# cannot provide it: then the set-up leaves a note with apt's reason in the build tree
# (build/skipped/, or $KELVARO_SKIP_DIR) and exits 0, and scripts/test.sh skips the tests that
# run 32-bit programs under Wine, ending with the note's line. Each file there is one such
# line, made anew by every run.
set -eu

skip_dir=${KELVARO_SKIP_DIR:-$(cd "$(dirname "$0")/.." && pwd)/build/skipped}
packages="cmake ninja-build g++ googletest libgtest-dev binutils ser2net clang libclang-rt-14-dev python3-pytest python3-build python3-setuptools python3-wheel python3-venv mono-mcs mono-runtime libmono-system-core4.0-cil doxygen pkg-config dpkg-dev file zip unzip"
wine32=""
if [ "${1:-}" = windows ]; then
  # The -posix thread model builds the Windows tools (tools/windows/), the -win32 one the DLL.
  packages="$packages g++-mingw-w64-i686 g++-mingw-w64-x86-64 g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix
    wine wine64 llvm lld"
  wine32="wine32:i386"
  rm -f "$skip_dir/wine32"  # written again below if it still cannot be installed
fi

installed() {
  dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"
}

missing=""
for package in $packages; do
  installed "$package" || missing="$missing $package"
done
if [ -n "$wine32" ] && installed "$wine32"; then wine32=""; fi
[ -z "$missing$wine32" ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
  echo "missing packages:$missing${wine32:+ $wine32} (run this as root to install them)" >&2
  exit 1
fi
if [ -n "$wine32" ]; then
  dpkg --print-foreign-architectures | grep -qx i386 || dpkg --add-architecture i386
fi

log=$(mktemp)
trap 'rm -f "$log"' EXIT

# apt-get update fails as a whole when one index does; the indexes it did fetch are used.
if ! apt-get update -qq >"$log" 2>&1; then
  echo "apt-get update failed on some indexes; going on with the rest:" >&2
  failed=$(grep -E '^(Err:|E: Failed to fetch|W: Failed to fetch)' "$log" | sed 's/^/  /' | sort -u)
  if [ -n "$failed" ]; then echo "$failed" >&2; else sed 's/^/  /' "$log" >&2; fi
fi

# apt's own words for why a package cannot be installed: its dependency line, else its error.
apt_reason() {
  reason=$(grep -E ' : (Pre)?Depends: |^E: ' "$1" | grep -v 'held broken packages' | head -n 1 |
           sed 's/^E: //; s/^ *//; s/  */ /g')
  echo "${reason:-apt-get install failed}"
}

install() {
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "$@" >"$log" 2>&1
}

if [ -n "$missing" ]; then
  echo "installing:$missing"
  if ! install $missing; then
    # Name the packages that cannot be installed on their own, so the message says which.
    cannot=""
    for package in $missing; do
      apt-get install -s -y -qq --no-install-recommends "$package" >/dev/null 2>&1 || cannot="$cannot $package"
    done
    if [ -n "$cannot" ]; then
      echo "cannot install:$cannot ($(apt_reason "$log"))" >&2
    else
      echo "installing$missing failed:" >&2
      sed 's/^/  /' "$log" >&2
    fi
    exit 1
  fi
fi

if [ -n "$wine32" ]; then
  echo "installing: $wine32"
  if ! install "$wine32"; then
    line="skipped: 32-bit Wine suite ($wine32 cannot be installed: $(apt_reason "$log"))"
    mkdir -p "$skip_dir"
    echo "$line" >"$skip_dir/wine32"
    echo "$line" >&2
  fi
fi
exit 0
