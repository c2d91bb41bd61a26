#!/bin/sh
# The soak: the library against simulated lenses for a long while, one line of figures per
# phase and a summary (open/close and load/unload cycles, faulty lenses, unplug and replug,
# ser2net restarts, CPU while idle, streaming lenses moved, jogged and stopped). Builds what it
# needs in the linux preset's tree first.
# Usage: scripts/soak.sh [--short] [kelvaro-soak options]; --short takes a few minutes,
# the whole run over ten. Exit status 0 only when every figure met its target.
set -eu
cd "$(dirname "$0")/.."
scripts/setup.sh
if [ ! -f build/linux/build.ninja ]; then
  cmake --preset linux >/dev/null
fi
cmake --build build/linux --target Kelvaro32 kelvaro-soak
exec build/linux/kelvaro-soak --library "$PWD/build/linux/libKelvaro32.so" "$@"
