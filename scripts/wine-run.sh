#!/usr/bin/env bash
# Runs a Windows program under wine in a private prefix; CMake uses it as
# the emulator of the win32 build, so CTest runs the Windows tests through it.
#
#   scripts/wine-run.sh [--prefix=DIR] PROGRAM.exe [ARGS...]
#
# The prefix is DIR, else $ZUL_WINEPREFIX, else ./wineprefix. It is made
# with wineboot once (about 10 s) and reused; a lock keeps parallel tests
# from initialising it twice. WINEDEBUG=-all keeps wine's own chatter out of
# the programs' output.
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
for tool in wine wineboot wineserver; do
  if ! command -v "$tool" >/dev/null 2>&1; then
    echo "wine-run: '$tool' is not installed (bash scripts/setup.sh installs it)" >&2
    exit 127
  fi
done

mkdir -p "$prefix"
prefix=$(cd "$prefix" && pwd)
export WINEPREFIX=$prefix
export WINEDEBUG=-all
export WINEARCH=win32
# No Mono or Gecko: nothing here needs them, and their installers would ask.
export WINEDLLOVERRIDES="mscoree,mshtml=${WINEDLLOVERRIDES:+;$WINEDLLOVERRIDES}"
export DISPLAY=

if [[ ! -e $prefix/.zul-ready ]]; then
  exec 9>"$prefix.lock"
  flock 9
  if [[ ! -e $prefix/.zul-ready ]]; then
    wineboot -i >/dev/null 2>&1 || { echo "wine-run: wineboot failed in $prefix" >&2; exit 1; }
    wineserver -w
    touch "$prefix/.zul-ready"
  fi
  flock -u 9
  exec 9>&-
fi

exec wine "$@"
