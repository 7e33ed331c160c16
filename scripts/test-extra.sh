#!/usr/bin/env bash
# End-to-end checks that scripts/test.sh runs after the test suites, on the
# 64-bit Linux build it has made.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"

echo "-- zelhost demo: the driver against the simulated PLC"
build/linux64/zelhost demo 2>&1
