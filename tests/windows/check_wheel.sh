#!/bin/sh
# The wheel of this DLL as scripts/package.sh makes it: named py3-none-PLATFORM, with the
# package and the DLL inside, a DLL that the package's loader takes for a Python of BITS bits.
# Usage: check_wheel.sh SOURCE_DIR DLL PLATFORM BITS
set -eu
source_dir=$1 dll=$2 platform=$3 bits=$4
work=$(mktemp -d "${TMPDIR:-/tmp}/kelvaro-wheel-check.XXXXXX")
trap 'rm -rf "$work"' EXIT
wheel=$("$source_dir/scripts/wheel.sh" "$dll" "$platform" "$work")
case "$(basename "$wheel")" in
  kelvaro-*-py3-none-"$platform".whl) ;;
  *) echo "the wheel is named $(basename "$wheel")" >&2; exit 1 ;;
esac
/usr/bin/python3 - "$wheel" "$work/unpacked" "$bits" <<'PY'
import os, sys, zipfile
wheel, target, bits = sys.argv[1], sys.argv[2], int(sys.argv[3])
with zipfile.ZipFile(wheel) as archive:
    names = archive.namelist()
    archive.extractall(target)
def find(name):
    found = [n for n in names if n.endswith("/kelvaro/" + name) or n == "kelvaro/" + name]
    if len(found) != 1:
        sys.exit(f"{wheel}: {name} found {len(found)} times in {names}")
    return os.path.join(target, found[0])
find("__main__.py")
dll = find("Kelvaro32.dll")
sys.path.insert(0, os.path.dirname(os.path.dirname(find("__init__.py"))))
from kelvaro._library import _file_bits  # the loader's own check, without loading the DLL
if _file_bits(dll) != bits:
    sys.exit(f"{wheel}: its Kelvaro32.dll is {_file_bits(dll)}-bit, not {bits}-bit")
print(f"{os.path.basename(wheel)}: the package and a {bits}-bit Kelvaro32.dll")
PY
