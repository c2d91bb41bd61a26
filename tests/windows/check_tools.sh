#!/bin/sh
# kelvaroctl.exe and kelvaro-lens-sim.exe under Wine, held against the Linux kelvaroctl: the
# same output line for line (CR LF read as LF) but for the port line, the same messages and
# the same exit status. Run by "wine.sh script", which has a simulated lens on COM5 (its
# Linux device in KELVARO_LENS_DEVICE).
#   check_tools.sh com EXE_DIR          status and --json on COM5, a missing COM port, bad
#                                       command lines of both programs
#   check_tools.sh tcp EXE_DIR          the Windows simulator over TCP and its control
#                                       channel, and kelvaroctl.exe --simulate
#   check_tools.sh readme EXE_DIR README CC IMPORT_LIBRARY
#                                       README's "Windows: the first five minutes", each
#                                       command as shown (on a free port rather than 4001,
#                                       COM5 for COM3), each output as shown, and its C
#                                       example built with CC and run against the simulator
set -eu
mode=$1 exe_dir=$2
ctl=$KELVARO_NATIVE_BIN/kelvaroctl
sim=$KELVARO_NATIVE_BIN/kelvaro-lens-sim
work=$(mktemp -d "$KELVARO_SCRATCH/tools.XXXXXX")
server=""  # the Windows simulator's process, while it runs
cleanup() {
  if [ -n "$server" ]; then kill "$server" 2>/dev/null || true; wait "$server" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 1' INT TERM
fail() { echo "$*" >&2; exit 1; }

# win NAME [ARG...]: NAME.exe under Wine; its output in $work/win.out and .err, CR LF as LF.
win() {
  name=$1
  shift
  win_status=0
  "$KELVARO_WINE_SH" exec "$exe_dir/$name.exe" "$@" >"$work/win.out" 2>"$work/win.err" || win_status=$?
  sed -i 's/\r$//' "$work/win.out" "$work/win.err"
}
# lin PROGRAM [ARG...]: the Linux program; its output in $work/lin.out and .err.
lin() {
  lin_status=0
  "$@" >"$work/lin.out" 2>"$work/lin.err" || lin_status=$?
}
# alike WHAT: the last win and lin ran alike, less the port line (and the port's name in
# messages, given as $2 and $3).
alike() {
  [ "$win_status" = "$lin_status" ] || fail "$1: exit status $win_status on Windows, $lin_status on Linux"
  for side in win lin; do
    grep -v '^port ' "$work/$side.out" >"$work/$side.lines" || true
  done
  diff -u "$work/lin.lines" "$work/win.lines" >&2 || fail "$1: the output differs (- Linux, + Windows)"
  sed "s|${2:-^$}|PORT|" "$work/win.err" >"$work/win.said"
  sed "s|${3:-^$}|PORT|" "$work/lin.err" >"$work/lin.said"
  diff -u "$work/lin.said" "$work/win.said" >&2 || fail "$1: the messages differ (- Linux, + Windows)"
  echo "$1: alike, exit status $win_status"
}
# json_alike WHAT: both outputs parse as JSON, equal but for the port.
json_alike() {
  [ "$win_status" = "$lin_status" ] || fail "$1: exit status $win_status on Windows, $lin_status on Linux"
  python3 -c '
import json, sys
a, b = (json.load(open(path)) for path in sys.argv[1:3])
for d in (a, b):
    d.pop("port")
sys.exit(0 if a == b else "not equal:\n%s\n%s" % (a, b))' "$work/lin.out" "$work/win.out" || fail "$1: the JSON differs"
  echo "$1: JSON alike"
}
# start_server TEXT [ARG...]: kelvaro-lens-sim.exe ARGS in the background; waits for its
# first line, tcp://HOST:PORT, into $url. Stopped by kill, or by quit on its control channel.
start_server() {
  $KELVARO_WINE_AS_USER wine "$exe_dir/kelvaro-lens-sim.exe" "$@" >"$work/server.out" 2>&1 </dev/null &
  server=$!
  tries=0
  until [ "$(sed -n '/^ready/p' "$work/server.out" | tr -d '\r')" = ready ]; do
    tries=$((tries + 1))
    if [ "$tries" -gt 300 ] || ! kill -0 "$server" 2>/dev/null; then
      cat "$work/server.out" >&2
      fail "kelvaro-lens-sim.exe did not start"
    fi
    sleep 0.1
  done
  url=$(sed -n 1p "$work/server.out" | tr -d '\r')
}
# ask URL COMMAND: one line to the control channel at tcp://URL, its answer line.
ask() {
  python3 -c '
import socket, sys
host, port = sys.argv[1][len("tcp://"):].rsplit(":", 1)
with socket.create_connection((host, int(port)), timeout=10) as s:
    s.sendall(sys.argv[2].encode() + b"\r\n")
    answer = b""
    while not answer.endswith(b"\n"):
        chunk = s.recv(100)
        if not chunk:
            break
        answer += chunk
print(answer.decode().strip())' "$1" "$2"
}

case "$mode" in
com)
  win kelvaroctl --port COM5 status
  lin "$ctl" --port "$KELVARO_LENS_DEVICE" status
  alike "status on COM5"
  win kelvaroctl --port COM5 --json status
  lin "$ctl" --port "$KELVARO_LENS_DEVICE" --json status
  json_alike "--json status on COM5"
  win kelvaroctl --port COM5 set zoom 1000
  lin "$ctl" --port "$KELVARO_LENS_DEVICE" get zoom
  [ "$(cat "$work/lin.out")" = "zoom  1000" ] || fail "kelvaroctl.exe set zoom did not move the lens: $(cat "$work/lin.out")"
  win kelvaroctl --port COM9 status
  lin "$ctl" --port "$work/no-such-port" status
  alike "a COM port that does not exist" COM9 "$work/no-such-port"
  [ "$win_status" -eq 1 ] || fail "a missing COM port gave exit status $win_status"
  # Bad command lines, one line and status 2 each, the same on both.
  while read -r line; do
    # shellcheck disable=SC2086 # the words of the line
    win kelvaroctl $line
    # shellcheck disable=SC2086
    lin "$ctl" $line
    alike "kelvaroctl $line"
    [ "$win_status" -eq 2 ] && [ "$(wc -l <"$work/win.err")" -eq 1 ] || fail "kelvaroctl $line: not one line and status 2"
  done <<EOF
