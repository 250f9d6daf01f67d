#!/usr/bin/env bash
# Device loss under wine: zulsim (native) serves a pty behind a short link,
# wine maps COM5 to that link through the registry, and the Windows program
# wine_loss_check.exe reads on COM5 while this script kills zulsim (its end
# of the pty closes at once), then starts a new zulsim behind the same link
# for the program to reopen. Never touches COM1 to COM4: under wine those
# lead to the machine's own serial ports.
#
# usage: wine_loss.sh WINE_RUN PREFIX ZULSIM CHECK_EXE
#
# Exit 77 (skipped) when zulsim is not built, unless ZUL_REQUIRE_SIM=1 or
# CI=true, where that is a failure.
set -uo pipefail
wine_run=$1 prefix=$2 zulsim=$3 check_exe=$4
port=COM5

if [[ ! -x $zulsim ]]; then
  echo "wine_loss: no simulator at $zulsim (build the native preset first)"
  if [[ ${ZUL_REQUIRE_SIM:-} == 1 || ${CI:-} == true ]]; then
    echo "FAIL: the device-loss test needs zulsim"
    exit 1
  fi
  exit 77
fi

link=/tmp/zw$(( $$ % 10000 ))  # 11 characters at most
sync=$(mktemp -d /tmp/zwsync.XXXXXX)
sim_pid=
check_pid=
finish() {
  for pid in $check_pid $sim_pid; do
    if kill -0 "$pid" 2>/dev/null; then
      kill -TERM "$pid" 2>/dev/null
      wait "$pid" 2>/dev/null
    fi
  done
  for out in "$sync"/sim*.out; do
    [[ -s $out ]] && { echo "--- $(basename "$out") (last lines)"; tail -n 12 "$out"; }
  done
  rm -rf "$sync"
  [[ -L $link ]] && rm -f "$link"
  WINEPREFIX=$prefix wineserver -w 2>/dev/null || true
}
trap finish EXIT

start_sim() {  # start_sim N [OPTION...]: zulsim behind $link, its output in sim$N.out
  local n=$1
  shift
  "$zulsim" --link "$link" --set 3000=34,12,78,56 "$@" >"$sync/sim$n.out" 2>&1 &
  sim_pid=$!
  for _ in $(seq 100); do
    if awk '$1 == "PTY" { found = 1 } END { exit !found }' "$sync/sim$n.out" && [[ -e $link ]]; then
      return 0
    fi
    kill -0 "$sim_pid" 2>/dev/null || break
    sleep 0.1
  done
  echo "FAIL: zulsim did not come up behind $link"
  return 1
}

wait_file() {  # wait_file PATH SECONDS
  local tenths=$(( $2 * 10 ))
  for _ in $(seq "$tenths"); do
    [[ -e $1 ]] && return 0
    kill -0 "$check_pid" 2>/dev/null || return 1
    sleep 0.1
  done
  return 1
}

"$wine_run" --prefix="$prefix" cmd /c exit >/dev/null 2>&1 || {
  echo "FAIL: wine cannot start in $prefix"
  exit 1
}
# The first panel answers each request 40 ms late and traces the frames, so
# that the kill can be timed to land while a receive waits for its reply.
start_sim 1 --delay 1,40 --trace || exit 1
echo "wine_loss: zulsim serves $(readlink "$link") behind $link; mapping $port to $link"
"$wine_run" --prefix="$prefix" reg add 'HKLM\Software\Wine\Ports' /v "$port" /d "$link" /f >/dev/null 2>&1 || {
  echo "FAIL: reg add of $port failed"
  exit 1
}
# The mount manager rereads the ports when the wine server starts again.
WINEPREFIX=$prefix wineserver -k >/dev/null 2>&1 || true
WINEPREFIX=$prefix wineserver -w >/dev/null 2>&1 || true
WINEPREFIX=$prefix WINEDEBUG=-all wineserver -p0 >/dev/null 2>&1 || {
  echo "FAIL: wineserver did not start"
  exit 1
}

cd "$(dirname "$check_exe")"
winsync="Z:${sync//\//\\}"
timeout 300 "$wine_run" --prefix="$prefix" "./$(basename "$check_exe")" "$port" "$winsync" &
check_pid=$!

status=0
if wait_file "$sync/armed" 120; then
  # Wait for the next read frame to reach the panel, then close its end
  # about 10 ms later, before the reply (40 ms) is out.
  sleep 0.2
  seen=$(grep -c 'drv>.*read 003000' "$sync/sim1.out")
  for _ in $(seq 2000); do
    (( $(grep -c 'drv>.*read 003000' "$sync/sim1.out") > seen )) && break
    sleep 0.002
  done
  sleep 0.01
  kill -KILL "$sim_pid"
  wait "$sim_pid" 2>/dev/null
  echo "wine_loss: zulsim killed while the program reads"
  if wait_file "$sync/lost" 120; then
    start_sim 2 || status=1
    echo "wine_loss: a new zulsim serves $(readlink "$link") behind $link"
    touch "$sync/back"
  else
    echo "FAIL: the program did not report the loss"
    status=1
  fi
else
  echo "FAIL: the program did not start reading"
  status=1
fi
wait "$check_pid"
check_status=$?
check_pid=
[[ $check_status -eq 0 ]] || status=1
exit $status
