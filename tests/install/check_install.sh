#!/bin/sh
# Installs the build into a scratch prefix, builds README's C example against it out of tree
# twice (CMake's find_package with README's lines, then cc with pkg-config) and runs each
# against the installed simulated lens: "zoom 2048: OK" and exit status 0, and the lens's zoom
# really sent to 1000.
# Usage: check_install.sh CMAKE BUILD_DIR README CC GENERATOR MAKE_PROGRAM LIBDIR BINDIR
set -eu
cmake=$1 build=$2 readme=$3 cc=$4 generator=$5 make_program=$6 libdir=$7 bindir=$8

work=$(mktemp -d "${TMPDIR:-/tmp}/kelvaro-install.XXXXXX")
prefix=$work/prefix
sim_pid=""
cleanup() {
  if [ -n "$sim_pid" ]; then kill "$sim_pid" 2>/dev/null || true; wait "$sim_pid" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 1' INT TERM
fail() { echo "$*" >&2; exit 1; }
. "$(dirname "$0")/../wait_for_simulator.sh"

"$cmake" --install "$build" --prefix "$prefix" >"$work/install.log" ||
  { cat "$work/install.log" >&2; fail "cmake --install failed"; }

# The fenced block of language $2 that follows README's heading $1, as a reader copies it.
readme_block() {
  awk -v heading="$1" -v fence="\`\`\`$2" '
    $0 == heading { section = 1; next }
    section && !block && /^#/ { exit }
    section && !block && $0 == fence { block = 1; next }
    block && $0 == "```" { exit }
    block { print }' "$readme"
}

lens=$work/lens
readme_block "### C" c | sed "s|/dev/ttyUSB0|$lens|" >"$work/main.c"
grep -q "\"$lens\"" "$work/main.c" || fail "README's \"### C\" block has no \"/dev/ttyUSB0\" to open"
cmake_lines=$(readme_block "### C++ (CMake)" cmake)
echo "$cmake_lines" | grep -q "find_package(Kelvaro32 CONFIG REQUIRED)" ||
  fail "README's \"### C++ (CMake)\" block has no find_package(Kelvaro32 CONFIG REQUIRED)"

# 1. CMake: the README's lines under a minimal project, finding the package in the prefix only.
mkdir "$work/cmake-consumer"
cp "$work/main.c" "$work/cmake-consumer/"
{ echo "cmake_minimum_required(VERSION 3.20)"; echo "project(lens_host C)"; echo "$cmake_lines"; } \
  >"$work/cmake-consumer/CMakeLists.txt"
if ! { "$cmake" -S "$work/cmake-consumer" -B "$work/cmake-consumer/build" -G "$generator" \
         -DCMAKE_MAKE_PROGRAM="$make_program" -DCMAKE_C_COMPILER="$cc" -DCMAKE_PREFIX_PATH="$prefix" \
         -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF &&
       "$cmake" --build "$work/cmake-consumer/build"; } >"$work/cmake-consumer.log" 2>&1; then
  cat "$work/cmake-consumer.log" >&2
  fail "the CMake consumer did not build"
fi
found=$(sed -n 's/^Kelvaro32_DIR:PATH=//p' "$work/cmake-consumer/build/CMakeCache.txt")
[ "$found" = "$prefix/$libdir/cmake/Kelvaro32" ] || fail "find_package took Kelvaro32 from $found, not the prefix"

# 2. pkg-config, as README's one line.
flags=$(PKG_CONFIG_PATH="$prefix/$libdir/pkgconfig" pkg-config --cflags --libs kelvaro32) ||
  fail "pkg-config knows no kelvaro32 in $prefix/$libdir/pkgconfig"
# shellcheck disable=SC2086 # the flags are words
"$cc" "$work/main.c" $flags -o "$work/lens_host_pc" || fail "cc with pkg-config flags ($flags) failed"

# The installed simulator, motors at once so the move has landed when the host returns.
"$prefix/$bindir/kelvaro-lens-sim" --link "$lens" --control-link "$work/control" \
  --ready-file "$work/ready" --speed 0 >"$work/sim.log" 2>&1 &
sim_pid=$!
wait_for_simulator "$work/ready" "$sim_pid" "$work/sim.log"
exec 3<>"$work/control"
control() {
  printf '%s\n' "$1" >&3
  timeout 5 head -n 1 <&3 || fail "no answer from the simulator to \"$1\""
}

# How each host finds the library: the CMake one by the build's rpath to the imported
# target, the pkg-config one by LD_LIBRARY_PATH.
run_host() {
  name=$1
  shift
  [ "$(control "state zoom 2048")" = ok ] || fail "the simulator refused to set the zoom"
  status=0
  output=$(env "$@" 2>&1) || status=$?
  [ "$status" -eq 0 ] || fail "$name: exit status $status: $output"
  case "$output" in
    "zoom 2048: OK"*) ;;
    *) fail "$name printed \"$output\", not \"zoom 2048: OK\"" ;;
  esac
  case "$(control state)" in
    *" zoom 1000 "*) ;;
    *) fail "$name: the lens's zoom did not go to 1000: $(control state)" ;;
  esac
  echo "$name: $output"
}
run_host "find_package consumer" -u LD_LIBRARY_PATH "$work/cmake-consumer/build/lens_host"
run_host "pkg-config consumer" LD_LIBRARY_PATH="$prefix/$libdir" "$work/lens_host_pc"
