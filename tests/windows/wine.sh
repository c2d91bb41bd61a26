#!/bin/sh
# The Windows suite's Wine session: a prefix kept in the build tree, one wineserver for the
# whole run, and two fresh simulated lenses for every test program.
#   wine.sh setup             creates the prefix (once) and starts the wineserver
#   wine.sh run EXE [ARG...]  runs EXE under Wine with a lens on COM5 (its control on COM6),
#                             also reached as COM12 and through a real ser2net on loopback,
#                             and a second one, of other optics, on COM7 (control on COM8)
#   wine.sh script SCRIPT [ARG...]  the same lenses, but runs the shell script SCRIPT, which
#                             runs Windows programs with "$KELVARO_WINE_SH" exec
#   wine.sh exec EXE [ARG...] runs EXE under Wine in the running session, no lenses of its own;
#                             its output and errors come out apart, and its exit status
#   wine.sh cleanup           stops the wineserver and anything a run left running
# Environment: KELVARO_WINE_DIR (prefix, logs, scratch files), KELVARO_NATIVE_BIN (the
# simulator and the port helper, built for Linux) and KELVARO_WINE_ARCH (win32, the default,
# or win64 for the 64-bit DLL; a prefix is made for one and kept).
set -eu

: "${KELVARO_WINE_DIR:?}" "${KELVARO_NATIVE_BIN:?}"
export WINEPREFIX="$KELVARO_WINE_DIR/prefix"
export WINEARCH="${KELVARO_WINE_ARCH:-win32}"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
unset DISPLAY WAYLAND_DISPLAY
scratch="$KELVARO_WINE_DIR/scratch"
server_log="$KELVARO_WINE_DIR/wineserver.log"
lens_log="$KELVARO_WINE_DIR/lens-sim.log"
second_log="$KELVARO_WINE_DIR/lens-sim-2.log"
ser2net_log="$KELVARO_WINE_DIR/ser2net.log"
lens_pid="$KELVARO_WINE_DIR/lens-sim.pid"  # the simulators' and ser2net's process ids
devices="$WINEPREFIX/dosdevices"

# As root, Wine runs without CAP_SYS_ADMIN. That capability overrides TIOCEXCL, and it is
# the wineserver that opens serial devices: with it, a port that another program holds
# exclusively would open all the same.
as_user=""
if [ "$(id -u)" -eq 0 ] && setpriv --bounding-set -sys_admin --inh-caps -sys_admin true 2>/dev/null; then
  as_user="setpriv --bounding-set -sys_admin --inh-caps -sys_admin"
fi

# wine_program OUT ERR EXE [ARG...]: EXE under Wine, its output into file OUT and its errors
# into ERR (into OUT when ERR is empty), through files: Wine processes that it may start
# (services, the desktop's explorer.exe) outlive it, would hold a pipe open, and CTest would
# wait. Returns its exit status.
wine_program() {
  out=$1 err=$2
  shift 2
  for attempt in 1 2; do
    status=0
    if [ -n "$err" ]; then
      $as_user wine "$@" >"$out" 2>"$err" </dev/null || status=$?
    else
      $as_user wine "$@" >"$out" 2>&1 </dev/null || status=$?
    fi
    # Now and then Wine fails to start a program at all (seen in a fresh 64-bit prefix): it
    # never ran, so it is started once more.
    [ "$status" -ne 0 ] && [ "$attempt" -eq 1 ] &&
      cat "$out" ${err:+"$err"} | grep -q "^Application could not be started" || return "$status"
  done
}

# Waits up to $2 tenths of a second for file $1.
wait_for() {
  n=0
  while [ ! -e "$1" ]; do
    n=$((n + 1))
    [ "$n" -le "$2" ] || return 1
    sleep 0.1
  done
}

# Whether something listens on loopback TCP port $1, from the kernel's table: a probe
# connection would keep ser2net's port busy for a moment.
listening() {
  grep -q "$(printf ' 0100007F:%04X 00000000:0000 0A ' "$1")" /proc/net/tcp
}

