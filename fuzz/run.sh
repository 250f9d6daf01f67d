#!/usr/bin/env bash
# Builds the libFuzzer targets with clang in build/fuzz and runs each one for
# a bounded time on a fresh copy of its seed corpus (the committed corpus in
# fuzz/corpus never grows). Exits non-zero if a target cannot be built,
# finds a crash, or breaks one of its invariants.
#
#   bash fuzz/run.sh [SECONDS] [TARGET...]    (default: 60 s each, all of them, two at a time)
#
# ZUL_FUZZ_RUNS=N also stops each target after N executions. Inputs that
# failed are kept in build/fuzz/artifacts/; replay one with
#   ZUL_FUZZ_TRACE=1 build/fuzz/fuzz/<target> <file>
set -uo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-60}
shift || true
targets=("$@")
[[ ${#targets[@]} -gt 0 ]] || targets=(fuzz_frame fuzz_address fuzz_points fuzz_zulmain fuzz_decode fuzz_gateway fuzz_mqtt_set fuzz_bacnet fuzz_status fuzz_telnet)
if ! [[ $seconds =~ ^[0-9]+$ ]] || [[ $seconds -lt 1 ]]; then
  echo "fuzz: the time per target must be a whole number of seconds, not '$seconds'" >&2
  exit 2
fi

build=build/fuzz
cxx=${CXX_FUZZ:-clang++}
if ! command -v "$cxx" >/dev/null; then
  echo "fuzz: $cxx not found (libFuzzer needs clang; scripts/setup.sh installs it)" >&2
  exit 1
fi

mkdir -p "$build"
cmake -S . -B "$build" -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DZUL_FUZZ=ON -DZUL_TESTS=OFF -DZUL_BENCH=OFF >"$build/configure.log" 2>&1 ||
  { cat "$build/configure.log" >&2; echo "fuzz: configure failed" >&2; exit 1; }
cmake --build "$build" -j2 --target "${targets[@]}" ||
  { echo "fuzz: build failed" >&2; exit 1; }

# Longest inputs worth trying: a frame a little beyond the 590-byte buffer,
# an address text beyond the 32-character working copy, room for scripts.
max_len() {
  case $1 in
    fuzz_frame) echo 1400 ;;
    fuzz_address) echo 80 ;;
    *) echo 4096 ;;
  esac
}

# One target's run, its outcome in $build/TARGET.result (a line of summary,
# then "ok" or "FAILED").
fuzz_one() {
  local target=$1
  local work=$build/work/$target artifacts=$build/artifacts/$target log=$build/$target.log
  rm -rf "$work"
  mkdir -p "$work" "$artifacts"
  cp fuzz/corpus/"$target"/* "$work"/ 2>/dev/null || true
  local options=(-max_total_time="$seconds" -max_len="$(max_len "$target")" -timeout=20 -rss_limit_mb=2048
                 -print_final_stats=1 -artifact_prefix="$artifacts/")
  [[ -n ${ZUL_FUZZ_RUNS:-} ]] && options+=(-runs="$ZUL_FUZZ_RUNS")
  local before after rc runs time cov
  before=$(ls "$artifacts" | wc -l)
  "$build/fuzz/$target" "${options[@]}" "$work" >"$log" 2>&1
  rc=$?
  after=$(ls "$artifacts" | wc -l)
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  time=$(sed -n 's/^Done [0-9]* runs in \([0-9]*\) second.*/\1/p' "$log" | tail -1)
  cov=$(grep -o 'cov: [0-9]* ft: [0-9]*' "$log" | tail -1)
  {
    echo "$target: ${runs:-?} runs in ${time:-?} s, ${cov:-no coverage line}"
    if [[ $rc -ne 0 || $after -gt $before ]]; then echo "FAILED (exit $rc)"; else echo ok; fi
  } >"$build/$target.result"
}

# Two targets at a time: each is one process on one core.
running=0
for target in "${targets[@]}"; do
  echo "=== $target: up to $seconds s"
  fuzz_one "$target" &
  running=$((running + 1))
  if [[ $running -ge 2 ]]; then
    wait -n
    running=$((running - 1))
  fi
done
wait

failures=()
summary=()
for target in "${targets[@]}"; do
  summary+=("$(head -1 "$build/$target.result")")
  if [[ $(sed -n 2p "$build/$target.result") != ok ]]; then
    grep -E 'fuzz invariant broken|ERROR: |runtime error|SUMMARY' "$build/$target.log" | head -5 >&2
    echo "=== $target: $(sed -n 2p "$build/$target.result"); see $build/$target.log and $build/artifacts/$target" >&2
    failures+=("$target")
  fi
done

echo
printf '%s\n' "${summary[@]}"
if [[ ${#failures[@]} -ne 0 ]]; then
  echo "fuzz: FAILED: ${failures[*]}" >&2
  exit 1
fi
echo "fuzz: no crash and no broken invariant"
