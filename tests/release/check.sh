#!/usr/bin/env bash
# The release as a new user meets it (run after scripts/release.sh; as root):
#   1. lintian reports no error on the Debian packages;
#   2. the packages install with dpkg -i, and from the installed paths:
#      zulhost --version says the version, zulhost --json info runs against
#      the built-in simulator with a driver from the system's library path,
#      man -w finds the page, and a C host builds against the installed
#      header with pkg-config and calls ZulMain; zulgate --check passes on
#      the installed sample (as the service's own user too), the unit
#      verifies, the user is in dialout and the unit is not enabled; the
#      packages are purged afterwards, also when a check failed, and the
#      purge leaves no user, no configuration and no unit state; it refuses
#      to start when packages of these names are installed already;
#   3. the Windows zip holds what it should, and under wine its
#      tools/zulhost.exe loads the zip's own DLL.
# Prints "FAIL: ..." for each failed check and exits non-zero if any.
set -uo pipefail
cd "$(dirname "$0")/../.."
dist=${1:-dist}
version=$(sed -n 's/^project(zultrk VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
packages=(libzultrk7 libzultrk-dev zultrk-tools zultrk-gateway)
failed=0
fail() { echo "FAIL: $*"; failed=$((failed + 1)); }
pass() { echo "ok: $*"; }

# 1. lintian
debs=("$dist"/*.deb)
[[ ${#debs[@]} -eq 4 ]] || fail "expected 4 Debian packages in $dist, found ${#debs[@]}"
lint=$(lintian --no-tag-display-limit "${debs[@]}" 2>&1)
echo "$lint" | sed 's/^/  lintian: /'
if grep -q '^E:' <<<"$lint"; then fail "lintian reports errors"; else pass "lintian: no error"; fi

# 2. install, use from the installed paths, purge
installed=()
for p in "${packages[@]}"; do
  [[ $(dpkg-query -W -f='${Status}' "$p" 2>/dev/null) == "install ok installed" ]] && installed+=("$p")
done
if [[ ${#installed[@]} -gt 0 ]]; then
  fail "refusing to install: ${installed[*]} already installed (dpkg --purge them first)"
elif [[ $(id -u) -ne 0 ]]; then
  fail "the install test needs root"
else
  purge() { dpkg --purge "${packages[@]}" >/dev/null 2>&1 || true; }
  trap purge EXIT
  if dpkg -i "${debs[@]}" >/tmp/zultrk-dpkg.log 2>&1; then
    pass "dpkg -i ${debs[*]##*/}"
    got=$(/usr/bin/zulhost --version 2>&1)
    [[ $got == "zulhost $version" ]] && pass "zulhost --version: $got" || fail "zulhost --version said '$got'"
    got=$(/usr/bin/zulsim --version 2>&1)
    [[ $got == "zulsim $version" ]] && pass "zulsim --version: $got" || fail "zulsim --version said '$got'"
    info=$(cd / && /usr/bin/zulhost --json info 2>&1)
    library=$(python3 -c 'import json,sys; print(json.loads(sys.stdin.read())["library"])' <<<"$info" 2>/dev/null)
    if [[ $library == /usr/lib/* || $library == /lib/* ]]; then
      pass "zulhost --json info loaded $library"
    else
      fail "zulhost --json info: library '$library' is not from the system's library path: $info"
    fi
    read_out=$(cd / && /usr/bin/zulhost read W01A2F3 2 2>&1) && pass "zulhost read against the built-in panel: $(tr '\n' ' ' <<<"$read_out")" ||
      fail "zulhost read against the built-in panel: $read_out"
    page=$(man -w zulhost 2>&1)
    [[ $page == */man1/zulhost.1* ]] && pass "man -w zulhost: $page" || fail "man -w zulhost: $page"
    work=$(mktemp -d)
    if cc -std=c11 -Wall -Werror tests/release/host.c -o "$work/host" $(pkg-config --cflags --libs zultrk) 2>"$work/cc.log"; then
      pass "a C host builds with pkg-config --cflags --libs zultrk ($(pkg-config --cflags --libs zultrk))"
      out=$("$work/host" 2>&1) && pass "the C host: $out" || fail "the C host: $out"
    else
      fail "the C host does not build: $(cat "$work/cc.log")"
    fi
    rm -rf "$work"

    # The gateway as a service.
    out=$(/usr/sbin/zulgate --check /etc/zultrk/gateway.toml 2>&1) && pass "zulgate --check on the installed sample: $out" ||
      fail "zulgate --check on the installed sample: $out"
    out=$(su -s /bin/sh zulgate -c '/usr/sbin/zulgate --check /etc/zultrk/gateway.toml' 2>&1) &&
      pass "the same as the service's user zulgate" || fail "zulgate --check as the user zulgate: $out"
    [[ $(id -nG zulgate 2>/dev/null) == *dialout* ]] && pass "the user zulgate is in dialout: $(id zulgate)" ||
      fail "the user zulgate is not in dialout: $(id zulgate 2>&1)"
    conffiles=$(dpkg-query -W -f='${Conffiles}' zultrk-gateway | awk '{print $1}' | tr '\n' ' ')
    [[ $conffiles == *"/etc/zultrk/gateway.toml"*"/etc/zultrk/gateway-points.csv"* ]] &&
      pass "conffiles: $conffiles" || fail "conffiles: $conffiles"
    out=$(systemd-analyze verify /lib/systemd/system/zulgate.service 2>&1) && pass "systemd-analyze verify zulgate.service" ||
      fail "systemd-analyze verify zulgate.service: $out"
    [[ ! -e /etc/systemd/system/multi-user.target.wants/zulgate.service ]] && pass "zulgate.service is not enabled" ||
      fail "zulgate.service was enabled by the install"
    page=$(man -w zulgate.toml 2>&1)
    [[ $page == */man5/zulgate.toml.5* && $(man -w zulgate 2>&1) == */man8/zulgate.8* ]] && pass "man -w zulgate, zulgate.toml" ||
      fail "man -w zulgate.toml: $page"
  else
    fail "dpkg -i: $(tail -5 /tmp/zultrk-dpkg.log)"
  fi
  purge
  trap - EXIT
  left=()
  for p in "${packages[@]}"; do dpkg-query -W "$p" >/dev/null 2>&1 && left+=("$p"); done
  [[ ${#left[@]} -eq 0 ]] && pass "purged" || fail "left installed: ${left[*]}"
  remains=()
  getent passwd zulgate >/dev/null && remains+=("the user zulgate")
  getent group zulgate >/dev/null && remains+=("the group zulgate")
  [[ -e /etc/zultrk ]] && remains+=("/etc/zultrk")
  compgen -G '/etc/systemd/system/*/zulgate.service' >/dev/null && remains+=("a unit link")
  compgen -G '/var/lib/systemd/deb-systemd-helper-*/*zulgate*' >/dev/null && remains+=("unit state")
  [[ ${#remains[@]} -eq 0 ]] && pass "the purge left nothing of the gateway" || fail "the purge left: ${remains[*]}"
fi

# 3. the Windows zip
zip=$dist/zultrk-$version-win32.zip
listing=$(unzip -Z1 "$zip" 2>&1) || fail "cannot list $zip"
echo "$listing" | sed 's/^/  zip: /'
expected=$'INTEGRATORS-GUIDE.md\nLICENSE\ndocs/line-timing.svg\ntools/KORVAN.dll\ntools/zulhost.exe\ntools/zultrk.dll\nzultrk.dll'
files=$(grep -v '/$' <<<"$listing" | sort)
[[ $files == "$expected" ]] && pass "the zip holds exactly what it should" || fail "the zip holds: $(tr '\n' ' ' <<<"$files")"
grep -qx 'KORVAN.dll' <<<"$listing" && fail "a KORVAN.dll beside the top-level zultrk.dll"
unzip -p "$zip" INTEGRATORS-GUIDE.md | grep -q 'Never copy the stand-in `KORVAN.dll`' &&
  unzip -p "$zip" INTEGRATORS-GUIDE.md | grep -q "^# The integrator's reference" &&
  unzip -p "$zip" INTEGRATORS-GUIDE.md | grep -q '^# The field guide' &&
  pass "the guide says why KORVAN.dll is in tools/ and carries the integrator's reference and the field guide" ||
  fail "the guide lacks its header, the integrator's reference or the field guide"

# Under wine: the 32-bit zip where 32-bit programs run, else the 64-bit one
# of the same layout (scripts/release.sh --win64).
arch=$(bash scripts/wine-arch.sh 2>/tmp/zultrk-arch.log)
if [[ $arch == win64 ]]; then
  echo "!!! release: $(cat /tmp/zultrk-arch.log)"
  echo "!!! release: the 32-bit zip cannot run here; its 64-bit twin of the same layout runs under wine64 instead"
  zip=$dist/zultrk-$version-win64.zip
fi
if [[ -f $zip ]]; then
  work=$(mktemp -d)
  unzip -q "$zip" -d "$work/unpacked"
  out=$(cd "$work/unpacked/tools" && ZUL_WINE_ARCH=$arch bash "$OLDPWD/scripts/wine-run.sh" --prefix="$work/prefix" \
        ./zulhost.exe --json info 2>&1)
  library=$(python3 -c '
import json, sys
text = sys.stdin.read()
print(json.loads(text[text.index("{"):])["library"])' <<<"$out" 2>/dev/null)
  if [[ ${library,,} == *'\tools\zultrk.dll' ]]; then
    pass "under wine, the unpacked tools\\zulhost.exe info loaded $library"
  else
    fail "under wine, tools\\zulhost.exe info: $out"
  fi
  wineserver -k >/dev/null 2>&1 || true
  rm -rf "$work"
else
  fail "no zip to try under wine at $zip"
fi

echo
if [[ $failed -ne 0 ]]; then
  echo "release check: $failed FAILED"
  exit 1
fi
echo "release check: all passed"