case "${1:-}" in
setup)
  mkdir -p "$scratch"
  # A server left running by an interrupted run would keep the new one out.
  wineserver -k 2>/dev/null || true
  wineserver -w
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    rm -rf "$WINEPREFIX"
    if ! $as_user wineboot -i >"$KELVARO_WINE_DIR/wineboot.log" 2>&1; then
      cat "$KELVARO_WINE_DIR/wineboot.log" >&2
      exit 1
    fi
    wineserver -w
  fi
  # One server for the run, started here rather than by the first test: with -f it stays in
  # this session instead of leading one of its own, so a closed lens terminal never becomes
  # its controlling terminal (whose hang-up would make it dump its state); its output goes
  # to a log, not into a test's.
  $as_user wineserver -f -p >>"$server_log" 2>&1 </dev/null &
  server=$!
  # It serves once its socket is in its working directory (a temporary one).
  if ! wait_for "/proc/$server/cwd/socket" 100; then
    echo "the wineserver did not start:" >&2
    tail -n 20 "$server_log" >&2
    exit 1
  fi
  # Wine's services start with the first program; started here, they log to the server's log.
  $as_user wine wineboot >>"$server_log" 2>&1 </dev/null
  echo "prefix $WINEPREFIX, wineserver $server"
  ;;

