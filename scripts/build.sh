#!/usr/bin/env bash
# Configures and builds one flavour into build/<flavour>; every script that
# needs a build comes here. With targets, only those are built.
#   linux64 (default)  the driver, zelhost, the tools, the tests
#   linux32            -m32 (the tests run under qemu-i386 where this kernel
#                      runs no 32-bit programs)
#   asan               AddressSanitizer + UndefinedBehaviorSanitizer
#   tsan               ThreadSanitizer
#   fuzz               clang with the libFuzzer targets
#   win32, win64       the Windows DLLs and the Wine test host (mingw-w64)
# Usage: scripts/build.sh [FLAVOUR [TARGET...]]
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
# shellcheck source=scripts/common.sh
. "$top/scripts/common.sh"
flavour=${1:-linux64}
[ $# -gt 0 ] && shift
dir="$top/build/$flavour"
tools="$top/build/linux64/tools"
args=(-G Ninja -S "$top" -B "$dir")
case "$flavour" in
  linux64) ;;
  linux32)
    args+=(-DCMAKE_C_FLAGS=-m32 -DCMAKE_CXX_FLAGS=-m32 -DZEL_TOOLS_DIR="$tools")
    if ! runs_32bit; then
      args+=(-DCMAKE_CROSSCOMPILING_EMULATOR=/usr/bin/qemu-i386)
      echo "build: 32-bit programs do not run natively here; tests run under qemu-i386"
    fi ;;
  asan) args+=(-DZEL_SANITIZE=address,undefined -DZEL_TOOLS_DIR="$tools") ;;
  tsan) args+=(-DZEL_SANITIZE=thread -DZEL_TOOLS_DIR="$tools") ;;
  win32) args+=(-DCMAKE_TOOLCHAIN_FILE="$top/cmake/mingw-i686.cmake" -DZEL_TESTS=OFF) ;;
  win64) args+=(-DCMAKE_TOOLCHAIN_FILE="$top/cmake/mingw-x86_64.cmake" -DZEL_TESTS=OFF) ;;
  fuzz) args+=(-DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DZEL_FUZZ=ON -DZEL_TESTS=OFF
               -DZEL_TOOLS_DIR="$tools") ;;
  *) echo "unknown flavour $flavour" >&2; exit 2 ;;
esac
# Configures again when the flavour's options differ from the last run's (a
# kept cache would keep the old compiler, emulator or flags).
stamp="$dir/zel-configure-args"
want=$(printf '%s\n' "${args[@]}")
if [ ! -f "$dir/build.ninja" ] || [ "$(cat "$stamp" 2>/dev/null)" != "$want" ]; then
  rm -f "$dir/CMakeCache.txt"
  cmake "${args[@]}" >/dev/null
  printf '%s\n' "$want" >"$stamp"
fi
targets=()
[ $# -gt 0 ] && targets=(--target "$@")
cmake --build "$dir" -j "$(nproc)" "${targets[@]}"
