#!/usr/bin/env bash
# Builds both presets and runs every test: the native portable libraries under
# AddressSanitizer and UndefinedBehaviorSanitizer, then the Windows build under Wine.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
cd "$here/.."
"$here/install-deps.sh"
source "$here/env.sh"

# Fuzz targets of the map parser and the exception log reader, for a bounded time.
if [ "${OSTREL_FUZZ_SECONDS:-60}" -gt 0 ]; then
  fuzz/run.sh "${OSTREL_FUZZ_SECONDS:-60}"
fi

cmake --preset linux >/dev/null
cmake --build --preset linux
ctest --preset linux

cmake --preset win32 >/dev/null
cmake --build --preset win32
# A test program that has finished (all its results printed) has been seen to crash on
# rare occasions while Wine tears the process down; such a test gets one more run. A test
# that really fails, fails twice.
ctest --preset win32 --repeat until-pass:2
