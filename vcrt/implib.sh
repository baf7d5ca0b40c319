#!/bin/sh
# Makes an import library in Microsoft's format for one of Wine's PE DLLs from
# its export table:
#   implib.sh DLL OUT.lib              every export
#   implib.sh DLL OUT.lib REGEX        the exports whose names match REGEX
#   implib.sh DLL OUT.lib --oldnames   the POSIX names (strdup) as aliases of
#                                      the exported ones (_strdup)
# Exports are taken as __cdecl functions (a leading underscore on i386); the
# runtime's one __stdcall export, _CxxThrowException, carries its argument
# size. C++ names are taken as they are.
set -eu
dll=$1
out=$2
filter=${3:-}
llvm=${ZN_LLVM_VERSION:-14}
def=$out.def
names=$out.names
"llvm-readobj-$llvm" --coff-exports "$dll" | sed -n 's/^ *Name: //p' >"$names"
{
  echo "LIBRARY $(basename "$dll")"
  echo "EXPORTS"
  case "$filter" in
    "") sed 's/^_CxxThrowException$/_CxxThrowException@8/' "$names" ;;
    --oldnames)
      sed -n 's/^_\([a-z][a-z0-9_]*\)$/\1/p' "$names" | while read -r name; do
        grep -qx "$name" "$names" || echo "$name == _$name"
      done ;;
    *) grep -E "$filter" "$names" ;;
  esac
} >"$def"
"llvm-dlltool-$llvm" -m i386 -k -d "$def" -l "$out"
