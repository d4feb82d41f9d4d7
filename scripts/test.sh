#!/usr/bin/env bash
# Builds and tests what CI checks, stage by stage, and tells how long each stage took:
# the fuzz targets for a bounded time, the native libraries under AddressSanitizer and
# UndefinedBehaviorSanitizer, the engine under ThreadSanitizer, the benchmarks (built,
# not run), the Windows build under Wine, and the release zip with a check of its
# contents. Every stage runs even when an earlier one failed (a preset's tests only after
# its build); the exit code is 1 if any failed.
set -uo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
cd "$here/.."
start_all=$SECONDS
"$here/install-deps.sh" || exit 1
source "$here/env.sh"
deps_seconds=$((SECONDS - start_all))

ctest_log=$(mktemp)
# The wineserver started below ends with the Wine tests, or here when they did not run.
trap 'rm -f "$ctest_log"; wineserver -k >/dev/null 2>&1' EXIT
names=() seconds=() results=()

# stage NAME COMMAND...: runs and times one stage.
stage() {
  local name=$1 start=$SECONDS rc
  shift
  echo "=== $name"
  "$@"
  rc=$?
  names+=("$name") seconds+=($((SECONDS - start))) results+=("$rc")
  return "$rc"
}
build() { cmake --preset "$1" >/dev/null && cmake --build --preset "$1"; }
run_tests() { ctest --preset "$1" 2>&1 | tee -a "$ctest_log"; }

fuzz_seconds=${OSTREL_FUZZ_SECONDS:-60}
if [ "$fuzz_seconds" -gt 0 ]; then
  stage fuzz fuzz/run.sh "$fuzz_seconds"
fi
stage "linux build" build linux && stage "linux tests" run_tests linux
stage "tsan build" build tsan && stage "tsan tests" run_tests tsan
stage "bench build" build bench

# A running wineserver spares each Wine start during the build's test discovery the
# wait for Wine's services; the tests' wine_down fixture stops it.
wineserver -p >/dev/null 2>&1 </dev/null || true
reruns_log=build/win32/wine-test-reruns.log
rm -f "$reruns_log"
stage "win32 build" build win32 && stage "win32 tests" run_tests win32
stage release env OSTREL_SKIP_DEPS=1 "$here/release.sh"
reruns=0
[ -f "$reruns_log" ] && reruns=$(wc -l <"$reruns_log")
echo "Wine test programs run a second time (passed, then Wine died while ending): $reruns"
[ "$reruns" -eq 0 ] || sed 's/^/  /' "$reruns_log"

echo
echo "=== stages"
printf '%-12s %6ss\n' "install" "$deps_seconds"
failed=0
for i in "${!names[@]}"; do
  status=ok
  [ "${results[$i]}" -eq 0 ] || { status="FAILED (${results[$i]})"; failed=1; }
  printf '%-12s %6ss  %s\n' "${names[$i]}" "${seconds[$i]}" "$status"
done
printf '%-12s %6ss\n' "total" "$((SECONDS - start_all))"
# Every CTest run's counts together.
read -r total failures < <(sed -n 's/^[0-9]*% tests passed, \([0-9]*\) tests* failed out of \([0-9]*\)$/\2 \1/p' \
  "$ctest_log" | awk '{t += $1; f += $2} END {print t + 0, f + 0}')
echo "tests: $((total - failures)) passed, $failures failed"
exit "$failed"
