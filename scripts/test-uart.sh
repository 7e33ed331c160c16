#!/usr/bin/env bash
# The UART stage: the driver on a real 16550A UART and on a USB-serial
# adapter, and the 32-bit product on a kernel that runs it, inside a qemu
# guest.
#
# The guest boots Debian's own kernel (the package linux-image-amd64 depends
# on, fetched by name and unpacked, never installed) into a busybox
# initramfs under TCG. It mounts the host's root read-only over 9p with a RAM
# overlay on top, so that it can write anywhere without touching the host,
# and chroots into it: it runs this checkout's build trees as they are. One
# host folder, build/uart/share, is shared writable: the guest leaves its logs
# there (run/) and keeps a tarball of its Wine prefix (wine-cache/).
#
# The guest has two ports, each on a line of its own: ttyS1, a 16550A on the
# kernel's 8250 driver, and ttyUSB0, qemu's emulated FTDI adapter on an xHCI
# controller (ftdi_sio). The other end of each is side A of a line emulator
# on the host (zellineemu, paced at 19200 baud 8E1); a simulated PLC
# (zelsimplc) serves each side B. Inside the guest, scripts/uart-guest.sh
# runs tests/test_uart and zelhost's checks on both ports. Afterwards this
# script has each emulator judge, from its trace, the silence before each
# request of a run of back-to-back reads (zellineemu --gaps).
#
# The 32-bit product: where this kernel runs no 32-bit programs, or with
# ZEL_UART_GUEST32=1, the guest also runs build/linux32's ctest and the i686
# Wine suite (scripts/test-wine.sh, win32), natively on its own kernel. Where
# the host runs them, scripts/test.sh does so on the host and this stage says
# so (ZEL_UART_GUEST32=0 leaves them out of the guest in any case).
#
# Output: one line per check, "PASS ..." or "FAIL ..." ("NOTE"/"INFO" lines
# are information), then "N passed, M failed"; the exit code is 0 only when
# nothing failed. A missing package, a guest that does not boot or a time-out
# ends the stage at once with one line that says which.
#
# Cached in build/uart: the unpacked kernel and its few modules, the
# initramfs, and (in share/wine-cache) the guest's Wine prefix.
#
# Environment: ZEL_UART_GUEST32 (1 or 0, see above), ZEL_UART_WINE_STAGES
# (test-wine.sh stages in the guest, default "serial browse"),
# ZEL_UART_GAP_REQUIRED (default 1: a short gap before a request fails the
# stage; 0 reports it as information),
# ZEL_UART_TIMEOUT (seconds the guest may run before it counts as hung;
# default 420, 1500 with the 32-bit suites).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"

cache=$top/build/uart
share=$cache/share
run=$share/run
b64=$top/build/linux64

# The line between the guest's ttyS1 and the simulated PLC.
baud=19200
format=8E1
parity=E
station=1
# Silence the driver keeps before each request, in character times, and
# whether a shorter one fails the stage.
min_gap_chars=3.5
gap_required=${ZEL_UART_GAP_REQUIRED:-1}

boot_limit=120 # seconds from qemu's start to the guest's first line

# shellcheck source=scripts/common.sh
. "$top/scripts/common.sh"
# Ends the stage at once: one line that says why.
abort() {
  echo "FAIL uart stage stopped: $*"
  exit 1
}

# --- what the stage needs ----------------------------------------------------------
for p in qemu-system-x86 busybox-static cpio; do
  dpkg -s "$p" >/dev/null 2>&1 || abort "missing package $p (scripts/setup.sh installs it)"
done
mkdir -p "$cache"
if ! scripts/build.sh linux64 >"$cache/build.log" 2>&1; then
  abort "the linux64 build failed (build/uart/build.log)"
fi
for f in zelhost libzelqkmr.so tests/test_uart tools/zelsimplc tools/zellineemu; do
  [ -e "$b64/$f" ] || abort "build/linux64/$f was not built"
done

