#!/bin/sh
# Kelvaro32.lib, the import library for MSVC and other COFF linkers, as a caller compiled
# against the headers uses it. Such a caller is compiled here (clang in MSVC mode): for every
# function the headers declare, the symbol it looks for (__stdcall's _name@N on x86, the
# plain name on x64) is in the library, as code, importing the DLL's plain export name; the
# library imports nothing else but the CLens members. Then that caller, linked with the
# library by lld-link, runs under Wine: it starts only if the loader resolves every import.
# Usage: check_lib.sh READOBJ NM DLLTOOL CLANG LLD_LINK LIB x86|x64 WINE_SH HEADER...
# (the program is left beside the library, where it finds the DLL; WINE_SH needs the
# environment of the Wine session)
set -eu
readobj=$1
nm=$2
dlltool=$3
clang=$4
lld_link=$5
lib=$6
machine=$7
wine_sh=$8
shift 8
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

case "$machine" in
  x86) target=i686-pc-windows-msvc dlltool_machine=i386 decorated='_%s@[0-9][0-9]*' exit_process=ExitProcess@4 ;;
  x64) target=x86_64-pc-windows-msvc dlltool_machine=i386:x86-64 decorated='%s' exit_process=ExitProcess ;;
  *) echo "machine: x86 or x64, not $machine" >&2; exit 2 ;;
esac

sed -n 's/^KELVARO_API([a-z *]*) \([A-Za-z0-9_]*\)(.*/\1/p' "$@" | sort >"$work/declared"
count=$(wc -l <"$work/declared")
if [ "$count" -lt 30 ]; then
  echo "found too few declarations in $*" >&2
  exit 1
fi

# The caller takes every function's address (each through its import) and calls one.
{
  echo '#include "kelvaro.h"'
  echo '__declspec(dllimport) void __stdcall ExitProcess(unsigned code);'
  echo "static void (*volatile all[$count])(void);"
  echo 'void start(void) {'
  n=0
  while read -r name; do
    echo "  all[$n] = (void (*)(void))$name;"
    n=$((n + 1))
  done <"$work/declared"
  echo '  const char* text = kelvaro_result_text(KELVARO_INVALID_ARGUMENT);'
  echo '  ExitProcess(text[0] == '"'I'"' && text[1] == '"'n'"' ? 0 : 3);'
  echo '}'
} >"$work/caller.c"
"$clang" --target="$target" -O1 -Wall -Wextra -Werror -I"$(dirname "$1")" -c "$work/caller.c" -o "$work/caller.obj"
"$nm" -u "$work/caller.obj" | awk '{print $NF}' >"$work/wanted"

# One line per member: the __imp_ symbol, the type, and the name it imports, worked out from
# the public symbol as the loader does for its name type.
"$readobj" --coff-imports "$lib" | awk -v x86="$([ "$machine" = x86 ] && echo 1 || echo 0)" '
  /^Format: COFF-import-file/ { record = 1; imp = ""; next }
  record && /^Type: / { kind = $2 }
  record && /^Name type: / { nametype = $3 }
  record && /^Symbol: __imp_/ { imp = $2; next }
  record && /^Symbol: / && imp != "" {
    name = $2
    if (nametype == "noprefix" || nametype == "undecorate") {
      first = substr(name, 1, 1)
      if (first == "?" || first == "@" || (x86 && first == "_")) name = substr(name, 2)
    }
    if (nametype == "undecorate") sub(/@.*/, "", name)
    print imp, kind, name
    record = 0
  }' >"$work/imports"

status=0
while read -r name; do
  symbol=$(grep -x "__imp_$(printf "$decorated" "$name")" "$work/wanted" || true)
  if [ "$(echo "$symbol" | wc -w)" -ne 1 ]; then
    echo "$name: the caller refers to no single import symbol of it (${symbol:-none})" >&2
    status=1
    continue
  fi
  found=$(awk -v s="$symbol" '$1 == s {print $2, $3}' "$work/imports")
  if [ -z "$found" ]; then
    echo "$name: $symbol is not in the library" >&2
    status=1
  elif [ "$found" != "code $name" ]; then
    echo "$name: $symbol is $found (type and imported name), not code $name" >&2
    status=1
  fi
done <"$work/declared"
{
  cat "$work/declared"
  printf '%s\n' _ZN5CLensC1Ev _ZN5CLensC2Ev _ZN5CLensaSERKS_
} | sort >"$work/expected"
awk '{print $3}' "$work/imports" | sort >"$work/imported"
if ! diff -u "$work/expected" "$work/imported"; then
  echo "the library's imports differ from the interface (- declared, + imported)" >&2
  status=1
fi
[ "$status" -eq 0 ] || exit "$status"

# Linked as an MSVC program is, with no C runtime: KERNEL32's one function from a library made
# the same way.
printf 'LIBRARY KERNEL32.dll\nEXPORTS\n  %s\n' "$exit_process" >"$work/kernel32.def"
"$dlltool" -m "$dlltool_machine" -d "$work/kernel32.def" -k -l "$work/kernel32.lib"
exe="$(dirname "$lib")/kelvaro_msvc_caller.exe"
"$lld_link" -nologo -entry:start -subsystem:console -nodefaultlib -out:"$exe" "$work/caller.obj" "$lib" \
  "$work/kernel32.lib"
if ! "$wine_sh" run "$exe" >"$work/run" 2>&1; then
  echo "the program linked with $lib did not run:" >&2
  cat "$work/run" >&2
  exit 1
fi
echo "$machine: $count functions under the symbols a caller of the headers refers to, importing their plain names; a program linked with it runs"
