#!/bin/bash
# The guest's half of the UART stage (scripts/test-uart.sh starts it inside
# its qemu guest, chrooted into the host's root under a RAM overlay).
#
# On each of the guest's own ports in PORTS, /dev/ttyS1 (a 16550A) and
# /dev/ttyUSB0 (qemu's FTDI adapter), whose far ends are simulated PLCs
# behind line emulators on the host: tests/test_uart, then zelhost's read,
# write, poll, exception, silent-station, port-in-use and RTS checks and a
# gap run. With GUEST32=1 also build/linux32's ctest and the i686 Wine suite,
# natively on this kernel. Prints one "PASS ..."/"FAIL ..." line per check
# (and "NOTE ..." lines) on the console, each named by its port; the details
# go to the run folder given as $1, on the share the host reads.
#
# Never run it on the host: it opens /dev/ttyS1.
set -uo pipefail
run=${1:?run folder}
top=$(cd "$(dirname "$0")/.." && pwd)
# PORTS, UART_BAUD, UART_PARITY, UART_STATION, GUEST32, WINE_STAGES, WINE_CACHE
# shellcheck disable=SC1091
. "$run/env"
b64=$top/build/linux64

# shellcheck source=scripts/common.sh
. "$top/scripts/common.sh"
note() { echo "NOTE $*"; }
uptime_s() { cut -d' ' -f1 /proc/uptime; }
# Whole seconds since an uptime_s reading.
seconds_since() { awk -v a="$1" -v b="$(uptime_s)" 'BEGIN { printf "%.0f", b - a }'; }

if [ "${ZEL_IN_UART_GUEST:-}" != 1 ]; then
  echo "uart-guest.sh runs only inside the UART stage's guest" >&2
  exit 2
fi

echo "== the guest: Linux $(uname -r), $PORTS at $UART_BAUD baud 8${UART_PARITY}1"
port=$(grep '^1: ' /proc/tty/driver/serial || true)
case "$port" in
  *uart:16550A*) pass "ttyS1 is a 16550A on the 8250 driver ($port)" ;;
  *) fail "ttyS1 is not a 16550A: '$port'" ;;
esac
# The USB adapter comes up a few seconds after the boot.
t0=$(uptime_s)
for _ in $(seq 600); do
  [ -e /dev/ttyUSB0 ] && break
  sleep 0.1
done
usb_driver=$(basename "$(readlink /sys/class/tty/ttyUSB0/device/driver 2>/dev/null)" 2>/dev/null)
if [ "$usb_driver" = ftdi_sio ]; then
  pass "ttyUSB0 is an FTDI adapter on ftdi_sio (there $(seconds_since "$t0") s after the 16550A)"
else
  fail "ttyUSB0 is no FTDI adapter on ftdi_sio: driver '${usb_driver:-none}' ($(dmesg | grep -m1 -iE 'ftdi|usb.*serial' || echo 'nothing in dmesg'))"
fi

work=$(mktemp -d)
cd "$work" || exit 1
export KAVPRO_QUIET=1

# What holding register i (from 0) of the PLC holds, as the PLC says.
holding() { "$b64/tools/zelsimplc" --value holding --element "$1"; }

