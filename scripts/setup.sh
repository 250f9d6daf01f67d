#!/usr/bin/env bash
# Installs what the builds and tests need on Debian 12, and only what is
# missing: the native toolchain and libraries, clang's sanitizer runtime,
# the mingw-w64 cross compilers, wine and wine64, the release tools and the
# gateway's libraries and test peers. Needs root and Debian's package
# registry when anything is missing.
#
#   bash scripts/setup.sh          install what is missing
#   bash scripts/setup.sh --check  only report; fail if a required package is missing
#
# Every package is required but one: 32-bit wine (wine32:i386), which only
# runs the 32-bit DLL's tests; where it cannot be had, the same tests run on
# the 64-bit build under wine64, and setup says so and goes on. A required
# package that cannot be installed fails setup, with apt's reason.
#
# A failed index update is tried once more after ZUL_SETUP_RETRY_PAUSE
# seconds (default 20); if it fails again, setup names the indexes that
# failed and goes on with the lists apt has. Packages are probed with
# dpkg-query and installed with apt-get, both as found on PATH.
set -uo pipefail

check_only=0
[[ ${1:-} == --check ]] && check_only=1
retry_pause=${ZUL_SETUP_RETRY_PAUSE:-20}

# Package, then the command or file that shows it works ("-": none).
required=(
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
  "libmosquitto-dev:/usr/include/mosquitto.h"
  "mosquitto:/usr/sbin/mosquitto"
  "mosquitto-clients:mosquitto_sub"
  "python3-paho-mqtt:/usr/lib/python3/dist-packages/paho"
  "ser2net:/usr/sbin/ser2net"
  "openssl:openssl"
  "libmicrohttpd-dev:/usr/include/microhttpd.h"
  "prometheus-cpp-dev:/usr/include/prometheus/registry.h"
  "python3-prometheus-client:/usr/lib/python3/dist-packages/prometheus_client"
  "chromium:chromium"
  "curl:curl"
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
  "systemd:systemd-analyze"
  "adduser:adduser"
  "wine:wine"
  "wine64:/usr/lib/wine/wine64"
)
optional=(
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

missing_of() {  # missing_of ENTRY... : the packages among them not installed
  local entry
  for entry in "$@"; do
    installed "${entry%:*}" "${entry##*:}" || echo "${entry%:*}"
  done
}

# apt's own reason for a failed run: its error lines and the unmet
# dependencies it names, without the progress around them.
reason_of() {  # reason_of LOGFILE
  grep -E '^(E:|W: Failed| [^ ].*: (Depends|PreDepends|Conflicts|Breaks):|  +(Depends|PreDepends):)' "$1" |
    head -12 | sed 's/^/    /'
}

# The indexes an update could not fetch, one per line ("suite/component arch Packages").
failed_indexes() {  # failed_indexes LOGFILE
  sed -n -E 's/^Err:[0-9]+ +[a-z]+:\/\/[^ ]+ +(.*)$/\1/p' "$1" | sort -u
}

mapfile -t missing_required < <(missing_of "${required[@]}")
mapfile -t missing_optional < <(missing_of "${optional[@]}")
total=$((${#required[@]} + ${#optional[@]}))

if [[ ${#missing_required[@]} -eq 0 && ${#missing_optional[@]} -eq 0 ]]; then
  echo "setup: all $total packages present"
  exit 0
fi
[[ ${#missing_required[@]} -gt 0 ]] && echo "setup: missing: ${missing_required[*]}"
[[ ${#missing_optional[@]} -gt 0 ]] &&
  echo "setup: missing, optional: ${missing_optional[*]} (32-bit wine; without it the Windows tests run on the 64-bit build)"
if [[ $check_only -eq 1 ]]; then
  [[ ${#missing_required[@]} -eq 0 ]]
  exit
fi
if [[ $(id -u) -ne 0 ]]; then
  echo "setup: cannot install: not running as root." >&2
  echo "setup: as root, run: bash scripts/setup.sh" >&2
  [[ ${#missing_required[@]} -eq 0 ]]
  exit
fi
if ! command -v apt-get >/dev/null 2>&1 || [[ ! -r /etc/debian_version ]]; then
  echo "setup: cannot install: this is not a Debian system with apt-get." >&2
  [[ ${#missing_required[@]} -eq 0 ]]
  exit
fi

export DEBIAN_FRONTEND=noninteractive
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

if [[ ${#missing_optional[@]} -gt 0 ]] && ! dpkg --print-foreign-architectures | grep -qx i386; then
  echo "setup: enabling the i386 architecture for wine32"
  dpkg --add-architecture i386 || echo "setup: dpkg --add-architecture i386 failed"
fi

# One index that fails (a mirror in the middle of a sync) must not stop the
# install: the others are usually fresh, and the install tells whether the
# packages needed are among what they list.
echo "setup: apt-get update"
if ! apt-get update -q >"$work/update" 2>&1; then
  cat "$work/update"
  echo "setup: apt-get update failed; trying again in ${retry_pause} s"
  sleep "$retry_pause"
  if ! apt-get update -q >"$work/update" 2>&1; then
    cat "$work/update"
    mapfile -t failed < <(failed_indexes "$work/update")
    if [[ ${#failed[@]} -gt 0 ]]; then
      echo "setup: these indexes failed twice, going on with the lists apt has:"
      printf '    %s\n' "${failed[@]}"
    else
      echo "setup: apt-get update failed twice (no index named); going on with the lists apt has"
    fi
  fi
fi

# All the required packages in one go; if apt refuses that, each on its own,
# so that one refusal names itself and installs all the others.
refused=()
if [[ ${#missing_required[@]} -gt 0 ]]; then
  echo "setup: apt-get install ${missing_required[*]}"
  if ! apt-get install -y -q "${missing_required[@]}" >"$work/install" 2>&1; then
    cat "$work/install"
    echo "setup: the install together failed; trying each package on its own"
    for package in "${missing_required[@]}"; do
      if ! apt-get install -y -q "$package" >"$work/one" 2>&1; then
        refused+=("$package")
        echo "setup: cannot install $package, which is required:"
        reason_of "$work/one"
      fi
    done
  fi
fi

# 32-bit wine only if apt would remove nothing for it: an optional package
# must not take anything away.
for package in "${missing_optional[@]}"; do
  echo "setup: apt-get install $package (optional)"
  if apt-get install -s -y -q "$package" >"$work/optional" 2>&1 && ! grep -q '^Remv ' "$work/optional" &&
     apt-get install -y -q "$package" >"$work/optional" 2>&1; then
    continue
  fi
  grep -q '^Remv ' "$work/optional" && echo "    apt would remove packages for it: $(grep -c '^Remv ' "$work/optional")"
  echo "setup: NOTICE: $package (32-bit wine) could not be installed; apt said:"
  reason_of "$work/optional"
  echo "setup: NOTICE: the 32-bit DLL's tests under wine cannot run here; the Windows tests run on the"
  echo "setup: NOTICE: 64-bit build under wine64 instead (docs/development.md, \"Windows tests under wine\", says how to get 32-bit wine)."
done

mapfile -t still < <(missing_of "${required[@]}")
if [[ ${#still[@]} -gt 0 ]]; then
  echo "setup: FAILED: required packages not installed: ${still[*]}" >&2
  exit 1
fi
echo "setup: the required packages are installed"
