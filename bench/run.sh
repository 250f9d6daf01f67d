#!/usr/bin/env bash
# Builds the benchmark (Release, in build/bench) and prints its tables, in
# markdown, to stdout; build output and progress go to stderr. The tables are
# kept in docs/development.md (Benchmarks) and docs/gateway.md (Measurements).
#
#   bash bench/run.sh [zul_bench options]   (e.g. --sections codec)
set -euo pipefail
cd "$(dirname "$0")/.."

build=build/bench
{
  cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DZUL_BENCH=ON -DZUL_TESTS=OFF
  cmake --build "$build" --target zul_bench -j2
} >&2
echo "bench: load average before the run: $(cut -d' ' -f1-3 /proc/loadavg)" >&2
KORVAN_QUIET=1 "$build/bench/zul_bench" "$@"
echo "bench: these tables are kept in docs/development.md (Benchmarks; the gateway's in docs/gateway.md, Measurements)" >&2
