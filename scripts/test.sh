#!/bin/sh
# Builds the library and runs every test suite: Linux, Linux under AddressSanitizer with
# UndefinedBehaviorSanitizer, Linux under ThreadSanitizer, the soak's short run, the fuzz
# targets for a bounded time, and the Windows DLL, 32-bit and 64-bit, under Wine. Each
# stage prints its time.
#
# When the archive could not provide 32-bit Wine, scripts/setup.sh left a note in
# build/skipped/: the 32-bit DLL and its test programs are still built and its exports and
# imports checked, the tests that run 32-bit programs under Wine (label "wine") are skipped,
# and the run ends with the note's line.
set -eu
cd "$(dirname "$0")/.."
started=$(date +%s)
stage_started=$started

stage() {
  now=$(date +%s)
  [ -z "${stage_name:-}" ] || echo "== $stage_name: $((now - stage_started)) s"
  stage_name=$1
  stage_started=$now
  [ -z "$stage_name" ] || echo "== $stage_name"
}

stage setup
scripts/setup.sh windows

# suite PRESET [CTEST OPTION...]: configures, builds and tests one preset.
suite() {
  preset=$1
  shift
  stage "$preset"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
  ctest --preset "$preset" "$@"
}

for preset in linux asan tsan fuzz; do
  suite "$preset"
  if [ "$preset" = linux ]; then
    stage "soak (short)"
    # Phase 7 (motion) is run by hand until the open findings of its full run are settled.
    scripts/soak.sh --short --phases 1,2,3,4,5,6
  fi
done
without_wine32=""
[ ! -f build/skipped/wine32 ] || without_wine32="-LE wine"
suite windows $without_wine32
suite windows64
stage ""
echo "== all suites passed in $(( $(date +%s) - started )) s"
for note in build/skipped/*; do
  [ -f "$note" ] && cat "$note"
done
exit 0