# --- which way the 32-bit product runs -----------------------------------------------
host32=no
if runs_32bit; then host32=yes; fi
case "${ZEL_UART_GUEST32:-}" in
  1) guest32=1 ;;
  0) guest32=0 ;;
  *) [ "$host32" = yes ] && guest32=0 || guest32=1 ;;
esac
if [ "$guest32" = 1 ] && [ "$host32" = yes ]; then
  echo "NOTE 32-bit: ZEL_UART_GUEST32=1: build/linux32's ctest and the i686 Wine suite run in the guest (this kernel runs 32-bit programs too)"
elif [ "$guest32" = 1 ]; then
  echo "NOTE 32-bit: this kernel runs no 32-bit programs: build/linux32's ctest and the i686 Wine suite run natively in the guest"
elif [ "$host32" = yes ]; then
  echo "NOTE 32-bit: this kernel runs 32-bit programs: build/linux32's ctest and the i686 Wine suite run on the host (scripts/test.sh), not in the guest"
else
  echo "NOTE 32-bit: ZEL_UART_GUEST32=0: the 32-bit suites are left out of the guest"
fi
if [ "$guest32" = 1 ]; then
  for flavour in linux32 win32; do
    scripts/build.sh "$flavour" >>"$cache/build.log" 2>&1 ||
      abort "the $flavour build failed (build/uart/build.log)"
  done
fi
limit=${ZEL_UART_TIMEOUT:-$([ "$guest32" = 1 ] && echo 1500 || echo 420)}

# --- the guest's kernel: fetched by its exact name, unpacked, never installed ----------
modules="virtio_ring virtio virtio_pci_modern_dev virtio_pci_legacy_dev virtio_pci netfs fscache 9pnet 9pnet_virtio 9p overlay usb-common usbcore xhci-hcd xhci-pci-renesas xhci-pci usbserial ftdi_sio"
kernel_name() {
  apt-cache depends linux-image-amd64 2>/dev/null |
    sed -n 's/^ *Depends: \(linux-image-[0-9][^ ]*\)$/\1/p' | head -1
}
kernel=$(kernel_name || true)
if [ -z "$kernel" ]; then
  timeout 300 apt-get update -qq >>"$cache/download.log" 2>&1 || true
  kernel=$(kernel_name || true)
fi
[ -n "$kernel" ] || abort "missing package: apt-cache names no kernel package for linux-image-amd64 (build/uart/download.log)"
kdir=$cache/kernel/$kernel
# A kernel unpacked for another list of modules is unpacked again.
if [ ! -f "$kdir/vmlinuz" ] || [ "$(cat "$kdir/mods/wanted" 2>/dev/null)" != "$modules" ]; then
  dl=$cache/download
  rm -rf "$dl"
  mkdir -p "$dl/kernel/mods"
  fetch() { (cd "$dl" && timeout 300 apt-get download "$kernel") >>"$cache/download.log" 2>&1; }
  if ! fetch; then
    timeout 300 apt-get update -qq >>"$cache/download.log" 2>&1 || true
    fetch || abort "missing package $kernel: apt-get download failed (build/uart/download.log)"
  fi
  deb=$(find "$dl" -maxdepth 1 -name '*.deb' | head -1)
  [ -n "$deb" ] || abort "missing package $kernel: nothing was downloaded"
  timeout 300 dpkg-deb -x "$deb" "$dl/root" || abort "cannot unpack $deb"
  cp "$dl/root/boot/vmlinuz-${kernel#linux-image-}" "$dl/kernel/vmlinuz" ||
    abort "$kernel holds no /boot/vmlinuz-${kernel#linux-image-}"
  # Modules that the kernel has built in are simply not there.
  order=""
  for m in $modules; do
    ko=$(find "$dl/root/lib/modules" -name "$m.ko" -o -name "$m.ko.xz" -o -name "$m.ko.zst" | head -1)
    [ -n "$ko" ] || continue
    case "$ko" in
      *.xz) xz -dc "$ko" >"$dl/kernel/mods/$m.ko" ;;
      *.zst) zstd -qdc "$ko" >"$dl/kernel/mods/$m.ko" ;;
      *) cp "$ko" "$dl/kernel/mods/$m.ko" ;;
    esac
    order="$order $m"
  done
  echo "$order" >"$dl/kernel/mods/order"
  echo "$modules" >"$dl/kernel/mods/wanted"
  [ -f "$dl/kernel/mods/9p.ko" ] || abort "$kernel has no 9p module"
  # Only this kernel is kept.
  rm -rf "$cache/kernel"
  mkdir -p "$cache/kernel"
  mv "$dl/kernel" "$kdir"
  rm -rf "$dl"
