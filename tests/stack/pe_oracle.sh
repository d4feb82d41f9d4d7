#!/bin/sh
# Writes objdump's view of each DLL that exists (first line: the DLL's path) into DIR.
# usage: pe_oracle.sh OBJDUMP DIR WINEPREFIX DLL...  (an empty WINEPREFIX: the environment's)
objdump=$1
dir=$2
prefix=${3:-${WINEPREFIX:-$HOME/.wine}}
shift 3
rm -rf "$dir"
mkdir -p "$dir"
[ -n "$objdump" ] && [ -x "$objdump" ] || exit 0
for dll in "$@" "$prefix/drive_c/windows/system32/kernel32.dll"; do
  [ -f "$dll" ] || continue
  out="$dir/$(basename "$dll").objdump"
  { echo "$dll"; "$objdump" -p "$dll"; } >"$out" 2>/dev/null || rm -f "$out"
done
exit 0
