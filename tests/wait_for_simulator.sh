# Sourced by the test scripts that start kelvaro-lens-sim in the background.
# wait_for_simulator READY_FILE PID LOG: waits up to 10 s for the simulator's ready file to
# hold its first line; if it does not, or the simulator ends first, shows its log and exits 1.
wait_for_simulator() {
  tries=0
  until [ -s "$1" ]; do
    tries=$((tries + 1))
    if [ "$tries" -gt 100 ] || ! kill -0 "$2" 2>/dev/null; then
      cat "$3" >&2
      echo "the simulator did not start" >&2
      exit 1
    fi
    sleep 0.1
  done
}
