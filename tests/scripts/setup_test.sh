#!/bin/sh
# scripts/setup.sh on a fresh machine whose archive misbehaves, with apt-get, dpkg, dpkg-query
# and id stubbed: one index failing to update, 32-bit Wine that cannot be installed, another
# package that cannot be installed, and a later run once Wine can be installed.
# Usage: setup_test.sh SETUP_SH
set -u
setup=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
stubs=$work/stubs
mkdir -p "$stubs"
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

# The machine's state: $work/installed (one package a line), $work/arch, and $work/calls,
# every apt-get call. STUB_BROKEN_INDEX and STUB_UNINSTALLABLE say how the archive misbehaves.
cat >"$stubs/apt-get" <<'STUB'
#!/bin/sh
echo "apt-get $*" >>"$STUB_WORK/calls"
simulate=0; packages=""; verb=""
for arg in "$@"; do
  case "$arg" in
  -s) simulate=1 ;;
  -*) ;;
  *) if [ -z "$verb" ]; then verb=$arg; else packages="$packages $arg"; fi ;;
  esac
done
if [ "$verb" = update ]; then
  [ -n "${STUB_BROKEN_INDEX:-}" ] || exit 0
  echo "Err:5 $STUB_BROKEN_INDEX"
  echo "  File has unexpected size (75200 != 75196). Mirror sync in progress? [IP: 127.0.0.1 80]"
  echo "E: Failed to fetch $STUB_BROKEN_INDEX  File has unexpected size (75200 != 75196). Mirror sync in progress?"
  echo "E: Some index files failed to download. They have been ignored, or old ones used instead."
  exit 100
fi
for package in $packages; do
  for bad in ${STUB_UNINSTALLABLE:-}; do
    if [ "$package" = "$bad" ]; then
      echo "The following packages have unmet dependencies:"
      echo " $package : Depends: libbroken (= 1.0) but 1.1 is to be installed"
      echo "E: Unable to correct problems, you have held broken packages."
      exit 100
    fi
  done
done
[ "$simulate" = 1 ] || for package in $packages; do echo "$package" >>"$STUB_WORK/installed"; done
exit 0
STUB
cat >"$stubs/dpkg-query" <<'STUB'
#!/bin/sh
for package; do :; done
grep -qx -- "$package" "$STUB_WORK/installed" || exit 1
printf 'install ok installed'
STUB
cat >"$stubs/dpkg" <<'STUB'
#!/bin/sh
case "$1" in
--print-foreign-architectures) cat "$STUB_WORK/arch" ;;
--add-architecture) echo "$2" >>"$STUB_WORK/arch" ;;
esac
STUB
printf '#!/bin/sh\necho 0\n' >"$stubs/id"
chmod +x "$stubs"/*

# A fresh machine; runs the set-up, its output in $work/out, its status in $status.
fresh() { : >"$work/installed"; : >"$work/arch"; rm -rf "$work/skipped"; }
run() {
  : >"$work/calls"
  env PATH="$stubs:$PATH" STUB_WORK="$work" KELVARO_SKIP_DIR="$work/skipped" "$@" \
      sh "$setup" windows >"$work/out" 2>&1
  status=$?
}
has_installed() { grep -qx -- "$1" "$work/installed"; }
index=http://deb.debian.org/debian-security/dists/bookworm-security/main/binary-i386/Packages.xz

fresh
run env STUB_BROKEN_INDEX=$index
[ "$status" -eq 0 ] || fail "a failing index stopped the set-up ($status): $(cat "$work/out")"
grep -q "$index" "$work/out" || fail "the failing index is not named: $(cat "$work/out")"
has_installed ser2net && has_installed wine64 && has_installed wine32:i386 ||
  fail "with one index failing, not everything was installed"
[ ! -e "$work/skipped/wine32" ] || fail "a note was left although 32-bit Wine was installed"

fresh
run env STUB_BROKEN_INDEX=$index STUB_UNINSTALLABLE=wine32:i386
[ "$status" -eq 0 ] || fail "uninstallable 32-bit Wine stopped the set-up ($status): $(cat "$work/out")"
grep -qx i386 "$work/arch" || fail "the i386 architecture was not added"
grep -q '^apt-get update' "$work/calls" || fail "no update was tried"
has_installed ser2net && has_installed wine64 && has_installed g++-mingw-w64-i686 ||
  fail "the other packages were not installed beside uninstallable 32-bit Wine"
expected="skipped: 32-bit Wine suite (wine32:i386 cannot be installed: wine32:i386 : Depends: libbroken (= 1.0) but 1.1 is to be installed)"
[ "$(cat "$work/skipped/wine32" 2>/dev/null)" = "$expected" ] ||
  fail "the note is not apt's reason: '$(cat "$work/skipped/wine32" 2>/dev/null)'"

# Later, the archive is whole again: the set-up installs 32-bit Wine and drops the note.
run env
[ "$status" -eq 0 ] && has_installed wine32:i386 || fail "32-bit Wine was not installed once it could be"
[ ! -e "$work/skipped/wine32" ] || fail "the note outlived the package's installation"
# Nothing missing: no apt-get at all.
run env
[ "$status" -eq 0 ] && [ ! -s "$work/calls" ] || fail "a set-up with nothing missing ran: $(cat "$work/calls")"

fresh
run env STUB_UNINSTALLABLE=ser2net
[ "$status" -ne 0 ] || fail "an uninstallable package the project needs did not stop the set-up"
grep -q "cannot install: ser2net (" "$work/out" || fail "the package is not named: $(cat "$work/out")"
grep -q "cannot install:.*cmake" "$work/out" && fail "installable packages were named too"
[ ! -e "$work/skipped/wine32" ] || fail "another package's failure was taken for a Wine skip"

[ "$failures" -eq 0 ] && echo "set-up: all cases pass"
[ "$failures" -eq 0 ]
