#!/usr/bin/env bash
# The demo on a fresh Debian 12 machine: installs what it needs (no Wine),
# builds the 64-bit Linux driver, the command-line host and the simulated
# PLC, and runs `zelhost demo`. Extra arguments go to the demo.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
ZEL_SETUP_WINE=0 "$top/scripts/setup.sh"
"$top/scripts/build.sh" linux64 zelqkmr zelhost zelsimplc zellineemu
exec "$top/build/linux64/zelhost" demo "$@"
