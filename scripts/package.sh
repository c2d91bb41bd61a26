#!/bin/sh
# Makes the release packages in build/packages/ and lists what is in them:
#   kelvaro32_VERSION_amd64.deb    the Linux library, headers, CMake and pkg-config files,
#                                  kelvaroctl, kelvaro-lens-sim, the Python package for the
#                                  system's Python 3 and the HTML reference
#   kelvaro-VERSION-py3-none-PLATFORM.whl  the Python package with the library inside, for
#                                  linux_x86_64, win32 and win_amd64
#   Kelvaro32-VERSION-windows.zip  the 32-bit (x86/) and 64-bit (x64/) DLLs with their MSVC
#                                  import libraries and kelvaroctl.exe and kelvaro-lens-sim.exe,
#                                  the .def, the headers, the Python package, the C# binding,
#                                  the HTML reference and README.md (the first five minutes)
# Builds the presets linux, windows and windows64 and the docs target. The MSVC import
# libraries are expected next to the DLLs (build/windows*/Kelvaro32.lib); when anything the
# zip needs is missing the .deb is still made, and the script names what is missing and
# exits 1.
# Usage: scripts/package.sh
set -eu
cd "$(dirname "$0")/.."
root=$(pwd)
out=$root/build/packages

scripts/setup.sh windows
rm -rf "$out"
mkdir -p "$out"

echo "== linux: library, tools, reference, .deb"
cmake --preset linux >/dev/null
cmake --build --preset linux
cmake --build --preset linux --target docs
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' build/linux/CMakeCache.txt)
(cd build/linux && cpack -G DEB -B "$out/cpack")
mv "$out"/cpack/*.deb "$out"/
rm -rf "$out/cpack"
scripts/wheel.sh build/linux/libKelvaro32.so linux_x86_64 "$out"

missing=""
need() { [ -e "$1" ] || missing="$missing
  $1${2:+ ($2)}"; }

for preset in windows windows64; do
  if grep -q "\"name\": *\"$preset\"" CMakePresets.json; then
    echo "== $preset: DLL"
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset"
  else
    missing="$missing
  the CMake preset $preset (CMakePresets.json)"
  fi
done

need build/windows/Kelvaro32.dll "preset windows"
need build/windows/Kelvaro32.lib "MSVC import library of the 32-bit DLL"
need build/windows64/Kelvaro32.dll "preset windows64"
need build/windows64/Kelvaro32.lib "MSVC import library of the 64-bit DLL"
for preset in windows windows64; do
  for tool in kelvaroctl kelvaro-lens-sim; do
    need "build/$preset/$tool.exe" "preset $preset"
  done
done
need build/linux/docs/html/index.html "target docs, needs doxygen"
# A DLL of the wrong width in a folder would only show on the user's machine.
dll_is() {
  [ ! -e "$1" ] || file -b "$1" | grep -q "$2" || missing="$missing
  $1 is not a $2 DLL: $(file -b "$1")"
}
dll_is build/windows/Kelvaro32.dll "Intel 80386"
dll_is build/windows64/Kelvaro32.dll "x86-64"
# The presets build with debug information; the zip's DLLs go without it.
for strip in i686-w64-mingw32-strip x86_64-w64-mingw32-strip; do
  command -v "$strip" >/dev/null || missing="$missing
  $strip (mingw-w64 binutils)"
done

name=Kelvaro32-$version-windows
list_packages() {
  echo "== $out"
  for package in "$out"/*.deb "$out"/*.whl "$out"/*.zip; do
    [ -e "$package" ] || continue
    echo "-- $(basename "$package")"
    case "$package" in
      *.deb) dpkg-deb -c "$package" ;;
      *.zip | *.whl) unzip -l "$package" ;;
    esac
  done
}

if [ -n "$missing" ]; then
  list_packages
  echo "not made: $name.zip; missing:$missing" >&2
  exit 1
fi

echo "== windows: zip"
stage=$out/stage/$name
mkdir -p "$stage/include" "$stage/x86" "$stage/x64" "$stage/python" "$stage/csharp" "$stage/docs"
cp README.md "$stage/"
cp include/Kelvaro32.h include/kelvaro.h "$stage/include/"
cp build/windows/Kelvaro32.lib src/Kelvaro32.def "$stage/x86/"
cp build/windows64/Kelvaro32.lib "$stage/x64/"
for file in Kelvaro32.dll kelvaroctl.exe kelvaro-lens-sim.exe; do
  i686-w64-mingw32-strip --strip-debug -o "$stage/x86/$file" "build/windows/$file"
  x86_64-w64-mingw32-strip --strip-debug -o "$stage/x64/$file" "build/windows64/$file"
done
tar -C python --exclude=__pycache__ --exclude='*.pyc' -cf - kelvaro pyproject.toml setup.py README.md |
  tar -C "$stage/python" -xf -
cp bindings/csharp/Kelvaro.cs "$stage/csharp/"
scripts/wheel.sh "$stage/x86/Kelvaro32.dll" win32 "$out"
scripts/wheel.sh "$stage/x64/Kelvaro32.dll" win_amd64 "$out"
cp -R build/linux/docs/html "$stage/docs/"
(cd "$out/stage" && zip -qrX "../$name.zip" "$name")
rm -rf "$out/stage"

list_packages