# Every check of one port; its lines are named by the port ("ttyS1: ...").
port_checks() {
  local dev=$1 name
  name=$(basename "$dev")
  if [ ! -e "$dev" ]; then
    fail "$name: no such port, its checks are left out"
    return
  fi

  # A port name holds 11 characters: a longer path (/dev/ttyUSB0) is reached
  # as COMn through a link in the port directory, as a user maps an adapter.
  local portname=$dev n
  if [ ${#dev} -gt 11 ]; then
    n=$((${#comlinks[@]} + 1))
    ln -sfn "$dev" "$ZEL_COMDIR/com$n"
    comlinks+=("$dev")
    portname=COM$n
    note "$name: the driver is given COM$n, a link to $dev"
  fi

  # --- tests/test_uart --------------------------------------------------------------------
  echo "== $name: tests/test_uart"
  local t0 rc=0
  t0=$(uptime_s)
  ZEL_UART_DEVICE=$dev ZEL_UART_PORT=$portname ZEL_UART_BAUD=$UART_BAUD ZEL_UART_PARITY=$UART_PARITY \
    ZEL_UART_STATION=$UART_STATION timeout 300 "$b64/tests/test_uart" >"$run/$name-test_uart.log" 2>&1 || rc=$?
  # One line per test: a test that skips here, with the device named, failed to
  # find what it needs.
  sed -n -E "s/^\[       OK \] ([^ ]+) \([0-9]+ ms\)$/PASS $name: uart \1/p
             s/^\[  FAILED  \] ([^ ]+) \([0-9]+ ms\)$/FAIL $name: uart \1 (build\/uart\/share\/run\/$name-test_uart.log)/p
             s/^\[  SKIPPED \] ([^ ]+) \([0-9]+ ms\)$/FAIL $name: uart \1 skipped on a real port/p
             s/^NOTE (.*)$/NOTE $name: \1/p" "$run/$name-test_uart.log"
  grep -q '^\[==========\] .* ran\.' "$run/$name-test_uart.log" ||
    fail "$name: uart: test_uart did not finish (exit $rc, build/uart/share/run/$name-test_uart.log)"
  note "$name: test_uart took $(seconds_since "$t0") s"

  # --- zelhost --------------------------------------------------------------------------
  echo "== $name: zelhost read, write and poll"
  local line=(-p "$portname" -b "$UART_BAUD" --parity "$UART_PARITY") st other
  st=$(printf '%02d' "$UART_STATION")
  local log=$run/$name-zelhost.log
  # Runs zelhost; its output is in $out, its error output in $err, its exit code in $zrc.
  zh() {
    zrc=0
    out=$(timeout 60 "$b64/zelhost" "$@" 2>"$work/err") || zrc=$?
    err=$(cat "$work/err")
    printf '$ zelhost %s\n%s\n%s\n(exit %s)\n' "$*" "$out" "$err" "$zrc" >>"$log"
  }
  # check NAME EXPECTED-EXIT EXPECTED-OUTPUT-LINES...: every line must be in $out.
  check() {
    local what=$1 want_rc=$2 missing="" want
    shift 2
    for want in "$@"; do
      grep -qxF -- "$want" <<<"$out" || missing="$missing [$want]"
    done
    if [ "$zrc" = "$want_rc" ] && [ -z "$missing" ]; then
      pass "$name: zelhost $what"
    else
      fail "$name: zelhost $what: exit $zrc (want $want_rc), missing:${missing:- nothing} ${err:+; $(tail -1 <<<"$err")}"
    fi
  }

  zh read "${line[@]}" "${st}40010" "${st}00001" "${st}30001"
  check "read of a holding register, a coil and an input register" 0 \
    "${st}40010 = $(holding 9)" "${st}00001 = 1" "${st}30001 = 32769 (signed -32767)"
  zh write "${line[@]}" "${st}40020" 12345
  check "write of a register" 0 "${st}40020 := 12345"
  zh read "${line[@]}" "${st}40020"
  check "read-back of the written register" 0 "${st}40020 = 12345"
  zh write "${line[@]}" "${st}70001" 3.25
  zh read "${line[@]}" "${st}70001"
  check "write and read-back of a float" 0 "${st}70001 = 3.25"
  zh write "${line[@]}" "${st}40100" 1 2 3
  zh read "${line[@]}" "${st}40100" -n 3
  check "block write and block read" 0 "${st}40100 = 1" "${st}40101 = 2" "${st}40102 = 3"
  zh poll "${line[@]}" "${st}40010" "${st}00001" -i 100 -c 3
  check "poll of two gates, three rounds" 0 "poll ended after 3 round(s): 6 good, 0 failed transaction(s)"
  zh read "${line[@]}" "${st}31001"
  if grep -q "Illegal Data Address" <<<"$err" && [ "$zrc" = 1 ]; then
    pass "$name: zelhost read beyond the PLC's map: exception reply \"Illegal Data Address\", exit 1"
  else
    fail "$name: zelhost read beyond the PLC's map: exit $zrc, $(tail -1 <<<"$err")"
  fi
  other=$(printf '%02d' $((UART_STATION + 1)))
  zh read "${line[@]}" -t 300 "${other}40010"
  if grep -q "timeout" <<<"$err" && [ "$zrc" = 1 ]; then
    pass "$name: zelhost read from a station that does not answer: time-out, exit 1"
  else
    fail "$name: zelhost read from a station that does not answer: exit $zrc, $(tail -1 <<<"$err")"
  fi

  # A port held by another program (here another zelhost) is reported as in use.
  timeout 60 "$b64/zelhost" poll "${line[@]}" "${st}40010" -i 200 -c 15 >"$work/holder.out" 2>&1 &
  local holder=$!
  for _ in $(seq 200); do
    grep -q '^round 1' "$work/holder.out" && break
    sleep 0.1
  done
  zh read "${line[@]}" "${st}40010"
  if [ "$zrc" = 3 ]; then
    pass "$name: zelhost on a port that another zelhost holds: exit 3 ($(tail -1 <<<"$err"))"
  else
    fail "$name: zelhost on a port that another zelhost holds: exit $zrc, want 3"
  fi
  if wait "$holder"; then
    pass "$name: zelhost poll kept the port through another program's try"
  else
    fail "$name: zelhost poll holding the port failed"
  fi

  # RTS keyed around each request (RTSCTS = YES): both ports have the modem line.
  mkdir -p "$work/rts"
  printf 'RTSCTS = YES\n' >"$work/rts/ZELMR01.INT"
  cd "$work/rts" || return
  zh -l 0 read "${line[@]}" "${st}40010" "${st}40011"
  cd "$work" || return
  if [ "$zrc" = 0 ] && grep -qF "reading initfile 'ZELMR01.INT'" <<<"$err" &&
    ! grep -qE "EscapeCommFunction\(\) failed|RTSCTS" <<<"$err" &&
    grep -qxF "${st}40010 = $(holding 9)" <<<"$out"; then
    pass "$name: zelhost with RTSCTS = YES: values right, no \"EscapeCommFunction() failed\" in the log"
  else
    fail "$name: zelhost with RTSCTS = YES: exit $zrc, $(grep -m1 -E 'EscapeCommFunction|RTSCTS|initfile' <<<"$err")"
  fi

  # The gap run: ten registers back to back in one call; the host measures the
  # silence before each request in the line emulator's trace.
  local gates=() want=() i
  for i in $(seq 3331 3340); do
    gates+=("${st}4$i")
    want+=("${st}4$i = $(holding $((i - 1)))")
  done
  zh read "${line[@]}" "${gates[@]}"
  check "read of ten registers back to back (the gap run)" 0 "${want[@]}"
}

export ZEL_COMDIR=$work/ports
mkdir -p "$ZEL_COMDIR"
comlinks=()
for dev in $PORTS; do
  port_checks "$dev"
done

# --- the 32-bit product ---------------------------------------------------------------------
if [ "${GUEST32:-0}" = 1 ]; then
  echo "== 32-bit Linux: build/linux32's ctest, natively on the guest's kernel"
  # The device server tests (and the Wine suite's network stage) talk to
  # ser2net on 127.0.0.1: the guest's loopback has to be up.
  ip link set lo up 2>/dev/null || ifconfig lo 127.0.0.1 up 2>/dev/null || true
  if runs_32bit; then
    pass "the guest's kernel runs 32-bit programs"
  else
    fail "the guest's kernel does not run 32-bit programs"
  fi
  # Where the host could not run them, the build runs its tests under
  # qemu-i386; here they run natively: the emulator (in this guest's RAM
  # overlay only) hands the program to the kernel.
  if grep -q '^CMAKE_CROSSCOMPILING_EMULATOR:.*qemu-i386' "$top/build/linux32/CMakeCache.txt"; then
    printf '#!/bin/sh\nexec "$@"\n' >/usr/bin/qemu-i386
    chmod 755 /usr/bin/qemu-i386
    note "build/linux32 runs its tests under qemu-i386; in the guest they run natively"
  fi
  t0=$(uptime_s)
  rc=0
  (cd "$top/build/linux32" && timeout 480 ctest -j 2 --timeout 300 --output-on-failure) \
    >"$run/ctest32.log" 2>&1 || rc=$?
  summary=$(grep -E '^[0-9]+% tests passed' "$run/ctest32.log" | tail -1)
  awk '/^The following tests FAILED:/ { listed = 1; next }
       listed && match($0, /^[[:space:]]+[0-9]+ - /) {
         print "FAIL linux32 " substr($0, RLENGTH + 1) " (build/uart/share/run/ctest32.log)"; next }
       { listed = 0 }' "$run/ctest32.log"
  if [ "$rc" = 0 ] && [ -n "$summary" ]; then
    pass "linux32 ctest in the guest: $summary"
  else
    fail "linux32 ctest in the guest: exit $rc, ${summary:-no summary} (build/uart/share/run/ctest32.log)"
  fi
  note "linux32 ctest took $(seconds_since "$t0") s"

  echo "== i686 Wine: scripts/test-wine.sh with build/win32 ($WINE_STAGES)"
  t0=$(uptime_s)
  # The prefix lives in RAM: Wine makes one there in about two minutes, and
  # far more slowly on the share. A tarball of it on the share, made right
  # after the prefix and before any test, saves that on later runs for as
  # long as the same Wine is installed.
  prefix=/tmp/wine-prefix-win32
  wine_version=$(dpkg-query -W -f='${Version}' wine32:i386 2>/dev/null)
  kept=$WINE_CACHE/prefix-$wine_version.tar
  if [ -f "$kept" ] && timeout 300 tar -C /tmp -b 512 -xf "$kept" && [ -f "$prefix/system.reg" ]; then
    note "Wine prefix from build/uart/share/wine-cache (Wine $wine_version)"
  else
    rm -rf "$prefix"
    wineserver=/usr/lib/wine/wineserver32
    [ -x "$wineserver" ] || wineserver=/usr/lib/wine/wineserver64
    WINEPREFIX=$prefix WINEARCH=win32 WINEDEBUG=-all timeout 300 /usr/lib/wine/wine wineboot -i \
      >"$run/wineboot.log" 2>&1
    WINEPREFIX=$prefix timeout 60 "$wineserver" -w
    if [ -f "$prefix/system.reg" ]; then
      rm -rf "$WINE_CACHE"
      mkdir -p "$WINE_CACHE"
      # Large records: every read and write is a round trip over 9p.
      timeout 300 tar -C /tmp -b 512 -cf "$kept.new" "$(basename "$prefix")" && sync &&
        mv "$kept.new" "$kept"
      note "Wine prefix made afresh in $(seconds_since "$t0") s and kept (Wine $wine_version)"
    else
      fail "wine32: no Wine prefix could be made (build/uart/share/run/wineboot.log)"
    fi
  fi
  ZEL_WINE_ARCH=win32 ZEL_WINE_STAGES="$WINE_STAGES" ZEL_WINE_PREFIX="$prefix" \
    timeout 720 "$top/scripts/test-wine.sh" 2>&1 | tr -d '\r' | tee "$run/wine32.log" |
    sed -n -E 's/^(PASS|FAIL) (.*)$/\1 wine32: \2/p'
  rc=${PIPESTATUS[0]}
  total=$(grep -E '^wine \(win32\): ' "$run/wine32.log" | tail -1)
  if [ "$rc" = 0 ] && [ -n "$total" ]; then
    note "$total"
  else
    fail "wine32: scripts/test-wine.sh exit $rc${total:+, $total} (build/uart/share/run/wine32.log)"
  fi
  note "the Wine suite took $(seconds_since "$t0") s"
fi
cd / && rm -rf "$work"
