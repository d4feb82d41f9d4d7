#!/bin/sh
# The report of one dump is the same, byte for byte, from the Windows build under Wine and
# from the native build: a crash's dump is written under Wine, then reported by both.
# Exit 77 (skipped) when the native build is not there.
# usage: dump_report_native.sh NATIVE_CLI OUT_DIR WINE_CLI SAMPLE
set -u
native=$1 out=$2 cli=$3 sample=$4
if [ ! -x "$native" ]; then
  echo "dump_report_native.sh: no native ostrel-cli at $native (build the linux preset); skipped"
  exit 77
fi
rm -rf "$out" && mkdir -p "$out" || exit 1
wine "$cli" run --dump normal --errdir "$(winepath -w "$out")" "$sample" dll-map-av >"$out/run.txt" 2>&1
dump=$(ls "$out"/*.dmp 2>/dev/null | head -n 1)
[ -n "$dump" ] || { echo "no dump was written"; cat "$out/run.txt"; exit 1; }
wine "$cli" dump report "$(winepath -w "$dump")" >"$out/wine.txt" || { echo "wine: dump report failed"; exit 1; }
"$native" dump report "$dump" >"$out/native.txt" || { echo "native: dump report failed"; exit 1; }
grep -q 'chainMiddle' "$out/native.txt" || { echo "the chain is not named"; cat "$out/native.txt"; exit 1; }
if ! diff "$out/wine.txt" "$out/native.txt"; then
  echo "the reports differ (above: wine < > native)"
  exit 1
fi
echo "the reports agree: $(wc -l <"$out/native.txt") lines"
