#!/usr/bin/env bash
# Every test: installs what is missing (scripts/setup.sh), checks the code's
# layout, then configures, builds and tests the native, asan, win32 and win64
# presets in turn, and gives each fuzz target a bounded run (10 s;
# ZUL_FUZZ_SECONDS). The win32 tests run the DLL under wine. The suites that
# drive the built programs with real clients run natively only; the asan
# preset builds and runs the rest. A preset that cannot be configured or built
# counts as failed, and so does one that could not run at all: nothing is
# skipped quietly. Exits non-zero if anything failed.
#
#   bash scripts/test.sh [PRESET...]     (default: format native asan win32 win64 fuzz release)
#
# format: every C and C++ file is laid out as .clang-format says.
# release: scripts/release.sh makes the packages and the zip (from the trees
# the presets built), then
# tests/release/check.sh runs lintian, installs the packages (as root), uses
# them from their installed paths, purges them, and tries the zip under wine.
#
# The product is a 32-bit DLL. Where 32-bit wine is not installed (it is
# the one optional package: scripts/setup.sh) or the machine cannot run
# 32-bit programs (some kernels run 64-bit user code only), the win32 step
# builds it and runs only the checks that read its files, says so loudly
# with the cause, and the win64 step runs the Windows tests on the 64-bit
# build of the same sources under wine64; where the 32-bit suite runs, the
# win64 step only builds and checks the files of the 64-bit build. The last
# line says which parts ran in full, which in part, and why.
set -uo pipefail
cd "$(dirname "$0")/.."

presets=("$@")
[[ ${#presets[@]} -gt 0 ]] || presets=(format native asan win32 win64 fuzz release)
started=$SECONDS
failures=()
ran=()     # the parts that ran in full
partial=() # the parts that ran in part, each with why

if ! bash scripts/setup.sh; then
  echo "test: setup failed; the tools above are missing" >&2
  if [[ ${CI:-} == true ]]; then
    exit 1
  fi
  failures+=("setup")
fi

# Whether 32-bit wine is here and runs, found afresh: the cause, when it is
# not, goes into the notice and into the last line.
windows=$(bash scripts/wine-arch.sh 2>/tmp/zul-wine-arch.$$)
no_win32=$(sed 's/^wine-arch: //' /tmp/zul-wine-arch.$$)
rm -f /tmp/zul-wine-arch.$$

step() {  # step PRESET WHAT COMMAND...
  local preset=$1 what=$2
  shift 2
  echo
  echo "=== $preset: $what"
  local begin=$SECONDS
  if "$@"; then
    echo "=== $preset: $what done ($((SECONDS - begin)) s)"
    return 0
  fi
  echo "=== $preset: $what FAILED ($((SECONDS - begin)) s)"
  failures+=("$preset $what")
  return 1
}

for preset in "${presets[@]}"; do
  if [[ $preset == format ]]; then
    step format "layout check" bash scripts/format.sh --check && ran+=(format)
    continue
  fi
  if [[ $preset == fuzz ]]; then
    step fuzz "bounded runs" bash fuzz/run.sh "${ZUL_FUZZ_SECONDS:-10}" && ran+=(fuzz)
    continue
  fi
  if [[ $preset == release ]]; then
    extra=()
    [[ $windows == win64 ]] && extra=(--win64)
    # From the trees the steps above built, not a second build of each.
    step release "packages and zip" bash scripts/release.sh --presets "${extra[@]}" || continue
    step release "install and zip checks" bash tests/release/check.sh || continue
    if [[ $windows == win64 ]]; then partial+=("release (the 64-bit zip under wine64: $no_win32)"); else ran+=(release); fi
    continue
  fi
  step "$preset" configure cmake --preset "$preset" || continue
  # Where the 32-bit suite runs, the 64-bit build is only its DLLs, whose files are checked.
  if [[ $preset == win64 && $windows == win32 ]]; then
    step "$preset" "build (the DLLs)" cmake --build --preset "$preset" --target zultrk KORVAN || continue
  else
    step "$preset" build cmake --build --preset "$preset" || continue
  fi
  # The win32 suite uses the native simulator, so the native build comes first.
  if [[ $preset == win32 && $windows == win64 ]]; then
    echo
    echo "!!! win32: $no_win32"
    echo "!!! win32: the 32-bit Windows tests under wine CANNOT RUN on this machine; only the checks"
    echo "!!! win32: that read the built files run here. The win64 step runs the Windows tests on"
    echo "!!! win32: the 64-bit build of the same sources under wine64."
    step "$preset" "test (files only, no wine)" ctest --preset "$preset" -L static --output-on-failure &&
      partial+=("win32 (its file checks only: $no_win32)")
    continue
  fi
  # The 64-bit build stands in for the 32-bit DLL where that cannot run;
  # where it ran in full, the 64-bit one is built and its files checked.
  if [[ $preset == win64 && $windows == win32 ]]; then
    step "$preset" "test (files only; the 32-bit suite runs)" ctest --preset "$preset" -L static --output-on-failure &&
      partial+=("win64 (its file checks only: the 32-bit suite ran under 32-bit wine)")
    continue
  fi
  step "$preset" test ctest --preset "$preset" --output-on-failure && ran+=("$preset")
done

echo
summary="ran: ${ran[*]:-nothing}"
[[ ${#partial[@]} -gt 0 ]] && summary+="; in part: $(IFS=';'; echo "${partial[*]}" | sed 's/;/; /g')"
if [[ ${#failures[@]} -ne 0 ]]; then
  echo "test: FAILED: ${failures[*]} ($((SECONDS - started)) s); $summary"
  exit 1
fi
echo "test: all passed ($((SECONDS - started)) s); $summary"
