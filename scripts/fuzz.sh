#!/bin/sh
# Runs every fuzz target for long and prints how many inputs each tried.
# Usage: scripts/fuzz.sh [SECONDS_PER_TARGET]   (default 600)
set -eu
cd "$(dirname "$0")/.."
seconds=${1:-600}
scripts/setup.sh
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz >/dev/null
total=0
for target in calls telnet port_name; do
  corpus=build/fuzz/fuzz/corpus/$target
  mkdir -p "$corpus"
  log=build/fuzz/fuzz/$target.log
  status=0
  build/fuzz/fuzz/${target}_fuzz -max_total_time="$seconds" -timeout=10 -print_final_stats=1 -artifact_prefix=build/fuzz/fuzz/ \
    "$corpus" "fuzz/corpus/$target" >"$log" 2>&1 || status=$?
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
  echo "$target: ${runs:-0} inputs in ${seconds} s, exit status $status"
  [ "$status" -eq 0 ] || { tail -n 30 "$log"; exit "$status"; }
  total=$((total + ${runs:-0}))
done
echo "all targets: $total inputs"