bogus
get
status
--port COM5 set zoom 5000
--port COM5 --framing fast status
--port COM5 switch 1
--port COM5 watch --rate 0
EOF
  while read -r line; do
    # shellcheck disable=SC2086
    win kelvaro-lens-sim --tcp 127.0.0.1:0 $line
    # shellcheck disable=SC2086
    lin "$sim" --tcp 127.0.0.1:0 $line
    alike "kelvaro-lens-sim $line"
    [ "$win_status" -eq 2 ] || fail "kelvaro-lens-sim $line: status $win_status"
  done <<EOF
--slow soon
--tcp nowhere
--bogus
EOF
  for option in --link --control-link; do
    win kelvaro-lens-sim "$option" "$work/lens"
    [ "$win_status" -eq 2 ] || fail "kelvaro-lens-sim.exe $option: status $win_status"
    [ "$(cat "$work/win.err")" = "kelvaro-lens-sim: $option needs Linux (a pseudo-terminal); on Windows use --tcp HOST:PORT" ] ||
      fail "kelvaro-lens-sim.exe $option said: $(cat "$work/win.err")"
  done
  win kelvaro-lens-sim
  [ "$win_status" -eq 2 ] && [ "$(wc -l <"$work/win.err")" -eq 1 ] || fail "kelvaro-lens-sim.exe without --tcp: $(cat "$work/win.err")"
  echo "bad command lines: one line and status 2"
  ;;

