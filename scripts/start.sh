#!/usr/bin/env bash
# Builds Ostrel for Windows and starts it under Wine on a sample program that crashes.
# Any arguments replace the sample: scripts/start.sh run PROGRAM.exe [ARGS...]
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
cd "$here/.."
"$here/install-deps.sh"
source "$here/env.sh"
cmake --preset win32 >/dev/null
cmake --build --preset win32
if (($#)); then
  exec wine build/win32/src/cli/ostrel-cli.exe "$@"
fi
# The sample dies of an access violation; its exception log goes to build/logs.
mkdir -p build/logs
wine build/win32/src/cli/ostrel-cli.exe run --errdir build/logs \
  build/win32/tests/debuggees/dbg_sample.exe deep-av
log=$(ls -t build/logs/*.err | head -n 1)
echo
echo "== the stored exception log, resolved through the sample's map =="
exec wine build/win32/src/cli/ostrel-cli.exe err report "$log" \
  --map build/win32/tests/debuggees/dbg_sample.map
