#!/usr/bin/env bash
# The whole test suite: installs what it needs, builds every flavour and runs
# every test. Exits non-zero on the first failure.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
# shellcheck source=scripts/common.sh
. "$top/scripts/common.sh"
"$top/scripts/setup.sh"

run_ctest() { # flavour
  (cd "build/$1" && ctest --output-on-failure -j "$(nproc)" --timeout 300)
}

echo "== 64-bit Linux"
scripts/build.sh linux64
run_ctest linux64

echo "== 32-bit Linux"
scripts/build.sh linux32
# Where this kernel runs no 32-bit programs, the 32-bit tests run natively in
# the UART stage's qemu guest (scripts/test-uart.sh).
if runs_32bit; then
  run_ctest linux32
else
  echo "this kernel runs no 32-bit programs: the 32-bit tests run in the UART stage's guest"
fi

echo "== AddressSanitizer + UndefinedBehaviorSanitizer"
scripts/build.sh asan
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 run_ctest asan

echo "== 32-bit Windows (mingw-w64)"
scripts/build.sh win32
scripts/check-exports.sh

# The stages are CTest tests of the 64-bit build (tests/stages): the Wine
# suite, the packages, the extra runs and the UART stage, in that order.
echo "== the stages: Wine, packages, extra runs, UART"
ctest --test-dir build/linux64 -C stages -L stage --stop-on-failure --verbose
echo "== all tests passed"
