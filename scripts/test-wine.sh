#!/usr/bin/env bash
# The Windows build under Wine: ZELQKMR.DLL loaded by a Windows test host
# (tests/wine/wintest.cpp) with the stand-in KAVPRO.dll.
#
#   1. serial: COM1 is mapped to a pseudo-terminal whose other end is the
#      simulated PLC; the host starts, reads, writes, restarts and ends a
#      channel and checks the log lines;
#   2. browse: under Xvfb the "Tag Format" dialog is driven with xdotool and
#      a screenshot is saved as build/wine/browse-dialog.png.
#
# The 32-bit DLL (build/win32, from scripts/build.sh win32) runs in a 32-bit
# prefix. On a machine whose kernel cannot run 32-bit programs (no IA-32
# emulation: Wine's 32-bit loader fails with "Exec format error") the same
# sources are built for 64-bit Windows and run with Wine's 64-bit loader
# instead; the script says so. ZEL_WINE_ARCH=win32|win64 forces a choice.
#
# Environment: ZEL_WINE_BUILD (build folder with the DLLs and wintest.exe),
# ZEL_TOOLS_DIR (zelsimplc), ZEL_WINE_STAGES ("serial browse"),
# ZEL_WINE_PREFIX (the Wine prefix; default build/wine-prefix/<arch>).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"

export WINEDEBUG=-all
tools=${ZEL_TOOLS_DIR:-$top/build/linux64/tools}
stages=${ZEL_WINE_STAGES:-serial browse}
out=$top/build/wine
mkdir -p "$out"

# shellcheck source=scripts/common.sh
. "$top/scripts/common.sh"
die() { echo "test-wine: $*" >&2; exit 1; }

# --- which Wine -----------------------------------------------------------------
arch=${ZEL_WINE_ARCH:-}
if [ -z "$arch" ]; then
  if runs_32bit; then
    arch=win32
  elif [ -x /usr/lib/wine/wine64 ]; then
    arch=win64
    echo "NOTE this kernel cannot run 32-bit programs: testing the 64-bit Windows build instead"
  else
    die "Wine cannot run here (install wine32:i386, or wine64 where 32-bit programs cannot run)"
  fi
fi
case "$arch" in
  win32)
    WINE=/usr/lib/wine/wine
    WINESERVER=/usr/lib/wine/wineserver32
    [ -x "$WINESERVER" ] || WINESERVER=/usr/lib/wine/wineserver64
    ;;
  win64)
    WINE=/usr/lib/wine/wine64
    WINESERVER=/usr/lib/wine/wineserver64
    ;;
  *) die "unknown ZEL_WINE_ARCH $arch" ;;
esac
if [ -n "${ZEL_WINE_BUILD:-}" ]; then
  build=$ZEL_WINE_BUILD
  cmake --build "$build" --target zelqkmr kavpro kavprorec wintest >/dev/null
else
  build=$top/build/$arch
  "$top/scripts/build.sh" "$arch" zelqkmr kavpro kavprorec wintest >/dev/null
fi
export WINEARCH=$arch WINELOADER=$WINE WINESERVER
export WINEPREFIX=${ZEL_WINE_PREFIX:-$top/build/wine-prefix/$arch}
for f in ZELQKMR.DLL KAVPRO.dll KAVPROREC.dll wintest.exe; do
  [ -f "$build/$f" ] || die "$build/$f is missing"
done

# --- cleanup --------------------------------------------------------------------
pids=()
cleanup() {
  # The wineserver goes first, before the Linux side of the pty is closed.
  timeout 20 "$WINESERVER" -k >/dev/null 2>&1 || true
  timeout 20 "$WINESERVER" -w >/dev/null 2>&1 || true
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  for p in "${pids[@]}"; do wait "$p" 2>/dev/null || true; done
}
trap cleanup EXIT

# --- prefix ---------------------------------------------------------------------
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  echo "== creating the $arch prefix $WINEPREFIX"
  mkdir -p "$(dirname "$WINEPREFIX")"
  timeout 300 "$WINE" wineboot -i >/dev/null 2>&1 || true
  timeout 60 "$WINESERVER" -w || true
  [ -f "$WINEPREFIX/system.reg" ] || die "prefix creation failed"
fi
# Draw captions without a window manager.
timeout 60 "$WINE" reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null 2>&1

