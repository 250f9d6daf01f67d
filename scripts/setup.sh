#!/usr/bin/env bash
# Installs what the builds and tests need on Debian 12, and only what is
# missing: the native toolchain and libraries (libmodbus and toml++ for
# zulgate, with mbpoll and Debian's pymodbus, the Modbus clients of its
# tests), clang's sanitizer runtime, the mingw-w64 cross compiler for the
# 32-bit Windows DLL, and wine (32-bit) to run the Windows tests. Needs root and Debian's package registry when
# anything is missing; otherwise it says so and fails.
#
#   bash scripts/setup.sh          install what is missing
#   bash scripts/setup.sh --check  only report; fail if anything is missing
set -euo pipefail

check_only=0
[[ ${1:-} == --check ]] && check_only=1

# Package, then the command or file that shows it works ("-": none).
packages=(
  "cmake:cmake"
  "make:make"
  "g++:g++"
  "clang:clang"
  "clang-format-14:clang-format-14"
  "libclang-rt-14-dev:-"
  "googletest:/usr/src/googletest"
  "libgtest-dev:/usr/include/gtest/gtest.h"
  "libgmock-dev:/usr/include/gmock/gmock.h"
  "libbenchmark-dev:/usr/include/benchmark/benchmark.h"
  "libcli11-dev:/usr/include/CLI/CLI.hpp"
  "nlohmann-json3-dev:/usr/include/nlohmann/json.hpp"
  "libmodbus-dev:/usr/include/modbus/modbus.h"
  "libtomlplusplus-dev:/usr/include/toml++/toml.h"
  "mbpoll:mbpoll"
  "python3-pymodbus:/usr/lib/python3/dist-packages/pymodbus"
  "pkg-config:pkg-config"
  "python3:python3"
  "git:git"
  "g++-mingw-w64-i686-posix:i686-w64-mingw32-g++-posix"
  "binutils-mingw-w64-i686:i686-w64-mingw32-objdump"
  "g++-mingw-w64-x86-64-posix:x86_64-w64-mingw32-g++-posix"
  "binutils-mingw-w64-x86-64:x86_64-w64-mingw32-objdump"
  "tshark:tshark"
  "lintian:lintian"
  "dpkg-dev:dpkg-shlibdeps"
  "file:file"
  "binutils:readelf"
  "unzip:unzip"
  "man-db:man"
  "gzip:gzip"
  "wine:wine"
  "wine64:/usr/lib/wine/wine64"
  "wine32:i386:/usr/lib/wine/wine"
)

installed() {  # installed PACKAGE PROBE
  local package=$1 probe=$2 status
  status=$(dpkg-query -W -f='${Status}' "$package" 2>/dev/null) || return 1
  [[ $status == "install ok installed" ]] || return 1
  case $probe in
    -) ;;
    /*) [[ -e $probe ]] ;;
    *) command -v "$probe" >/dev/null 2>&1 ;;
  esac
}

missing=()
for entry in "${packages[@]}"; do
  probe=${entry##*:}
  package=${entry%:*}
  installed "$package" "$probe" || missing+=("$package")
done

if [[ ${#missing[@]} -eq 0 ]]; then
  echo "setup: all ${#packages[@]} packages present"
  exit 0
fi
echo "setup: missing: ${missing[*]}"
if [[ $check_only -eq 1 ]]; then
  exit 1
fi
if [[ $(id -u) -ne 0 ]]; then
  echo "setup: cannot install them: not running as root." >&2
  echo "setup: as root, run: bash scripts/setup.sh   (or apt-get install ${missing[*]})" >&2
  exit 1
fi
if ! command -v apt-get >/dev/null 2>&1 || [[ ! -r /etc/debian_version ]]; then
  echo "setup: cannot install them: this is not a Debian system with apt-get." >&2
  exit 1
fi

export DEBIAN_FRONTEND=noninteractive
needs_i386=0
for package in "${missing[@]}"; do [[ $package == *:i386 ]] && needs_i386=1; done
if [[ $needs_i386 -eq 1 ]] && ! dpkg --print-foreign-architectures | grep -qx i386; then
  echo "setup: enabling the i386 architecture for wine32"
  dpkg --add-architecture i386
fi

echo "setup: apt-get update"
if ! apt-get update -q; then
  echo "setup: cannot install: apt-get update failed (no network, or Debian's package registry unreachable)." >&2
  exit 1
fi
echo "setup: apt-get install ${missing[*]}"
if ! apt-get install -y -q "${missing[@]}"; then
  echo "setup: cannot install: apt-get install failed for: ${missing[*]}" >&2
  exit 1
fi

still=()
for entry in "${packages[@]}"; do
  probe=${entry##*:}
  package=${entry%:*}
  installed "$package" "$probe" || still+=("$package ($probe)")
done
if [[ ${#still[@]} -ne 0 ]]; then
  echo "setup: still missing after the install: ${still[*]}" >&2
  exit 1
fi
echo "setup: installed ${missing[*]}"
