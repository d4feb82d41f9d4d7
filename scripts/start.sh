#!/usr/bin/env bash
# Builds Ostrel for Windows and starts its window under Wine on a sample program that
# crashes: the events stream in, the access violation ends the sample, and its exception
# log goes to build/logs. Without a display (no DISPLAY) the window runs on a private X
# server instead and its pictures are written to build/screenshots.
#
#   scripts/start.sh              the window (or its screenshots without a display)
#   scripts/start.sh --console    the same run in the console, then the stored log's report
#   scripts/start.sh ARGS...      ostrel-cli with these arguments, e.g. run PROGRAM.exe
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
cd "$here/.."
root=$(pwd)
winpath() { local p="${1//\//\\}"; echo "Z:$p"; }

if (($# == 0)) && [ -z "${DISPLAY:-}" ]; then
  "$here/screenshots.sh" build/screenshots
  echo
  echo "No display here: Ostrel ran on a private X server. What it showed is in $root/build/screenshots/"
  exit 0
fi

"$here/install-deps.sh"
source "$here/env.sh"
cmake --preset win32 >/dev/null
cmake --build --preset win32
sample="$root/build/win32/tests/debuggees/dbg_sample.exe"
mkdir -p build/logs

if (($# == 0)); then
  # A Wine session begun elsewhere keeps the display it started with: this one starts here.
  wineserver -k >/dev/null 2>&1 || true
  exec wine build/win32/src/app/ostrel.exe --errdir "$(winpath "$root/build/logs")" \
    --run "$(winpath "$sample")" deep-av
fi
if [ "$1" != "--console" ]; then
  exec wine build/win32/src/cli/ostrel-cli.exe "$@"
fi
# The sample dies of an access violation; its exception log goes to build/logs.
wine build/win32/src/cli/ostrel-cli.exe run --errdir build/logs \
  build/win32/tests/debuggees/dbg_sample.exe deep-av
log=$(ls -t build/logs/*.err | head -n 1)
echo
echo "== the stored exception log, resolved through the sample's map =="
exec wine build/win32/src/cli/ostrel-cli.exe err report "$log" \
  --map build/win32/tests/debuggees/dbg_sample.map
