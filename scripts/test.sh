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
ctest --preset win32
