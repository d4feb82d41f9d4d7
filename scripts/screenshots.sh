#!/usr/bin/env bash
# Builds Ostrel and photographs its windows under a private X server: the main window
# after a run of the crashing sample (events, an exception's call stack resolved through
# the sample's map) and each of its dialogs. The PNG files go to docs/screenshots/ (or to
# the folder given as the only argument).
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
cd "$here/.."
out="$(realpath -m "${1:-docs/screenshots}")"
"$here/install-deps.sh"
source "$here/env.sh"
cmake --preset win32 >/dev/null
cmake --build --preset win32 --target ostrel_shots

display=:95
raw=$(mktemp -d)
cleanup() {
  DISPLAY=$display wineserver -k >/dev/null 2>&1 || true
  sh tests/wine/xvfb.sh stop "$display"
  rm -rf "$raw"
}
trap cleanup EXIT
sh tests/wine/xvfb.sh start "$display"
# The pictures come from this display: Wine's session must begin on it.
wineserver -k >/dev/null 2>&1 || true
wineserver -w 2>/dev/null || true
export DISPLAY=$display
wine build/win32/tests/gui/ostrel_shots.exe "Z:${raw//\//\\}"

mkdir -p "$out"
python3 - "$raw" "$out" <<'PY'
# 24-bit BMP files to PNG with the standard library alone.
import os, struct, sys, zlib
src, dst = sys.argv[1], sys.argv[2]
def chunk(kind, data):
    return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))
for name in sorted(os.listdir(src)):
    if not name.endswith(".bmp"):
        continue
    data = open(os.path.join(src, name), "rb").read()
    offset, = struct.unpack_from("<I", data, 10)
    width, height = struct.unpack_from("<ii", data, 18)
    stride = (width * 3 + 3) // 4 * 4
    rows = []
    for y in range(height - 1, -1, -1):  # the file stores the bottom row first
        row = data[offset + y * stride: offset + y * stride + width * 3]
        rgb = bytearray(row)
        rgb[0::3], rgb[2::3] = row[2::3], row[0::3]
        rows.append(b"\0" + bytes(rgb))
    png = b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0))
    png += chunk(b"IDAT", zlib.compress(b"".join(rows), 9)) + chunk(b"IEND", b"")
    target = os.path.join(dst, name[:-4] + ".png")
    open(target, "wb").write(png)
    print(target)
PY