# Maps COM1 and COM12 to the given tty and COM2 to one that does not exist,
# restarts the wineserver and checks the links: nothing may reach /dev/ttyS*.
map_ports() { # tty
  local missing="$out/no-such-tty"
  timeout 60 "$WINE" reg add 'HKLM\Software\Wine\Ports' /v COM1 /d "$1" /f >/dev/null 2>&1
  timeout 60 "$WINE" reg add 'HKLM\Software\Wine\Ports' /v COM12 /d "$1" /f >/dev/null 2>&1
  timeout 60 "$WINE" reg add 'HKLM\Software\Wine\Ports' /v COM2 /d "$missing" /f >/dev/null 2>&1
  timeout 20 "$WINESERVER" -k >/dev/null 2>&1 || true
  timeout 20 "$WINESERVER" -w >/dev/null 2>&1 || true
  timeout 60 "$WINE" reg query 'HKLM\Software\Wine\Ports' >/dev/null 2>&1 || true
  local link1 link2 link12
  for _ in $(seq 50); do
    link1=$(readlink "$WINEPREFIX/dosdevices/com1" || true)
    link2=$(readlink "$WINEPREFIX/dosdevices/com2" || true)
    link12=$(readlink "$WINEPREFIX/dosdevices/com12" || true)
    [ "$link1" = "$1" ] && [ "$link2" = "$missing" ] && [ "$link12" = "$1" ] && break
    sleep 0.2
  done
  [ "$link1" = "$1" ] || die "COM1 maps to '$link1', not to $1: aborting"
  [ "$link12" = "$1" ] || die "COM12 maps to '$link12', not to $1: aborting"
  [ "$link2" = "$missing" ] || die "COM2 maps to '$link2', not to $missing: aborting"
  echo "COM1 -> $link1, COM12 -> $link12, COM2 -> $link2"
}

# --- serial ---------------------------------------------------------------------
stage_serial() {
  echo "== serial line (COM1 on a pseudo-terminal)"
  [ -x "$tools/zelsimplc" ] || die "$tools/zelsimplc is missing (build the linux64 flavour first)"
  local run=$out/serial
  rm -rf "$run"
  mkdir -p "$run"
  # Channel 2 keys RTS by hand around each request.
  printf 'RTSCTS = YES\n' >"$run/ZELMR02.INT"
  "$tools/zelsimplc" --pty --station 1 --parity N >"$run/simplc.out" 2>"$run/simplc.err" &
  pids+=($!)
  local tty=""
  wait_ready "$run/simplc.out" || true
  tty=$(sed -n 's/^PTY //p' "$run/simplc.out")
  [ -n "$tty" ] && [ -c "$tty" ] || die "the simulated PLC did not start: $(cat "$run/simplc.err")"
  case "$tty" in /dev/ttyS*) die "refusing $tty" ;; esac
  map_ports "$tty"
  local rc=0
  (cd "$run" && timeout 180 "$WINE" "$build/wintest.exe" serial) >"$run/wintest.out" 2>"$run/wintest.err" || rc=$?
  tr -d '\r' <"$run/wintest.out"
  count_checks <"$run/wintest.out"
  tr -d '\r' <"$run/wintest.out" | grep ' passed, 0 failed$' >/dev/null && [ "$rc" = 0 ] && pass "wintest serial exits 0" ||
    fail "wintest serial exits $rc"
}

# --- browse ---------------------------------------------------------------------
# Waits until the file has at least n lines matching the pattern.
wait_lines() { # file pattern n seconds
  local i
  for ((i = 0; i < $4 * 10; i++)); do
    [ "$(tr -d '\r' <"$1" 2>/dev/null | grep -c -- "$2" || true)" -ge "$3" ] && return 0
    sleep 0.1
  done
  return 1
}

# Centre of a control of the latest dialog, from the host's CTRL lines;
# "upper"/"lower" give the centre of the upper or lower quarter instead, and
# "scrolldown" the down arrow of the control's own vertical scroll bar.
point() { # id [upper|lower|scrolldown]
  tr -d '\r' <"$log" | grep "^CTRL $1 " | tail -1 | awk -v part="${2:-}" '{
    x = int(($3 + $5) / 2); y = int(($4 + $6) / 2)
    if (part == "upper") y = int($4 + ($6 - $4) / 4)
    if (part == "lower") y = int($6 - ($6 - $4) / 4)
    if (part == "scrolldown") { x = $5 - 8; y = $6 - 5 }
    print x, y }'
}

xdo() { timeout 20 xdotool "$@"; }
click() { # id [part]
  # shellcheck disable=SC2046
  xdo mousemove $(point "$@") click 1
  sleep 0.3
}
keys() { xdo key --delay 80 "$@"; sleep 0.3; }
typed() { xdo type --delay 80 "$1"; sleep 0.3; }

