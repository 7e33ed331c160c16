#!/usr/bin/env bash
# Configures and builds one flavour into build/<flavour>:
#   linux64 (default), linux32 (-m32), asan (AddressSanitizer + UBSan), win32 (mingw-w64 DLLs)
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
flavour=${1:-linux64}
dir="$top/build/$flavour"
args=(-G Ninja -S "$top" -B "$dir")
case "$flavour" in
  linux64) ;;
  linux32)
    args+=(-DCMAKE_C_FLAGS=-m32 -DCMAKE_CXX_FLAGS=-m32 -DZEL_TOOLS_DIR="$top/build/linux64/tools")
    # Some kernels run no 32-bit programs (IA-32 emulation off); the tests
    # then run under qemu's user-mode emulator.
    probe=$(mktemp -d)
    echo 'int main(void){return 0;}' > "$probe/p.c"
    if gcc -m32 "$probe/p.c" -o "$probe/p" 2>/dev/null && ! "$probe/p" 2>/dev/null; then
      args+=(-DCMAKE_CROSSCOMPILING_EMULATOR=/usr/bin/qemu-i386)
      echo "build: 32-bit programs do not run natively here; tests run under qemu-i386"
    fi
    rm -rf "$probe" ;;
  asan) args+=(-DZEL_SANITIZE=address,undefined -DZEL_TOOLS_DIR="$top/build/linux64/tools") ;;
  tsan) args+=(-DZEL_SANITIZE=thread -DZEL_TOOLS_DIR="$top/build/linux64/tools") ;;
  win32) args+=(-DCMAKE_TOOLCHAIN_FILE="$top/cmake/mingw-i686.cmake" -DZEL_TESTS=OFF) ;;
  fuzz) args+=(-DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DZEL_FUZZ=ON -DZEL_TESTS=OFF
               -DZEL_TOOLS_DIR="$top/build/linux64/tools") ;;
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
cmake --build "$dir" -j "$(nproc)"
