#!/bin/sh
# Checks when run_test.sh runs a test program a second time, with a stand-in for wine
# that prints a chosen GoogleTest ending and then dies of SIGSEGV or exits.
set -u
runner=$(cd "$(dirname "$0")" && pwd)/run_test.sh
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/bin"
cat >"$work/bin/wine" <<'EOF'
#!/bin/sh
# usage: wine PROGRAM ENDING...; ENDING per run: pass, fail, skip, cut, then the fate:
# +segv dies of SIGSEGV, +0 exits 0, +1 exits 1.
count=$(($(cat "$FAKE_COUNT" 2>/dev/null || echo 0) + 1))
echo "$count" >"$FAKE_COUNT"
shift
eval "plan=\${$count}"
echo '[==========] Running 1 test from 1 test suite.'
case ${plan%+*} in
  pass) printf '[       OK ] A.B (0 ms)\n[==========] 1 test from 1 test suite ran. (0 ms total)\n[  PASSED  ] 1 test.\n' ;;
  skip) printf '[  SKIPPED ] A.B (0 ms)\n[==========] 1 test from 1 test suite ran. (0 ms total)\n[  PASSED  ] 0 tests.\n[  SKIPPED ] 1 test, listed below:\n' ;;
  fail) printf '[  FAILED  ] A.B (0 ms)\n[==========] 1 test from 1 test suite ran. (0 ms total)\n[  PASSED  ] 0 tests.\n[  FAILED  ] 1 test, listed below:\n' ;;
  cut) printf '[ RUN      ] A.B\n' ;;
esac
echo "note on stderr" >&2
case ${plan#*+} in
  segv) kill -SEGV $$ ;;
  *) exit "${plan#*+}" ;;
esac
EOF
chmod +x "$work/bin/wine"
PATH=$work/bin:$PATH
export FAKE_COUNT=$work/count
failures=0

# expect NAME EXIT_CODE RUNS LOGGED_RERUNS ENDINGS...
expect() {
  name=$1 code=$2 runs=$3 logged=$4
  shift 4
  rm -f "$work/count" "$work/log"
  sh "$runner" "$work/log" prog.exe "$@" >"$work/out" 2>"$work/err"
  got=$?
  got_runs=$(cat "$work/count")
  got_logged=$(cat "$work/log" 2>/dev/null | wc -l)
  if [ "$got" != "$code" ] || [ "$got_runs" != "$runs" ] || [ "$got_logged" != "$logged" ] ||
     ! grep -q '^\[==========\] Running' "$work/out" || ! grep -q 'note on stderr' "$work/err"; then
    echo "FAILED $name: exit $got (want $code), runs $got_runs (want $runs), logged $got_logged (want $logged)"
    failures=$((failures + 1))
  fi
}

expect "a pass runs once" 0 1 0 pass+0
expect "a pass that dies while ending runs again" 0 2 1 pass+segv pass+0
expect "a skip that dies while ending runs again" 0 2 1 skip+segv skip+0
expect "a second death is the result" 139 2 1 pass+segv pass+segv
expect "a failed assertion never reruns" 139 1 0 fail+segv pass+0
expect "a failure exit never reruns" 1 1 0 fail+1 pass+0
expect "a death before the summary never reruns" 139 1 0 cut+segv pass+0
expect "a pass with a failing exit code never reruns" 1 1 0 pass+1 pass+0

if [ "$failures" -eq 0 ]; then echo "run_test.sh: every case as expected"; fi
exit "$failures"
