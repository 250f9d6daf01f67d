#!/usr/bin/env bash
# The release: Debian packages (libzultrk7, libzultrk-dev, zultrk-tools,
# zultrk-gateway) from a Release build for Linux, and
# zultrk-VERSION-win32.zip from a Release cross build, all in dist/.
# Installs what is missing first (setup.sh).
#
#   bash scripts/release.sh             the release
#   bash scripts/release.sh --win64     also a 64-bit zip of the same layout, for
#                                       testing under wine64 where 32-bit cannot run
#   bash scripts/release.sh --presets   the same packages from the native, win32
#                                       (and win64) preset trees, built first where
#                                       they are not: what the test run checks,
#                                       without building everything a second time
set -euo pipefail
cd "$(dirname "$0")/.."
win64=0
presets=0
for arg in "$@"; do
  case $arg in
    --win64) win64=1 ;;
    --presets) presets=1 ;;
    *) echo "release: unknown argument '$arg'" >&2; exit 2 ;;
  esac
done

bash scripts/setup.sh >/dev/null
rm -rf dist
mkdir -p dist

# pack NAME GENERATOR BUILD: CPack in a configured and built tree.
pack() {
  local name=$1 generator=$2 build=$3 log=build/release-$1.log
  rm -rf "$build/packages"
  if ! (cd "$build" && cpack -G "$generator") >>"$log" 2>&1; then
    tail -30 "$log"
    echo "release: $name failed (see $log)" >&2
    exit 1
  fi
  cp "$build"/packages/* dist/
}

package() {  # package NAME GENERATOR CMAKE-ARGS...: a Release tree of its own
  local name=$1 generator=$2
  shift 2
  local build=build/release-$name log=build/release-$name.log
  echo "=== release: $name ($generator; log $log)"
  mkdir -p build
  : >"$log"
  if ! { cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DZUL_TESTS=OFF -DZUL_BENCH=OFF "$@" &&
         cmake --build "$build" -j2; } >>"$log" 2>&1; then
    tail -30 "$log"
    echo "release: $name failed (see $log)" >&2
    exit 1
  fi
  pack "$name" "$generator" "$build"
}

from_preset() {  # from_preset NAME GENERATOR PRESET: the preset's tree, brought up to date
  local name=$1 generator=$2 preset=$3 log=build/release-$1.log
  echo "=== release: $name ($generator, from the $preset tree; log $log)"
  mkdir -p build
  : >"$log"
  if ! { cmake --preset "$preset" && cmake --build --preset "$preset"; } >>"$log" 2>&1; then
    tail -30 "$log"
    echo "release: $name failed (see $log)" >&2
    exit 1
  fi
  pack "$name" "$generator" "build/$preset"
}

if [[ $presets -eq 1 ]]; then
  from_preset linux DEB native
  from_preset win32 ZIP win32
  [[ $win64 -eq 1 ]] && from_preset win64 ZIP win64
else
  package linux DEB -DCMAKE_INSTALL_PREFIX=/usr
  package win32 ZIP --toolchain cmake/mingw-i686.cmake
  [[ $win64 -eq 1 ]] && package win64 ZIP --toolchain cmake/mingw-x86_64.cmake
fi
echo "=== release: dist/"
ls -l dist/
