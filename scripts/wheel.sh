#!/bin/sh
# Makes a wheel of the Python package kelvaro with a built library inside, tagged
# py3-none-PLATFORM, in OUT_DIR; prints the wheel's path. The package is copied aside first,
# so the source tree gets no build files.
# Usage: scripts/wheel.sh LIBRARY PLATFORM OUT_DIR
#   LIBRARY   build/linux/libKelvaro32.so, or a Kelvaro32.dll
#   PLATFORM  linux_x86_64, win32 or win_amd64
set -eu
[ $# -eq 3 ] || { echo "usage: $0 LIBRARY PLATFORM OUT_DIR" >&2; exit 2; }
library=$1 platform=$2 out=$3
source=$(cd "$(dirname "$0")/../python" && pwd)
stage=$(mktemp -d "${TMPDIR:-/tmp}/kelvaro-wheel.XXXXXX")
trap 'rm -rf "$stage"' EXIT
tar -C "$source" --exclude=__pycache__ --exclude='*.pyc' -cf - kelvaro pyproject.toml setup.py README.md |
  tar -C "$stage" -xf -
cp "$library" "$stage/kelvaro/"
mkdir -p "$out"
log=$stage/build.log
# No isolated environment: setuptools and wheel are Debian's (scripts/setup.sh).
if ! (cd "$stage" && /usr/bin/python3 -m build --no-isolation --wheel --outdir "$out" \
        "-C--build-option=--plat-name=$platform" .) >"$log" 2>&1; then
  cat "$log" >&2
  exit 1
fi
wheel=$out/kelvaro-$(sed -n 's/^version = "\(.*\)"/\1/p' "$source/pyproject.toml")-py3-none-$platform.whl
[ -f "$wheel" ] || { echo "no $wheel was made:" >&2; cat "$log" >&2; exit 1; }
echo "$wheel"
