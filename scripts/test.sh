#!/usr/bin/env bash
# Every test: installs what is missing (scripts/setup.sh), then configures,
# builds and tests the native, asan and win32 presets in turn, and gives each
# fuzz target a bounded run (about a minute). The win32 tests run the DLL
# under wine. A preset that cannot be configured or built
# counts as failed, and so does one that could not run at all: nothing is
# skipped quietly. Exits non-zero if anything failed.
#
#   bash scripts/test.sh [PRESET...]     (default: native asan win32 fuzz)
set -uo pipefail
cd "$(dirname "$0")/.."

presets=("$@")
[[ ${#presets[@]} -gt 0 ]] || presets=(native asan win32 fuzz)
started=$SECONDS
failures=()

if ! bash scripts/setup.sh; then
  echo "test: setup failed; the tools above are missing" >&2
  if [[ ${CI:-} == true ]]; then
    exit 1
  fi
  failures+=("setup")
fi

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
  if [[ $preset == fuzz ]]; then
    step fuzz "bounded runs" bash fuzz/run.sh "${ZUL_FUZZ_SECONDS:-60}"
    continue
  fi
  step "$preset" configure cmake --preset "$preset" || continue
  step "$preset" build cmake --build --preset "$preset" || continue
  # The win32 suite uses the native simulator, so the native build comes first.
  step "$preset" test ctest --preset "$preset" --output-on-failure || continue
done

echo
if [[ ${#failures[@]} -ne 0 ]]; then
  echo "test: FAILED: ${failures[*]} ($((SECONDS - started)) s)"
  exit 1
fi
echo "test: all presets passed: ${presets[*]} ($((SECONDS - started)) s)"