dismiss_error() { # expected text
  local box
  if box=$(xdo search --sync --onlyvisible --name '^Error$' | head -1) && [ -n "$box" ]; then
    pass "message box \"Error\" is shown ($1)"
    wait_lines "$log" "^MSGBOX $1\$" 1 10 || true
    xdo windowfocus --sync "$box" || true
    keys Return
    for _ in $(seq 50); do
      xdo search --onlyvisible --name '^Error$' >/dev/null 2>&1 || break
      sleep 0.1
    done
  else
    fail "no message box \"Error\" for $1"
  fi
}

# A control of the dialog by its name in browse/dialog_ids.h, which the
# resource script and the dialog procedure are built from.
control() { # ZEL_IDC_...
  local id
  id=$(sed -n "s/^#define $1 \([0-9][0-9]*\)$/\1/p" "$top/browse/dialog_ids.h")
  [ -n "$id" ] || die "browse/dialog_ids.h defines no $1"
  echo "$id"
}

stage_browse() {
  echo "== browse dialog (Xvfb, xdotool)"
  local plc_number address plc_arrows bit_number ok=1 # ok: IDOK, Windows' own
  plc_number=$(control ZEL_IDC_PLC_NUMBER)
  address=$(control ZEL_IDC_ADDRESS)
  plc_arrows=$(control ZEL_IDC_PLC_ARROWS)
  bit_number=$(control ZEL_IDC_BIT_NUMBER)
  local run=$out/browse
  rm -rf "$run"
  mkdir -p "$run"
  log=$run/wintest.out
  exec 3>"$run/display"
  Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp >"$run/xvfb.log" 2>&1 &
  pids+=($!)
  exec 3>&-
  for _ in $(seq 100); do [ -s "$run/display" ] && break; sleep 0.1; done
  [ -s "$run/display" ] || die "Xvfb did not start"
  export DISPLAY=":$(head -1 "$run/display")"
  # A wineserver left from an earlier stage serves a desktop without a
  # display: windows could not be created. Start afresh on this display.
  timeout 20 "$WINESERVER" -k >/dev/null 2>&1 || true
  timeout 20 "$WINESERVER" -w >/dev/null 2>&1 || true

  local rc=0
  (cd "$run" && timeout 240 "$WINE" "$build/wintest.exe" browse) >"$log" 2>"$run/wintest.err" &
  local host=$!

  # First dialog: owned by the host window (version 820).
  if ! wait_lines "$log" '^READY' 1 90; then
    fail "the dialog did not appear"
  else
    local dialog
    dialog=$(xdo search --onlyvisible --name '^Tag Format$' | head -1)
    [ -n "$dialog" ] && pass "xdotool finds the window \"Tag Format\"" || fail "no window \"Tag Format\""
    sleep 0.5
    import -window root "$out/browse-dialog.png"
    xdo windowfocus --sync "$dialog" || true
    keys Return                                # OK on the empty form
    dismiss_error "missing value!"
    click "$plc_number"                        # PLC number: 12
    keys End BackSpace BackSpace BackSpace BackSpace
    typed 12
    keys Tab                                   # memory type: the item starting with 4
    typed 4
    keys Tab                                   # address: 123, one digit short
    typed 123
    keys Return
    dismiss_error "Wrong address! (4 decimal digits)"
    click "$address"
    keys End BackSpace BackSpace BackSpace BackSpace BackSpace BackSpace
    typed 0123
    click "$plc_arrows" upper                  # PLC number 12 -> 13 -> 14 -> 13
    click "$plc_arrows" upper
    click "$plc_arrows" lower
    for _ in 1 2 3 4 5 6; do                   # bit list: from "None" six down to "5"
      click "$bit_number" scrolldown
    done
    import -window root "$out/browse-dialog-filled.png"
    click "$ok"                                # OK
  fi

  # Second dialog: no owner (version 819); Esc leaves it.
  if wait_lines "$log" '^READY' 2 30; then
    local second
    second=$(xdo search --onlyvisible --name '^Tag Format$' | head -1)
    xdo windowfocus --sync "$second" || true
    keys Escape
  else
    fail "the second dialog did not appear"
  fi

  wait "$host" || rc=$?
  tr -d '\r' <"$log"
  count_checks <"$log"
  tr -d '\r' <"$log" | grep ' passed, 0 failed$' >/dev/null && [ "$rc" = 0 ] && pass "wintest browse exits 0" ||
    fail "wintest browse exits $rc"
  [ -s "$out/browse-dialog.png" ] && pass "screenshot $out/browse-dialog.png" ||
    fail "no screenshot"
}

for stage in $stages; do
  "stage_$stage"
done
echo "wine ($arch): $passed passed, $failed failed"
[ "$failed" = 0 ] && [ "$passed" -gt 0 ]
