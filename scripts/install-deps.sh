#!/usr/bin/env bash
# Installs what building and testing Ostrel needs on Debian 12, and creates the Wine
# prefix. Safe to run again: it only does what is missing.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
source "$here/env.sh"

packages=(wine wine32:i386 mingw-w64 g++-mingw-w64-i686-posix gcc-mingw-w64-i686-posix
          xvfb xauth x11-apps imagemagick fonts-wine googletest libgtest-dev cmake ninja-build
          g++ clang libclang-rt-14-dev python3 fp-utils)
missing=()
for p in "${packages[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if ((${#missing[@]})); then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  echo "installing: ${missing[*]}"
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    $sudo dpkg --add-architecture i386
  fi
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

if [ ! -f "$WINEPREFIX/system.reg" ]; then
  echo "creating Wine prefix $WINEPREFIX"
  wineboot -i >/dev/null 2>&1 </dev/null || true
  wineserver -w
fi
# Wine does not look in its own font folder; give the prefix the fonts it ships.
fonts="$WINEPREFIX/drive_c/windows/Fonts"
if [ -d /usr/share/wine/fonts ] && [ -d "$fonts" ] && [ ! -f "$fonts/.ostrel-fonts" ]; then
  cp -n /usr/share/wine/fonts/* "$fonts/" 2>/dev/null || true
  touch "$fonts/.ostrel-fonts"
fi
# Without a window manager (bare Xvfb) Wine waits 2 s for one whenever a captioned window
# goes away; unmanaged windows spare that wait in tests and screenshots.
if [ ! -f "$WINEPREFIX/.ostrel-unmanaged" ]; then
  wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /t REG_SZ /d N /f >/dev/null 2>&1 </dev/null &&
    touch "$WINEPREFIX/.ostrel-unmanaged"
  wineserver -w
fi