tcp)
  start_server --tcp 127.0.0.1:0 --control-tcp 127.0.0.1:0 --speed 0 --name "Windows Zoom 11-110"
  case "$url" in tcp://127.0.0.1:[1-9]*) ;; *) fail "kelvaro-lens-sim.exe's first line is \"$url\"" ;; esac
  control=$(sed -n 's/^control: //p' "$work/server.out" | tr -d '\r')
  win kelvaroctl --port "$url" status
  lin "$ctl" --port "$url" status
  alike "status from the Windows simulator"
  grep -qx "name          Windows Zoom 11-110" "$work/win.out" || fail "not the Windows simulator's lens: $(cat "$work/win.out")"
  win kelvaroctl --port "$url" --json status
  lin "$ctl" --port "$url" --json status
  json_alike "--json status from the Windows simulator"
  [ "$(ask "$control" "state focus 777")" = ok ] || fail "the control channel did not set the focus"
  win kelvaroctl --port "$url" get focus
  [ "$(cat "$work/win.out")" = "focus  777" ] || fail "get focus after the control channel set it: $(cat "$work/win.out")"
  [ "$(ask "$control" quit)" = "ok bye" ] || fail "the control channel did not quit"
  tries=0
  while kill -0 "$server" 2>/dev/null; do
    tries=$((tries + 1))
    [ "$tries" -le 300 ] || fail "kelvaro-lens-sim.exe did not end on quit"
    sleep 0.1
  done
  status=0
  wait "$server" || status=$?
  server=""
  [ "$status" -eq 0 ] || fail "kelvaro-lens-sim.exe ended with status $status on quit"
  win kelvaroctl --simulate status
  lin "$ctl" --simulate status
  alike "--simulate status"
  grep -q '^port          tcp://127.0.0.1:[1-9]' "$work/win.out" || fail "--simulate on Windows: $(head -n 1 "$work/win.out")"
  ;;

readme)
  readme=$3 cc=$4 import_library=$5
  # The indented lines of the section: "> COMMAND" and the output shown after it, up to the
  # next paragraph.
  awk '
    /^#+ Windows: the first five minutes$/ { section = 1; next }
    section && /^#/ { exit }
    section && /^    > / { n++; shown = 1; print substr($0, 7) > (dir "/command" n); next }
    section && shown && /^    / { print substr($0, 5) > (dir "/shown" n); next }
    section && /^[^ ]/ { shown = 0; if (in_c) c = 0 }
    section && /from C \(/ { c = 1 }
    section && c && /^    / { in_c = 1; print substr($0, 5) > (dir "/example.c") }
    section && c && /^$/ && in_c { print "" > (dir "/example.c") }' dir="$work" "$readme"
  [ -f "$work/command1" ] || fail "README has no \"Windows: the first five minutes\" with commands"
  port=$("$KELVARO_PORT_HELPER" ports 1)
  n=1 ran=0
  while [ -f "$work/command$n" ]; do
    command=$(sed "s/4001/$port/g; s/COM3/COM5/g" "$work/command$n")
    touch "$work/shown$n"
    sed "s/4001/$port/g; s/COM3/COM5/g" "$work/shown$n" >"$work/expected"
    n=$((n + 1))
    set -- $command
    case "$1" in
      kelvaro-lens-sim.exe)
        shift
        start_server "$@"
        sed 's/\r$//' "$work/server.out" >"$work/got"
        ;;
      kelvaroctl.exe)
        shift
        win kelvaroctl "$@"
        [ "$win_status" -eq 0 ] || fail "$command: exit status $win_status: $(cat "$work/win.err")"
        cp "$work/win.out" "$work/got"
        ;;
      *) continue ;;  # not one of the tools (Python)
    esac
    diff -u "$work/expected" "$work/got" >&2 || fail "$command: not what README shows (- README, + Windows)"
    echo "$command: as README shows"
    ran=$((ran + 1))
  done
  [ "$ran" -ge 3 ] || fail "README shows $ran commands of the tools, fewer than the simulator and two status"

  # The C example, against the simulator that is still running, as README says.
  [ -s "$work/example.c" ] || fail "README's Windows section has no C example"
  sed -i "s/4001/$port/g" "$work/example.c"
  said=$(sed -n 's|.*/\* \(zoom: .*\) \*/$|\1|p' "$work/example.c")
  [ -n "$said" ] || fail "README's C example shows no output"
  "$cc" -Wall -Wextra -I "$(dirname "$readme")/include" -o "$exe_dir/readme_example.exe" "$work/example.c" \
    "$import_library" || fail "README's C example does not build"
  win readme_example
  rm -f "$exe_dir/readme_example.exe"
  [ "$win_status" -eq 0 ] || fail "README's C example: exit status $win_status: $(cat "$work/win.err")"
  [ "$(cat "$work/win.out")" = "$said" ] || fail "README's C example printed \"$(cat "$work/win.out")\", not \"$said\""
  echo "README's C example: $said"
  ;;

*)
  fail "usage: $0 com|tcp EXE_DIR | readme EXE_DIR README CC IMPORT_LIBRARY"
  ;;
esac
