#!/usr/bin/env bash
# The release: Debian packages (libzultrk7, libzultrk-dev, zultrk-tools) from
# a Release build for Linux, and zultrk-VERSION-win32.zip from a Release
# cross build, all in dist/. Installs what is missing first (setup.sh).
#
#   bash scripts/release.sh            the release
#   bash scripts/release.sh --win64    also a 64-bit zip of the same layout, for
#                                      testing under wine64 where 32-bit cannot run
set -euo pipefail
cd "$(dirname "$0")/.."
win64=0
[[ ${1:-} == --win64 ]] && win64=1

bash scripts/setup.sh >/dev/null
rm -rf dist
mkdir -p dist

package() {  # package NAME GENERATOR CMAKE-ARGS...
  local name=$1 generator=$2
  shift 2
  local build=build/release-$name log=build/release-$name.log
  echo "=== release: $name ($generator; log $log)"
  mkdir -p build
  rm -rf "$build/packages"
  if ! { cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DZUL_TESTS=OFF -DZUL_BENCH=OFF "$@" &&
         cmake --build "$build" -j2 &&
         (cd "$build" && cpack -G "$generator"); } >"$log" 2>&1; then
    tail -30 "$log"
    echo "release: $name failed (see $log)" >&2
    exit 1
  fi
  cp "$build"/packages/* dist/
}

package linux DEB -DCMAKE_INSTALL_PREFIX=/usr
package win32 ZIP --toolchain cmake/mingw-i686.cmake
[[ $win64 -eq 1 ]] && package win64 ZIP --toolchain cmake/mingw-x86_64.cmake
echo "=== release: dist/"
ls -l dist/
