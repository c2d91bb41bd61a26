#!/bin/sh
# The main job: builds the library and its tools, and checks a simulated lens with kelvaroctl.
set -eu
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake --preset linux >/dev/null
cmake --build --preset linux >/dev/null
exec build/linux/tools/kelvaroctl/kelvaroctl --simulate status
