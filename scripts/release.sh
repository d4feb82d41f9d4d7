#!/usr/bin/env bash
# Builds Ostrel for Windows and packs the release a Windows user unzips:
# build/ostrel-<version>-win32.zip with ostrel.exe, ostrel-cli.exe, ostrel.chm, the sample
# debuggee with its map and DLL, and README.txt. The version is the project's (CMakeLists.txt),
# the one in the executables' version blocks and the about box.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
cd "$here/.."
[ "${OSTREL_SKIP_DEPS:-}" = 1 ] || "$here/install-deps.sh"
source "$here/env.sh"
cmake --preset win32 >/dev/null
cmake --build --preset win32 --target ostrel ostrel-cli ostrel_help dbg_sample dbg_testdll

version=$(sed -n 's/^project(Ostrel VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
name="ostrel-$version-win32"
stage="build/release/$name"
rm -rf "$stage" "build/$name.zip"
mkdir -p "$stage/sample"
cp build/win32/src/app/ostrel.exe build/win32/src/cli/ostrel-cli.exe build/win32/src/app/ostrel.chm "$stage/"
cp build/win32/tests/debuggees/dbg_sample.exe build/win32/tests/debuggees/dbg_sample.map \
  build/win32/tests/debuggees/dbg_testdll.dll "$stage/sample/"
# Without their debug information the programs are a tenth of the size.
i686-w64-mingw32-strip "$stage/ostrel.exe" "$stage/ostrel-cli.exe" "$stage/sample/dbg_sample.exe" \
  "$stage/sample/dbg_testdll.dll"
# Windows line ends for the read-me.
sed -e "s/@VERSION@/$version/" -e 's/$/\r/' release/README.txt >"$stage/README.txt"
(cd build/release && python3 -m zipfile -c "../$name.zip" "$name")
echo "build/$name.zip"

# What a user needs must be in it.
python3 - "build/$name.zip" "$name" <<'PY'
import sys, zipfile
path, name = sys.argv[1], sys.argv[2]
have = set(zipfile.ZipFile(path).namelist())
need = [f"{name}/{f}" for f in ("ostrel.exe", "ostrel-cli.exe", "ostrel.chm", "README.txt",
                                 "sample/dbg_sample.exe", "sample/dbg_sample.map",
                                 "sample/dbg_testdll.dll")]
missing = [f for f in need if f not in have]
if missing:
    sys.exit("missing from the release: " + ", ".join(missing))
print(f"{len(have)} entries, all that a user needs")
PY
