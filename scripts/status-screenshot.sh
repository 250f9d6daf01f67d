#!/bin/sh
# Writes docs/gateway-status.png, the status page in the gateway guide:
# three simulated panels (one of them silent) behind a zulgate of the
# native build, photographed by headless chromium.
# Usage: scripts/status-screenshot.sh [build folder, default build/native]
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build/native}
ZUL_STATUS_SCREENSHOT="$root/docs/gateway-status.png" \
    "$build/tests/gateway/zulgate_run_tests" --gtest_filter=Status.Screenshot
echo "wrote $root/docs/gateway-status.png"
