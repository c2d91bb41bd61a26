#!/bin/sh
# Installs what building and testing need on a fresh Debian machine; only what is missing.
# Usage: scripts/setup.sh [windows]
set -eu

packages="cmake ninja-build g++ googletest libgtest-dev binutils ser2net clang libclang-rt-14-dev python3-pytest mono-mcs mono-runtime libmono-system-core4.0-cil doxygen pkg-config dpkg-dev file zip unzip"
if [ "${1:-}" = windows ]; then
  packages="$packages g++-mingw-w64-i686 g++-mingw-w64-x86-64 wine wine32:i386 wine64 llvm lld"
fi

missing=""
for package in $packages; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing="$missing $package"
done
[ -z "$missing" ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
  echo "missing packages:$missing (run this as root to install them)" >&2
  exit 1
fi
case "$missing" in
  *:i386*) dpkg --print-foreign-architectures | grep -qx i386 || dpkg --add-architecture i386 ;;
esac
echo "installing:$missing"
apt-get update -qq
DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends $missing >/dev/null
