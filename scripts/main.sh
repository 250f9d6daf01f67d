#!/usr/bin/env bash
# The main job on a fresh machine: install what is missing, build the Linux
# library with its tools and the 32-bit Windows DLL (and, where this machine
# cannot run 32-bit programs, the 64-bit build of it), then show them working:
# the host tool's demonstration against the simulated panel, the gateway
# serving it over Modbus TCP (read and written with mbpoll), and the DLL's
# get-info answer as a Windows host sees it under wine.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
started=$SECONDS

bash scripts/setup.sh

# The DLL is 32-bit; where this machine cannot run 32-bit programs, wine64
# shows the 64-bit build of the same sources instead.
# The cause is found afresh (is 32-bit wine installed, does its loader run).
windows=$(bash scripts/wine-arch.sh 2>/tmp/zul-wine-arch.$$)
if [[ $windows == win64 ]]; then
  echo "!!! main: $(sed 's/^wine-arch: //' /tmp/zul-wine-arch.$$)"
  echo "!!! main: the 32-bit DLL cannot run under wine here; showing the 64-bit build of the same"
  echo "!!! main: sources under wine64 instead."
  export ZUL_WINE_ARCH=win64
fi
rm -f /tmp/zul-wine-arch.$$

mkdir -p build
presets=(native win32)
[[ $windows == win64 ]] && presets+=(win64)
for preset in "${presets[@]}"; do
  log=build/main-$preset.log
  echo "=== build $preset (log: $log)"
  begin=$SECONDS
  if ! { cmake --preset "$preset" && cmake --build --preset "$preset"; } >"$log" 2>&1; then
    tail -40 "$log"
    echo "main: the $preset build failed (see $log)"
    exit 1
  fi
  echo "    done in $((SECONDS - begin)) s"
done
failed=()

wine_run=("$root/scripts/wine-run.sh" --prefix="$root/build/$windows/wineprefix")
zulhost=build/native/host/tool/zulhost
zulhost_exe=build/$windows/host/tool/zulhost.exe
host_dir=build/$windows/tests/wine/host   # zultrk.dll beside KORVAN.dll

echo
if [[ -x $zulhost ]]; then
  echo "=== demonstration: $zulhost demo"
  "$zulhost" demo || failed+=("zulhost demo")
else
  # Before the host tool exists: the Linux library's get-info answer.
  echo "=== libzultrk.so: get-info (no host tool in this build yet)"
  python3 - build/native/driver/libzultrk.so <<'PY' || failed+=("libzultrk.so get-info")
import ctypes, sys
class DriverInfo(ctypes.Structure):
    _fields_ = [("Version", ctypes.c_int32), ("DeviceName", ctypes.c_char_p),
                ("Banner", ctypes.c_char_p), ("ContextSize", ctypes.c_int32),
                ("HostValueA", ctypes.c_int32), ("BaudRate", ctypes.c_uint16),
                ("ByteSize", ctypes.c_uint16), ("StopBits", ctypes.c_uint16),
                ("Parity", ctypes.c_uint16), ("HostValueB", ctypes.c_int32)]
class DriverRequest(ctypes.Structure):
    _fields_ = [("Channel", ctypes.c_void_p), ("Code", ctypes.c_int32),
                ("ChannelNumber", ctypes.c_int32), ("HostWord", ctypes.c_uint8 * 4),
                ("Params", ctypes.c_void_p)]
lib = ctypes.CDLL(sys.argv[1])
info = DriverInfo()
request = DriverRequest(None, 14, 1, (ctypes.c_uint8 * 4)(), ctypes.cast(ctypes.pointer(info), ctypes.c_void_p))
result = lib.ZulMain(ctypes.byref(request))
print(f"  result {result}: Version {info.Version}, DeviceName {info.DeviceName.decode()!r}, "
      f"ContextSize {info.ContextSize}, HostValueA {info.HostValueA}, {info.BaudRate} baud, "
      f"{info.ByteSize} data bits, stop bits {info.StopBits}, parity {info.Parity}, HostValueB {info.HostValueB}")
print(info.Banner.decode("cp437"))
PY
fi

echo
echo "=== the gateway: zulgate against the simulated panel, read and written with mbpoll"
bash scripts/gateway-demo.sh build/native || failed+=("gateway demo")

echo
echo "=== zultrk.dll ($windows) under wine: get-info"
if [[ -f $zulhost_exe ]]; then
  cp -f "build/$windows/driver/zultrk.dll" "build/$windows/host/korvan/KORVAN.dll" "$(dirname "$zulhost_exe")/"
  "${wine_run[@]}" "$zulhost_exe" info || failed+=("zulhost.exe info")
  echo
  echo "=== zultrk.dll under wine: get-info, checked field by field by a host program"
fi
(cd "$host_dir" && "${wine_run[@]}" ./zul_wine_info_check.exe) || failed+=("zul_wine_info_check.exe")

echo
if [[ ${#failed[@]} -ne 0 ]]; then
  echo "main: FAILED: ${failed[*]} ($((SECONDS - started)) s)"
  exit 1
fi
echo "main: done ($((SECONDS - started)) s)"
