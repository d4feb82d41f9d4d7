#!/bin/sh
# Runs one test program of the Windows build under Wine (CTest and test discovery call
# it): run_test.sh RERUN_LOG PROGRAM ARGS...
# A second run is made only when the program printed GoogleTest's complete result with
# no failure and then the Wine process died of a signal while ending (Wine faults when
# a process ends while one of its threads starts; test_main.cpp avoids that for the
# threads it can see). Each such rerun is noted in RERUN_LOG. A failing test never reruns.
log=$1
shift
tmp=${TMPDIR:-/tmp}/ostrel-wine-test.$$
for try in 1 2; do
  wine "$@" >"$tmp.out" 2>"$tmp.err"
  rc=$?
  cat "$tmp.out"
  if [ -s "$tmp.err" ]; then cat "$tmp.err" >&2; fi
  if [ "$try" = 1 ] && [ "$rc" -gt 128 ] &&
     grep -q '^\[==========\] .* ran\.' "$tmp.out" &&
     grep -q '^\[  PASSED  \] ' "$tmp.out" &&
     ! grep -q '^\[  FAILED  \]' "$tmp.out" &&
     ! grep -q '^wine: Unhandled' "$tmp.err"; then
    echo "run_test.sh: all results passed, then Wine died of signal $((rc - 128)) while ending; running it again" >&2
    echo "$*" >>"$log"
    continue
  fi
  break
done
rm -f "$tmp.out" "$tmp.err"
exit "$rc"
