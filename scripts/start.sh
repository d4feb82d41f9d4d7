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
exec wine build/win32/src/cli/ostrel-cli.exe run build/win32/tests/debuggees/dbg_sample.exe av-read
