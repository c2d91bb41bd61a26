#!/bin/sh
# The Python package as users get it, against the simulated lens on a TCP port, with no
# KELVARO_LIBRARY set:
#   1. the Linux wheel (scripts/wheel.sh) installed into a fresh virtual environment with
#      pip --no-index;
#   2. the .deb (CPack) unpacked into a scratch root, its package run by the system's Python.
# Each runs `python -m kelvaro URL`, which must show what `kelvaroctl --port URL status`
# shows, drives the lens through Lens, and gives one line and status 1 for a port that
# cannot be opened; the wheel also runs README's Windows example of the flat functions.
# Usage: check_packages.sh SOURCE_DIR BUILD_DIR KELVAROCTL LENS_SIM CPACK
set -eu
source_dir=$1 build=$2 ctl=$3 sim=$4 cpack=$5
python=/usr/bin/python3
unset KELVARO_LIBRARY

work=$(mktemp -d "${TMPDIR:-/tmp}/kelvaro-packages.XXXXXX")
sim_pid=""
cleanup() {
  if [ -n "$sim_pid" ]; then kill "$sim_pid" 2>/dev/null || true; wait "$sim_pid" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 1' INT TERM
fail() { echo "$*" >&2; exit 1; }
. "$(dirname "$0")/../wait_for_simulator.sh"

"$sim" --tcp 127.0.0.1:0 --ready-file "$work/ready" --speed 0 \
  --name "Packaged Zoom 7-70" >"$work/sim.log" 2>&1 &
sim_pid=$!
wait_for_simulator "$work/ready" "$sim_pid" "$work/sim.log"
url=$(sed -n 1p "$work/ready")
"$ctl" --port "$url" status >"$work/expected" || fail "kelvaroctl status failed on $url"
# kelvaroctl adds each switch's value after its label.
sed 's/ (value [0-9]*)$//' "$work/expected" >"$work/expected.lines"

# check NAME PYTHON PLACE [ENV...]: the package that PYTHON imports, from under PLACE, as a
# user runs it.
check() {
  name=$1 py=$2 place=$3
  shift 3
  status=0
  env "$@" "$py" -m kelvaro "$url" >"$work/out" 2>"$work/err" || status=$?
  [ "$status" -eq 0 ] || fail "$name: python -m kelvaro exit status $status: $(cat "$work/err")"
  diff -u "$work/expected.lines" "$work/out" >&2 || fail "$name: python -m kelvaro does not show kelvaroctl's status"
  moved=$(env "$@" "$py" -c '
import sys, kelvaro
with kelvaro.Lens(sys.argv[1]) as lens:
    lens.zoom = 321
    seen = lens.zoom
    lens.zoom = 2048  # as it was, for the next check
    print(seen, kelvaro.__file__)' "$url") || fail "$name: Lens failed"
  case "$moved" in
    "321 $place"*) ;;
    *) fail "$name: moved the zoom to and imported from \"$moved\", not \"321 $place...\"" ;;
  esac
  status=0
  env "$@" "$py" -m kelvaro "$work/no-such-port" >"$work/out" 2>"$work/err" || status=$?
  [ "$status" -eq 1 ] || fail "$name: a missing port gave exit status $status"
  [ "$(wc -l <"$work/err")" -eq 1 ] || fail "$name: a missing port gave more than one line: $(cat "$work/err")"
  grep -qx "python -m kelvaro: cannot open $work/no-such-port: Unable To Open Port (code 7)" "$work/err" ||
    fail "$name: a missing port said: $(cat "$work/err")"
  echo "$name: python -m kelvaro and Lens on $url"
}

# 1. The wheel in a fresh virtual environment.
wheel=$("$source_dir/scripts/wheel.sh" "$build/libKelvaro32.so" linux_x86_64 "$work/wheels")
"$python" -m zipfile -l "$wheel" | grep -q "kelvaro/libKelvaro32.so" || fail "$wheel holds no libKelvaro32.so"
"$python" -m venv "$work/venv" || fail "python3 -m venv failed"
"$work/venv/bin/pip" install -q --no-index "$wheel" >"$work/pip.log" 2>&1 || { cat "$work/pip.log" >&2; fail "pip install failed"; }
# Run from elsewhere, so that nothing but the installed package can be imported.
cd "$work"
check "wheel in a venv" "$work/venv/bin/python" "$work/venv/lib/"
# README's Windows section's flat functions from Python, which hold for the wheel anywhere.
awk '/^## Windows: the first five minutes$/ { section = 1; next }
  section && /^#/ { exit }
  section && /^[^ ]/ && code { exit }
  section && /from Python \(/ { python = 1 }
  section && python && /^    [^>]/ { code = 1; print substr($0, 5) }
  section && code && /^$/ { print "" }' "$source_dir/README.md" >"$work/flat.py"
grep -q 'tcp://127.0.0.1:4001' "$work/flat.py" || fail "README's Windows section has no Python example on tcp://127.0.0.1:4001"
port=${url##*:}
sed -i "s/4001/$port/" "$work/flat.py"
said=$("$work/venv/bin/python" "$work/flat.py") || fail "README's Python example failed"
[ "$said" = "zoom 2048" ] || fail "README's Python example printed \"$said\", not \"zoom 2048\""
echo "README's Python example with the wheel: $said"

# 2. The .deb, unpacked into a scratch root.
"$cpack" -G DEB -B "$work/cpack" --config "$build/CPackConfig.cmake" >"$work/cpack.log" 2>&1 ||
  { cat "$work/cpack.log" >&2; fail "cpack failed"; }
deb=$(ls "$work"/cpack/kelvaro32_*.deb)
dpkg-deb -x "$deb" "$work/root"
packaged=$work/root/usr/lib/python3/dist-packages
check ".deb unpacked" "$python" "$packaged/kelvaro/" PYTHONPATH="$packaged"
