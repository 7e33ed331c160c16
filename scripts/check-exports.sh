#!/usr/bin/env bash
# Checks that the driver exports ZelMain and nothing else of its own.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
so="$top/build/linux64/libzelqkmr.so"
syms=$(nm -D --defined-only "$so" | awk '{print $3}' | sort -u)
if [ "$syms" != "ZelMain" ]; then
  echo "libzelqkmr.so exports more than ZelMain:" >&2; echo "$syms" >&2; exit 1
fi
dll="$top/build/win32/ZELQKMR.DLL"
if [ -f "$dll" ]; then
  exports=$(i686-w64-mingw32-objdump -p "$dll" | awk '/\[Ordinal\/Name Pointer\] Table/{f=1;next} f&&NF==0{f=0} f{print $NF}')
  if [ "$exports" != "ZelMain" ]; then
    echo "ZELQKMR.DLL exports: $exports" >&2; exit 1
  fi
fi
echo "exports: ZelMain only"
