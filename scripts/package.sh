#!/usr/bin/env bash
# Builds the packages into build/packages:
#   zelqkmr_<version>_<arch>.deb   the 64-bit Linux build (driver, zelhost,
#                                  tools, stand-in libraries, docs)
#   zelqkmr-<version>-win32.zip    the 32-bit Windows DLL for integrators
# They are made from build/linux64 and build/win32, the builds the test suite
# tests (built here when missing or out of date); CPack strips the binaries.
# The version is the one in the top CMakeLists.txt.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
ZEL_SETUP_WINE=0 "$top/scripts/setup.sh"
"$top/scripts/build.sh" linux64 >/dev/null
"$top/scripts/build.sh" win32 >/dev/null

out=$top/build/packages
rm -rf "$out"
mkdir -p "$out"
for flavour in linux64 win32; do
  log=$out/cpack-$flavour.log
  if ! cpack --config "$top/build/$flavour/CPackConfig.cmake" -B "$out" >"$log" 2>&1; then
    cat "$log"
    echo "package: cpack failed for $flavour" >&2
    exit 1
  fi
done
rm -rf "$out/_CPack_Packages"
echo "packages in $out:"
ls -l "$out"/*.deb "$out"/*.zip
