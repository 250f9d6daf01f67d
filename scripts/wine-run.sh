#!/usr/bin/env bash
# Runs a Windows program under wine in a private prefix; CMake uses it as
# the emulator of the win32 build, so CTest runs the Windows tests through it.
#
#   scripts/wine-run.sh [--prefix=DIR] PROGRAM.exe [ARGS...]
#
# The prefix is DIR, else $ZUL_WINEPREFIX, else ./wineprefix. It is made
# with wineboot once (about 10 s) and reused; a lock keeps parallel tests
# from initialising it twice. WINEDEBUG=-all keeps wine's own chatter out of
# the programs' output. ZUL_WINE_ARCH=win64 runs 64-bit programs with
# wine64 in a 64-bit prefix (the win64 preset sets it); the default is win32.
set -euo pipefail

prefix=${ZUL_WINEPREFIX:-}
if [[ ${1:-} == --prefix=* ]]; then
  prefix=${1#--prefix=}
  shift
fi
[[ -n $prefix ]] || prefix=$PWD/wineprefix
if [[ $# -eq 0 ]]; then
  echo "usage: $0 [--prefix=DIR] PROGRAM [ARGS...]" >&2
  exit 2
fi
arch=${ZUL_WINE_ARCH:-win32}
if [[ $arch == win64 ]]; then
  # /usr/bin/wine prefers the 32-bit loader whenever it is installed.
  wine=/usr/lib/wine/wine64
  export WINELOADER=$wine
else
  wine=wine
fi
for tool in "$wine" wineserver; do
  if ! command -v "$tool" >/dev/null 2>&1; then
    echo "wine-run: '$tool' is not installed (bash scripts/setup.sh installs it)" >&2
    exit 127
  fi
done

mkdir -p "$prefix"
prefix=$(cd "$prefix" && pwd)
export WINEPREFIX=$prefix
export WINEDEBUG=-all
export WINEARCH=$arch
# No Mono or Gecko: nothing here needs them, and their installers would ask.
export WINEDLLOVERRIDES="mscoree,mshtml=${WINEDLLOVERRIDES:+;$WINEDLLOVERRIDES}"
export DISPLAY=

if [[ ! -e $prefix/.zul-ready ]]; then
  exec 9>"$prefix.lock"
  flock 9
  if [[ ! -e $prefix/.zul-ready ]]; then
    "$wine" wineboot -i >/dev/null 2>&1 || { echo "wine-run: wineboot failed in $prefix" >&2; exit 1; }
    wineserver -w
    touch "$prefix/.zul-ready"
  fi
  flock -u 9
  exec 9>&-
fi

exec "$wine" "$@"
