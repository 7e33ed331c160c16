#!/usr/bin/env bash
# Installs what building, testing and the demo need on Debian 12 (as root).
# Set ZEL_SETUP_WINE=0 to leave out Wine and the X tools.
set -euo pipefail

packages=(cmake ninja-build g++ g++-multilib g++-mingw-w64-i686 binutils-mingw-w64-i686
  googletest libgtest-dev libgmock-dev libmodbus-dev libcli11-dev clang libclang-rt-14-dev
  valgrind gnuplot-nox qemu-user
  dpkg-dev file unzip # packages: dpkg-shlibdeps (through file) for the .deb, unzip to check the zip
  help2man # zelhost's manual page, from its help
  qemu-system-x86 busybox-static cpio # the UART stage: a qemu guest with a 16550A
  ser2net iproute2) # a serial device server in front of the simulated PLC (raw TCP, RFC 2217)
wine_packages=(wine wine32:i386 xvfb xdotool imagemagick x11-apps
  wine64 g++-mingw-w64-x86-64-win32) # 64-bit pair: Wine test where 32-bit programs cannot run

missing=()
for p in "${packages[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if [ "${ZEL_SETUP_WINE:-1}" != 0 ]; then
  dpkg --print-foreign-architectures | grep -qx i386 || dpkg --add-architecture i386
  for p in "${wine_packages[@]}"; do
    dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
  done
fi

if [ ${#missing[@]} -gt 0 ]; then
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO=sudo
  echo "setup: installing ${missing[*]}"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
