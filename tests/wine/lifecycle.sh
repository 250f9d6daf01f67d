#!/usr/bin/env bash
# A channel's life under wine against the simulated panel: starts zulsim (a
# native program) on a pseudo-terminal, maps that pty to COM5 in a private
# wine prefix through the registry, and runs the Windows lifecycle check
# program on COM5. Never touches COM1 to COM4: under wine those lead to the
# machine's own serial ports.
#
# usage: lifecycle.sh SOURCE_DIR WINE_RUN PREFIX ZULSIM CHECK_EXE [ARG...]
#
# CHECK_EXE gets the COM port as its one argument, or ARG... with every
# word COMPORT replaced by the port: COM5, or ZUL_TEST_PORT (COM10 and above
# are opened as \\.\COMn on Windows). ZUL_SIM_ARGS: extra zulsim options.
#
# When zulsim is not built: a failure under CI=true (or ZUL_REQUIRE_SIM=1)
# if the source tree has the zulsim program; otherwise exit 77, which CTest
# reports as skipped.
set -uo pipefail
source_dir=$1 wine_run=$2 prefix=$3 zulsim=$4 check_exe=$5
shift 5
port=${ZUL_TEST_PORT:-COM5}
case ${port^^} in COM1 | COM2 | COM3 | COM4)
  echo "FAIL: $port leads to this machine's own serial port under wine"
  exit 1 ;;
esac
args=("$port")
if [[ $# -gt 0 ]]; then
  args=("${@//COMPORT/$port}")
fi

if [[ ! -x $zulsim ]]; then
  echo "lifecycle: no simulator at $zulsim (build the native preset first)"
  if grep -q 'add_executable(zulsim' "$source_dir/sim/CMakeLists.txt" 2>/dev/null &&
     [[ ${ZUL_REQUIRE_SIM:-} == 1 || ${CI:-} == true ]]; then
    echo "FAIL: the lifecycle test needs zulsim, which this tree builds"
    exit 1
  fi
  echo "lifecycle: SKIPPED: no zulsim"
  exit 77
fi

work=$(mktemp -d)
sim_pid=
finish() {
  if [[ -n $sim_pid ]] && kill -0 "$sim_pid" 2>/dev/null; then
    kill -TERM "$sim_pid" 2>/dev/null
    wait "$sim_pid" 2>/dev/null
  fi
  if [[ -s $work/sim.out ]]; then
    echo "--- zulsim output"
    cat "$work/sim.out"
  fi
  rm -rf "$work"
  # The server was started with -p0 and ends with the last program.
  WINEPREFIX=$prefix wineserver -w 2>/dev/null || true
}
trap finish EXIT

# The prefix first (the runner makes it once), so the registry is there.
"$wine_run" --prefix="$prefix" cmd /c exit >/dev/null 2>&1 || {
  echo "FAIL: wine cannot start in $prefix"
  exit 1
}

# ZUL_SIM_ARGS: extra zulsim options (field timing; a faulty panel to see the test fail).
# shellcheck disable=SC2086
"$zulsim" ${ZUL_SIM_ARGS:-} >"$work/sim.out" 2>&1 &
sim_pid=$!
pty=
for _ in $(seq 100); do
  pty=$(awk '$1 == "PTY" { print $2; exit }' "$work/sim.out")
  [[ -n $pty ]] && break
  kill -0 "$sim_pid" 2>/dev/null || break
  sleep 0.1
done
if [[ -z $pty || ! -e $pty ]]; then
  echo "FAIL: zulsim did not report a pty"
  exit 1
fi
echo "lifecycle: zulsim serves $pty; mapping it to $port"

"$wine_run" --prefix="$prefix" reg add 'HKLM\Software\Wine\Ports' /v "$port" /d "$pty" /f >/dev/null 2>&1 || {
  echo "FAIL: reg add of $port failed"
  exit 1
}
# The mount manager rereads the ports when the wine server starts again.
# (The server writes a dump of its objects to the stderr it was started
# with when it is killed; the one started by reg above has /dev/null.) The
# new one is started here, quiet, and exits with the last program (-p0).
WINEPREFIX=$prefix wineserver -k >/dev/null 2>&1 || true
WINEPREFIX=$prefix wineserver -w >/dev/null 2>&1 || true
WINEPREFIX=$prefix WINEDEBUG=-all wineserver -p0 >/dev/null 2>&1 || {
  echo "FAIL: wineserver did not start"
  exit 1
}

cd "$(dirname "$check_exe")"
timeout 300 "$wine_run" --prefix="$prefix" "./$(basename "$check_exe")" "${args[@]}"
status=$?
link=$(readlink "$prefix/dosdevices/${port,,}" || true)
echo "lifecycle: $prefix/dosdevices/${port,,} -> ${link:-(none)}"
if [[ $link != "$pty" ]]; then
  echo "FAIL: $port was not mapped to $pty"
  status=1
fi
exit $status