fi

# --- the initramfs: busybox, the modules and this init ---------------------------------
# The kernel hands "zeltop=..." and "zelshare=..." from its command line to
# init as environment variables.
read -r -d '' init_script <<'INIT' || true
#!/bin/busybox sh
/bin/busybox --install -s /bin
mount -t proc proc /proc
mount -t sysfs sys /sys
mount -t devtmpfs dev /dev
say() { echo "ZELGUEST $*"; }
stop() { say "FAILED $*"; poweroff -f; }
for m in $(cat /mods/order); do insmod "/mods/$m.ko" || say "insmod $m failed"; done
mkdir -p /lower /ram /host
# The host's root, read-only, under a RAM overlay: the guest may write
# anywhere (build logs, ctest's Testing/, Wine's output) and the host keeps
# nothing of it.
mount -t 9p -o trans=virtio,version=9p2000.L,msize=262144,cache=loose,ro hostroot /lower ||
  stop "to mount the host's root over 9p"
mount -t tmpfs -o size=75% ram /ram
mkdir -p /ram/upper /ram/work
mount -t overlay -o lowerdir=/lower,upperdir=/ram/upper,workdir=/ram/work root /host ||
  stop "to mount the overlay"
mount -t proc proc /host/proc
mount -t sysfs sys /host/sys
mount -t devtmpfs dev /host/dev
mkdir -p /host/dev/pts
mount -t devpts devpts /host/dev/pts
# A fresh /tmp for the guest's programs (Wine's server among them). A
# checkout that itself lies under /tmp stays visible at its own path: its
# build trees hold absolute paths.
case "$zeltop" in
  /tmp/*)
    mkdir -p /keep
    mount --bind "/host$zeltop" /keep || stop "to keep the checkout under /tmp"
    mount -t tmpfs tmp /host/tmp
    mkdir -p "/host$zeltop"
    mount --bind /keep "/host$zeltop" || stop "to put the checkout back under /tmp"
    ;;
  *) mount -t tmpfs tmp /host/tmp ;;
esac
mkdir -p "/host$zelshare"
# No cache on the writable share: what the guest writes is on the host when
# it powers off.
mount -t 9p -o trans=virtio,version=9p2000.L,msize=262144 share "/host$zelshare" ||
  stop "to mount the writable share"
say "BOOTED $(cut -d' ' -f1 /proc/uptime) s"
chroot /host /usr/bin/env -i PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
  HOME=/root TERM=dumb LANG=C.UTF-8 ZEL_IN_UART_GUEST=1 /bin/bash "$zeltop/scripts/uart-guest.sh" "$zelshare/run"
sync
say "END $(cut -d' ' -f1 /proc/uptime) s"
poweroff -f
INIT
stamp=$(printf '%s\n%s\n%s\n%s\n' "$init_script" "$kernel" "$(cat "$kdir/mods/order")" \
  "$(dpkg-query -W -f='${Version}' busybox-static)" | sha256sum | cut -c1-16)
initrd=$cache/initrd.gz
if [ "$(cat "$cache/initrd.stamp" 2>/dev/null)" != "$stamp" ] || [ ! -s "$initrd" ]; then
  tree=$(mktemp -d)
  mkdir -p "$tree"/{bin,mods,proc,sys,dev,tmp}
  cp /bin/busybox "$tree/bin/busybox"
  cp "$kdir/mods/"* "$tree/mods/"
  printf '%s\n' "$init_script" >"$tree/init"
  chmod 755 "$tree/init"
  (cd "$tree" && find . | cpio -o -H newc 2>/dev/null | gzip -1) >"$initrd.new"
  rm -rf "$tree"
  mv "$initrd.new" "$initrd"
  echo "$stamp" >"$cache/initrd.stamp"
fi

# --- the line: emulator on the host, PLC on side B ---------------------------------------
rm -rf "$run"
mkdir -p "$run"
pids=()
qemu_pid=""
cleanup() {
  [ -n "$qemu_pid" ] && kill "$qemu_pid" 2>/dev/null || true
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  for p in "${pids[@]}"; do wait "$p" 2>/dev/null || true; done
}
trap cleanup EXIT

# One line per port: "start_line NAME" starts an emulator and a PLC, both
# logging to $run/NAME*, and sets line_a to the emulator's side A.
start_line() {
  local name=$1 a b
  "$b64/tools/zellineemu" --baud "$baud" --format "$format" --trace "$run/$name.trace" \
    >"$run/$name-lineemu.out" 2>"$run/$name-lineemu.err" &
  pids+=($!)
  wait_ready "$run/$name-lineemu.out" || true
  a=$(sed -n 's/^A //p' "$run/$name-lineemu.out")
  b=$(sed -n 's/^B //p' "$run/$name-lineemu.out")
  [ -n "$a" ] && [ -n "$b" ] ||
    abort "the line emulator of $name did not start: $(head -c 300 "$run/$name-lineemu.err")"
  for p in "$a" "$b"; do
    case "$p" in /dev/pts/*) ;; *) abort "refusing the line path $p (only /dev/pts/* here)" ;; esac
  done
  # 1000 input registers: a read beyond them is answered with exception 2.
  "$b64/tools/zelsimplc" --device "$b" --station "$station" --baud "$baud" --parity "$parity" \
    --stop-bits 1 --map 10000 10000 10000 1000 >"$run/$name-simplc.out" 2>"$run/$name-simplc.err" &
  pids+=($!)
  wait_ready "$run/$name-simplc.out" ||
    abort "the simulated PLC of $name did not start: $(head -c 300 "$run/$name-simplc.err")"
  line_a=$a
}
start_line ttyS1
uart_line=$line_a
start_line ttyUSB0
usb_line=$line_a

cat >"$run/env" <<EOF
PORTS="/dev/ttyS1 /dev/ttyUSB0"
UART_BAUD=$baud
UART_PARITY=$parity
UART_STATION=$station
GUEST32=$guest32
WINE_STAGES="${ZEL_UART_WINE_STAGES:-serial browse}"
WINE_CACHE=$share/wine-cache
EOF

# --- the guest ---------------------------------------------------------------------------
echo "== qemu guest: $kernel, TCG; ttyS1 (16550A) and ttyUSB0 (qemu's FTDI adapter), each <-> a line emulator at $baud $format <-> a simulated PLC"
started=$(date +%s)
timeout --kill-after=10 "$limit" qemu-system-x86_64 -accel tcg -cpu qemu64 -smp 2 -m 3072 \
  -display none -monitor none -no-reboot \
  -kernel "$kdir/vmlinuz" -initrd "$initrd" \
  -append "console=ttyS0 quiet panic=-1 zeltop=$top zelshare=$share" \
  -serial "file:$run/console.log" -serial "$uart_line" \
  -device qemu-xhci,id=xhci -chardev "serial,id=usb0,path=$usb_line" \
  -device usb-serial,bus=xhci.0,chardev=usb0 \
  -virtfs local,path=/,mount_tag=hostroot,security_model=none,readonly=on,multidevs=remap \
  -virtfs "local,path=$share,mount_tag=share,security_model=none,multidevs=remap" \
  </dev/null >"$run/qemu.log" 2>&1 &
qemu_pid=$!

console() { [ ! -f "$run/console.log" ] || tr -d '\r' <"$run/console.log"; }
booted=no
for _ in $(seq $((boot_limit * 2))); do
  if console | grep -q '^ZELGUEST BOOTED'; then
    booted=yes
    break
  fi
  kill -0 "$qemu_pid" 2>/dev/null || break
  sleep 0.5
done
if [ "$booted" != yes ]; then
  why=$(console | sed -n 's/^ZELGUEST FAILED //p' | head -1)
  if [ -n "$why" ]; then
    abort "the guest failed $why (build/uart/share/run/console.log)"
  elif kill -0 "$qemu_pid" 2>/dev/null; then
    abort "the guest did not boot within $boot_limit s (build/uart/share/run/console.log)"
  fi
  rc=0
  wait "$qemu_pid" || rc=$?
  qemu_pid=""
  case $rc in
    124 | 137) abort "the guest timed out after $limit s before it booted" ;;
    *)
      last=$(console | grep -m1 'Kernel panic' || true)
      [ -n "$last" ] || last=$( (console; cat "$run/qemu.log") | grep -v '^[[:space:]]*$' | tail -1 || true)
      abort "the guest did not boot, qemu exit $rc: ${last:-no output} (build/uart/share/run/console.log)"
      ;;
  esac
fi
echo "NOTE the guest booted in $(($(date +%s) - started)) s"

# The guest's own lines, as they come.
tail -n +1 -F --pid="$qemu_pid" "$run/console.log" 2>/dev/null | sed -u 's/\r$//' |
  grep --line-buffered -E '^(PASS|FAIL|NOTE|INFO|==) ' || true
qemu_rc=0
wait "$qemu_pid" || qemu_rc=$?
qemu_pid=""
took=$(($(date +%s) - started))
if ! console | grep -q '^ZELGUEST END'; then
  if [ "$qemu_rc" = 124 ] || [ "$qemu_rc" = 137 ]; then
    abort "the guest timed out after $limit s (build/uart/share/run/console.log)"
  fi
  abort "the guest stopped before its end, qemu exit $qemu_rc (build/uart/share/run/console.log)"
fi
count_checks < <(console)
echo "NOTE the guest ran for $took s"

# --- the silence before each request -------------------------------------------------------
# Each port's gap run reads holding registers 3331 to 3340 with one zelhost
# call: requests for registers 0x0D02..0x0D0B. The first follows zelhost's
# start; the other nine follow the previous reply at once. The line's
# emulator reads them from its trace (a request that left the guest in
# pieces is counted apart: qemu's ports have no transmit timing, and a busy
# host can stall the guest between two bytes of one write).
for name in ttyS1 ttyUSB0; do
  rc=0
  report=$("$b64/tools/zellineemu" --gaps "$run/$name.trace" --gap-marker "0D 02 00 01" \
    --gap-count 9 --min-chars "$min_gap_chars" --baud "$baud" --format "$format" 2>&1) || rc=$?
  split=$(sed -n 's/^split //p' <<<"$report")
  [ "${split:-0}" = 0 ] ||
    echo "NOTE $name: $split request(s) of the gap run reached the line in pieces (the guest stalled inside a write)"
  text=$(tail -1 <<<"$report")
  case $rc in
    0) pass "$name: silence before each back-to-back request at $baud $format: $text" ;;
    1)
      echo "NOTE $name: silence before back-to-back requests (ms):$(sed -n 's/^gaps//p' <<<"$report")"
      if [ "$gap_required" = 1 ]; then
        fail "$name: silence before each back-to-back request at $baud $format: $text"
      else
        echo "INFO $name: silence before each back-to-back request at $baud $format: $text (ZEL_UART_GAP_REQUIRED=0: not judged)"
      fi
      ;;
    *) fail "$name: silence before requests: $text (build/uart/share/run/$name.trace)" ;;
  esac
done

echo "$passed passed, $failed failed"
[ "$failed" = 0 ] && [ "$passed" -gt 0 ]
