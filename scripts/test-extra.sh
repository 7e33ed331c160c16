#!/usr/bin/env bash
# End-to-end checks that scripts/test.sh runs after the test suites, on the
# 64-bit Linux build it has made.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"

echo "-- zelhost demo: the driver against the simulated PLC"
build/linux64/zelhost demo 2>&1

echo "-- zelbench --quick: the driver against libmodbus on the simulated PLC"
# Prints the figures; fails only on a crash, a failed transaction or a wrong
# value (never on a ratio).
if [ -x build/linux64/zelbench ]; then
  build/linux64/zelbench --quick
else
  echo "zelbench not built (needs libmodbus-dev and libcli11-dev)"
fi

echo "-- robustness: fuzzing, soak and late replies, two threads, memcheck"
scripts/robustness.sh