run | script)
  mode=$1
  shift
  exe=$1
  shift
  rm -f "$devices/com5" "$devices/com6" "$devices/com7" "$devices/com8" "$devices/com12" \
    "$scratch/lens.ready" "$scratch/lens-2.ready"
  # Both start at once and the wait below covers both, so the second costs no time.
  "$KELVARO_NATIVE_BIN/kelvaro-lens-sim" --speed 0 --link "$devices/com5" --control-link "$devices/com6" \
    --ready-file "$scratch/lens.ready" >"$lens_log" 2>&1 </dev/null &
  sim=$!
  "$KELVARO_NATIVE_BIN/kelvaro-lens-sim" --speed 0 --link "$devices/com7" --control-link "$devices/com8" \
    --wide 12.5 --tele 75 --mod 1.2 --aperture 1.4 \
    --ready-file "$scratch/lens-2.ready" >"$second_log" 2>&1 </dev/null &
  second=$!
  printf '%s\n' "$sim" "$second" >"$lens_pid"
  ser2net=""
  # Under set -e a failing kill or wait (a simulator that already died) would end the trap
  # early and replace the test's exit status with the simulator's.
  stop_lens() {
    kill "$sim" "$second" $ser2net 2>/dev/null || true
    for pid in "$sim" "$second" $ser2net; do
      wait "$pid" 2>/dev/null || true
    done
    rm -f "$lens_pid"
  }
  trap stop_lens EXIT
  trap 'exit 143' INT TERM
  for ready in "$scratch/lens.ready:$lens_log" "$scratch/lens-2.ready:$second_log"; do
    if ! wait_for "${ready%%:*}" 50; then
      echo "a simulated lens did not start:" >&2
      cat "${ready#*:}" >&2
      exit 1
    fi
  done
  KELVARO_LENS_DEVICE=$(readlink "$devices/com5")
  # The first lens once more, by a name from COM10 on, which Windows opens only as \\.\COM12.
  ln -s "$KELVARO_LENS_DEVICE" "$devices/com12"

  # ser2net in front of the first lens, raw and with COM port control. It opens the terminal
  # only while a client is connected, so the tests that use COM5 do not see it.
  KELVARO_PORT_HELPER="$KELVARO_NATIVE_BIN/kelvaro-port-helper"
  ports=$("$KELVARO_PORT_HELPER" ports 3)
  KELVARO_SER2NET_TCP_PORT=$(echo "$ports" | sed -n 1p)
  KELVARO_SER2NET_RFC2217_PORT=$(echo "$ports" | sed -n 2p)
  KELVARO_CLOSED_PORT=$(echo "$ports" | sed -n 3p)  # nothing listens there
  connector="connector: serialdev,$KELVARO_LENS_DEVICE,38400n81,local"
  printf '%s\n' \
    "connection: &raw" "    accepter: tcp,127.0.0.1,$KELVARO_SER2NET_TCP_PORT" "    $connector" \
    "connection: &telnet" "    accepter: telnet(rfc2217),tcp,127.0.0.1,$KELVARO_SER2NET_RFC2217_PORT" \
    "    $connector" >"$scratch/ser2net.yaml"
  ser2net -n -d -c "$scratch/ser2net.yaml" -P "$scratch/ser2net.pid" >"$ser2net_log" 2>&1 </dev/null &
  ser2net=$!
  echo "$ser2net" >>"$lens_pid"
  n=0
  until listening "$KELVARO_SER2NET_TCP_PORT" && listening "$KELVARO_SER2NET_RFC2217_PORT"; do
    n=$((n + 1))
    if [ "$n" -gt 300 ]; then
      echo "ser2net did not start:" >&2
      cat "$ser2net_log" >&2
      exit 1
    fi
    sleep 0.01
  done

  # What the tests need to reach the Linux side of the ports, and the servers.
  KELVARO_SECOND_LENS_DEVICE=$(readlink "$devices/com7")
  KELVARO_SCRATCH="$scratch"
  export KELVARO_LENS_DEVICE KELVARO_SECOND_LENS_DEVICE KELVARO_PORT_HELPER KELVARO_SCRATCH \
    KELVARO_SER2NET_TCP_PORT KELVARO_SER2NET_RFC2217_PORT KELVARO_CLOSED_PORT
  if [ "$mode" = script ]; then
    KELVARO_WINE_SH=$0
    KELVARO_WINE_AS_USER=$as_user  # for a script's Windows programs that it stops itself
    export KELVARO_WINE_SH KELVARO_WINE_AS_USER
    status=0
    sh "$exe" "$@" || status=$?
    [ "$status" -eq 0 ] || { echo "--- exit status $status; the simulated lens on COM5 said:"; tail -n 20 "$lens_log"; } >&2
    exit "$status"
  fi
  output="$KELVARO_WINE_DIR/output.txt"
  trap 'cat "$output"; stop_lens' EXIT
  status=0
  wine_program "$output" "" "$exe" "$@" || status=$?
  if [ "$status" -ne 0 ]; then
    {
      echo "--- exit status $status; the simulated lens on COM5 said:"
      tail -n 20 "$lens_log"
      echo "--- the one on COM7 said:"
      tail -n 20 "$second_log"
      echo "--- ser2net said:"
      tail -n 20 "$ser2net_log"
    } >>"$output"
  fi
  exit "$status"
  ;;

exec)
  shift
  out=$(mktemp "$scratch/exec-out.XXXXXX")
  err=$(mktemp "$scratch/exec-err.XXXXXX")
  status=0
  wine_program "$out" "$err" "$@" || status=$?
  cat "$out"
  cat "$err" >&2
  rm -f "$out" "$err"
  exit "$status"
  ;;

cleanup)
  wineserver -k 2>/dev/null || true
  wineserver -w 2>/dev/null || true
  # Simulators and ser2net whose test was killed before it could stop them.
  if [ -f "$lens_pid" ]; then
    for pid in $(cat "$lens_pid"); do
      case "$(cat "/proc/$pid/comm" 2>/dev/null)" in
        kelvaro-lens-si* | ser2net) kill "$pid" ;;
      esac
    done
    rm -f "$lens_pid"
  fi
  ;;

*)
  echo "usage: $0 setup | run EXE [ARG...] | script SCRIPT [ARG...] | exec EXE [ARG...] | cleanup" >&2
  exit 2
  ;;
esac
