#!/bin/sh
# Compares the reader's view of a dump written by dbghelp under Wine (its threads and
# modules) with an outside reader's (breakpad's minidump_dump). Exit 77 (skipped) when that
# tool is not there.
# usage: minidump_oracle.sh MINIDUMP_DUMP OUT_DIR RUN_TEST... (the Wine test program's command)
set -u
tool=$1 out=$2
shift 2
if [ -z "$tool" ] || [ ! -x "$tool" ]; then
  echo "minidump_oracle.sh: minidump_dump not found (set OSTREL_MINIDUMP_DUMP); skipped"
  exit 77
fi
rm -rf "$out" && mkdir -p "$out" || exit 1
OSTREL_MINIDUMP_OUT=$(winepath -w "$out" 2>/dev/null) "$@" --gtest_filter='WineMinidump.*' || exit 1
# It exits 1 for any optional stream the dump lacks (Wine writes no memory info list).
"$tool" "$out/wine_written.dmp" >"$out/outside.txt" 2>/dev/null
grep -q '^MDRawHeader' "$out/outside.txt" || { echo "minidump_dump could not read the dump"; exit 1; }
# The outside view in the reader's format: thread ids, then "module BASE SIZE NAME".
awk '
  /^MDRawThread$/ { inThread = 1 }
  inThread && $1 == "thread_id" { sub(/^0x/, "", $3); print "thread " $3; inThread = 0 }
  $1 == "base_of_image" { base = $3; sub(/^0x/, "", base) }
  $1 == "size_of_image" { size = $3; sub(/^0x/, "", size) }
  $1 == "(code_file)" { name = $0; sub(/^[^"]*"/, "", name); sub(/"$/, "", name); print "module " base " " size " " name }
' "$out/outside.txt" | tr -d '\r' >"$out/outside_view.txt"
tr -d '\r' <"$out/wine_written.txt" >"$out/reader_view.txt"
if ! [ -s "$out/outside_view.txt" ] || ! diff "$out/outside_view.txt" "$out/reader_view.txt"; then
  echo "the reader and minidump_dump disagree (above: outside < > reader)"
  exit 1
fi
echo "threads and modules agree: $(grep -c '^thread' "$out/reader_view.txt") threads, $(grep -c '^module' "$out/reader_view.txt") modules"
