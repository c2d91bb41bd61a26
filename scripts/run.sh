#!/bin/sh
# The main job: builds the library and a host, and drives a simulated lens with it.
set -eu
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake --preset linux >/dev/null
cmake --build --preset linux >/dev/null
exec build/linux/tools/lens-demo/kelvaro-lens-demo
