#!/usr/bin/env bash
# The link-level contract of the Windows build, read from the PE headers:
#   - zultrk.dll exports exactly one name, ZulMain, undecorated, ordinal 1;
#   - it imports err from KORVAN.dll by name, and nothing else from it;
#   - it imports no mingw runtime DLL (libgcc, libstdc++, winpthread), so
#     only KORVAN.dll has to sit beside it;
#   - KORVAN.dll exports err undecorated.
# usage: check_exports.sh OBJDUMP zultrk.dll KORVAN.dll [32|64]
set -uo pipefail
objdump=$1 driver=$2 korvan=$3 bits=${4:-32}
passed=0 failed=0
check() {  # check DESCRIPTION COMMAND...
  local what=$1
  shift
  if "$@"; then
    passed=$((passed + 1))
  else
    failed=$((failed + 1))
    echo "FAIL: $what"
  fi
}

# Names in the export name table, one "ordinal name" a line. objdump lists
# the table as "[   i] name" with i counted from the ordinal base.
exports_of() {
  "$objdump" -p "$1" | awk '
    /^Export Address Table -- Ordinal Base/ { base = $NF }
    /^\[Ordinal\/Name Pointer\] Table/ { inTable = 1; next }
    inTable && /^\t\[ *[0-9]+\]/ { gsub(/[\[\]]/, " "); print $1 + base, $2; next }
    inTable && !/^\t/ { inTable = 0 }'
}
# Imports, one "DLL name" a line.
imports_of() {
  "$objdump" -p "$1" | awk '
    /^\tDLL Name:/ { dll = $3; next }
    dll != "" && /^\t[0-9a-f]+\t/ { print dll, $NF; next }
    /^$/ { }'
}

driver_dump=$("$objdump" -p "$driver") || { echo "FAIL: $objdump cannot read $driver"; echo "0 passed, 1 failed"; exit 1; }
magic=010b
[[ $bits == 64 ]] && magic=020b
check "zultrk.dll is a $bits-bit PE DLL" grep -q "^Magic.*$magic" <<<"$driver_dump"

driver_exports=$(exports_of "$driver")
echo "zultrk.dll exports:"; sed 's/^/  /' <<<"$driver_exports"
check "zultrk.dll exports exactly '1 ZulMain' (found: $(tr '\n' ';' <<<"$driver_exports"))" \
  test "$driver_exports" = "1 ZulMain"
check "zultrk.dll export address table holds one entry" \
  grep -Eq '^\s+\[ *0\] \+base\[ *1\] [0-9a-f]+ Export RVA$' <<<"$driver_dump"
# A function, not bash -c: a 64-bit dump is longer than one argument may be.
lacks() { ! grep -Eq "$1" <<<"$2"; }
check "zultrk.dll export address table has no second entry" lacks '^\s+\[ *1\] \+base' "$driver_dump"

driver_imports=$(imports_of "$driver")
echo "zultrk.dll imports from:"; awk '{print "  " $1}' <<<"$driver_imports" | sort -u
check "zultrk.dll imports err from KORVAN.dll" grep -qx 'KORVAN.dll err' <<<"$driver_imports"
check "zultrk.dll imports nothing else from KORVAN.dll" \
  test "$(grep -c '^KORVAN.dll ' <<<"$driver_imports")" = 1
check "zultrk.dll imports no mingw runtime DLL" \
  bash -c '! grep -Eiq "^(libgcc|libstdc|libwinpthread|libssp)" <<<"$1"' _ "$driver_imports"
check "zultrk.dll imports no DLL beyond KORVAN, KERNEL32 and msvcrt (found: $(awk '{print $1}' <<<"$driver_imports" | sort -u | tr '\n' ' '))" \
  bash -c '! awk "{print \$1}" <<<"$1" | grep -Eivq "^(KORVAN|KERNEL32|msvcrt)\.dll$"' _ "$driver_imports"

korvan_exports=$(exports_of "$korvan")
echo "KORVAN.dll exports:"; sed 's/^/  /' <<<"$korvan_exports"
check "KORVAN.dll exports err undecorated" grep -Eq '^[0-9]+ err$' <<<"$korvan_exports"
check "KORVAN.dll exports no decorated err" bash -c '! grep -Eq "^[0-9]+ _?err@" <<<"$1"' _ "$korvan_exports"

echo "$passed passed, $failed failed"
[[ $failed -eq 0 ]]
