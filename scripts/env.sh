# Sourced by the scripts: the Wine settings every build and test run uses.
export WINEPREFIX="${WINEPREFIX:-$HOME/.wine-ostrel}"
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEARCH="${WINEARCH:-win32}"
