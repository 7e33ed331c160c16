#!/usr/bin/env bash
# The packages as their users get them (the Debian package is installed on
# this machine and removed again: as root, or through sudo):
#   deb  its control fields and contents; `apt-get install ./file.deb`;
#        zelhost info, zelhost demo, man zelhost and the sample initialization file from
#        the PATH in an empty folder with the build tree hidden; `apt-get
#        remove --purge` leaves none of the package's files;
#   zip  its exact contents; the DLL is 32-bit, exports ZelMain only, holds
#        the dialog resource 101 and needs no MinGW run-time DLL; the texts
#        have Windows line ends and the sample file reads without complaint.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO=sudo
apt_get() { $SUDO env DEBIAN_FRONTEND=noninteractive apt-get -y -qq "$@"; }
# shellcheck source=scripts/common.sh
. "$top/scripts/common.sh"

scripts/package.sh
out=$top/build/packages
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' build/linux64/CMakeCache.txt)
deb=$out/zelqkmr_${version}_$(dpkg --print-architecture).deb
zip=$out/zelqkmr-${version}-win32.zip
work=$(mktemp -d)

check() { # description, command...
  local what=$1
  shift
  if "$@" >"$work/check.out" 2>&1; then
    pass "$what"
  else
    fail "$what"
    sed 's/^/     /' "$work/check.out" | tail -n 40
  fi
}

installed=0
cleanup() {
  if [ "$installed" = 1 ] && dpkg -s zelqkmr >/dev/null 2>&1; then
    apt_get remove --purge zelqkmr >/dev/null 2>&1 || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT

# Installed programs run in an empty folder as a user's shell would run them,
# with the repository's build tree hidden where mount namespaces are allowed,
# so that nothing can come from it.
hide_build=no
[ -z "$SUDO" ] && unshare -m sh -c "mount -t tmpfs none '$top/build'" 2>/dev/null && hide_build=yes
as_user() { # folder, command...
  local dir=$1
  shift
  if [ "$hide_build" = yes ]; then
    (cd "$dir" && env -u LD_LIBRARY_PATH -u ZEL_TOOLS_DIR unshare -m sh -c \
      'mount -t tmpfs none "$0" && exec "$@"' "$top/build" "$@")
  else
    (cd "$dir" && env -u LD_LIBRARY_PATH -u ZEL_TOOLS_DIR "$@")
  fi
}

# A channel started on NUL with the sample file in an empty folder reads it
# and calls none of its lines illegal.
sample_reads_cleanly() { # init file
  local dir
  dir=$(mktemp -d "$work/init.XXXX")
  cp "$1" "$dir/ZELMR01.INT"
  as_user "$dir" zelhost -l 0 read -p NUL -t 10 0140001 >"$dir/out" 2>&1 || true
  cat "$dir/out"
  grep -q "reading initfile 'ZELMR01.INT'" "$dir/out" && ! grep -qi "illegal" "$dir/out"
}

# --- the Debian package -----------------------------------------------------
echo "== $deb ($(stat -c %s "$deb") bytes)"
echo "build tree hidden from the installed programs: $hide_build"
dpkg-deb -I "$deb"
dpkg-deb -c "$deb" | awk '{print $1, $3, $6}'
depends=$(dpkg-deb -f "$deb" Depends)
check "version $version from the build" test "$(dpkg-deb -f "$deb" Version)" = "$version"
check "runtime dependencies: libc6, libstdc++6, libmodbus5; no -dev package" \
  sh -c 'echo "$0" && echo "$0" | grep -q "libc6 " && echo "$0" | grep -q "libstdc++6 " &&
    echo "$0" | grep -q "libmodbus5 " && ! echo "$0" | grep -q -- "-dev"' "$depends"
contents=$(dpkg-deb -c "$deb" | awk '{print $6}')
expect_files() {
  local f missing=0
  for f in usr/bin/zelhost usr/bin/zelsimplc usr/bin/zellineemu usr/lib/libzelqkmr.so \
    usr/lib/zelqkmr/libkavpro.so usr/lib/zelqkmr/libkavprorec.so usr/lib/zelqkmr/libzeldialog.so \
    usr/share/doc/zelqkmr/README.md usr/share/doc/zelqkmr/LICENSE \
    usr/share/doc/zelqkmr/docs/serial-linux.md usr/share/doc/zelqkmr/examples/ZELMR01.INT \
    usr/share/doc/zelqkmr/examples/ZELMR01.INT.txt usr/share/man/man1/zelhost.1.gz \
    usr/share/bash-completion/completions/zelhost; do
    grep -qx "\./$f" <<<"$contents" || { echo "missing $f"; missing=1; }
  done
  # The stand-ins only in the private folder, where no host looks by name.
  grep -E 'lib(kavpro|kavprorec|zeldialog)\.so$' <<<"$contents" | grep -v '/lib/zelqkmr/' && missing=1
  return $missing
}
check "contents: programs, driver, private stand-ins, docs, sample" expect_files

if dpkg -s zelqkmr >/dev/null 2>&1; then
  echo "zelqkmr is installed already: removing it first"
  apt_get remove --purge zelqkmr >/dev/null
fi
installed=1
check "apt-get install ./$(basename "$deb")" apt_get install "$deb"
check "zelhost is on the PATH as /usr/bin/zelhost" test "$(command -v zelhost)" = /usr/bin/zelhost
check "zelhost finds its libraries in the private folder" \
  sh -c 'ldd /usr/bin/zelhost && ! ldd /usr/bin/zelhost | grep -q "not found" &&
    ldd /usr/bin/zelhost | grep -q "libkavpro.so => /usr/bin/../lib/zelqkmr/"'
empty=$(mktemp -d "$work/empty.XXXX")
installed_info() {
  as_user "$empty" zelhost info | tee "$work/info"
  [ "$(realpath "$(sed -n 's/^driver: *//p' "$work/info")")" = /usr/lib/libzelqkmr.so ]
}
check "zelhost info loads /usr/lib/libzelqkmr.so" installed_info
installed_demo() {
  as_user "$empty" zelhost demo >"$work/demo" 2>&1 || { cat "$work/demo"; return 1; }
  tail -n 3 "$work/demo" | sed 's/^/demo| /'
  grep -Eq '^[0-9]+ passed, 0 failed$' "$work/demo"
}
check "zelhost demo from the PATH in an empty folder" installed_demo
installed_man() {
  # man itself where it is installed, else the page as man would read it.
  local page=/usr/share/man/man1/zelhost.1.gz
  if [ ! -e "$page" ] && grep -rqs '^path-exclude=/usr/share/man' /etc/dpkg/dpkg.cfg.d; then
    echo "dpkg here leaves manual pages out: the page is read from the package"
    dpkg-deb --fsys-tarfile "$deb" | tar -xO ".$page" | zcat >"$work/man"
  elif command -v man >/dev/null; then
    man -w zelhost | grep -qx /usr/share/man/man1/zelhost.1.gz || return 1
    MANWIDTH=80 man zelhost 2>/dev/null >"$work/man"
  else
    zcat "$page" >"$work/man"
  fi
  local part missing=0
  for part in NAME SYNOPSIS COMMANDS "EXIT STATUS" "zelhost read" "zelhost browse" dry; do
    grep -q -- "$part" "$work/man" || { echo "no '$part' in the manual page"; missing=1; }
  done
  return $missing
}
check "man zelhost shows its commands and exit codes" installed_man
installed_completion() {
  # What bash offers after "zelhost re" and "zelhost write --dr".
  bash -c 'source /usr/share/bash-completion/completions/zelhost
    COMP_WORDS=(zelhost re) COMP_CWORD=1; _zelhost; [ "${COMPREPLY[*]}" = read ] || exit 1
    COMP_WORDS=(zelhost write --dr) COMP_CWORD=2; _zelhost; [ "${COMPREPLY[*]}" = --dry-run ]'
}
check "bash completes zelhost's commands and options" installed_completion
check "zelsimplc and zellineemu answer --help from the PATH" \
  sh -c 'zelsimplc --help >/dev/null && zellineemu --help >/dev/null'
check "the installed sample ZELMR01.INT reads without an illegal line" \
  sample_reads_cleanly /usr/share/doc/zelqkmr/examples/ZELMR01.INT
unzip -q "$zip" -d "$work/zip"
top_dir=zelqkmr-${version}-win32
check "the zip's ZELMR01.INT (Windows line ends) reads without an illegal line" \
  sample_reads_cleanly "$work/zip/$top_dir/ZELMR01.INT"

dpkg -L zelqkmr >"$work/files"
check "apt-get remove --purge zelqkmr" apt_get remove --purge zelqkmr
installed=0
nothing_left() {
  local p left=0
  dpkg -s zelqkmr 2>/dev/null | grep -q '^Status: install' && { echo "still installed"; left=1; }
  while IFS= read -r p; do
    [ "$p" = "/." ] && continue
    [ -e "$p" ] || [ -L "$p" ] || continue
    # Folders such as /usr/bin stay for the packages that share them.
    if [ -d "$p" ] && [ ! -L "$p" ] && dpkg -S "$p" >/dev/null 2>&1; then continue; fi
    echo "left: $p"
    left=1
  done <"$work/files"
  return $left
}
check "nothing of the $(wc -l <"$work/files") paths dpkg -L listed is left" nothing_left

# --- the Windows zip ---------------------------------------------------------
echo "== $zip ($(stat -c %s "$zip") bytes)"
unzip -l "$zip"
zip_listing() {
  diff <(unzip -Z1 "$zip" | grep -v '/$' | sort) \
    <(printf "$top_dir/%s\n" LICENSE.txt README.txt ZELMR01.INT ZELMR01.INT.txt ZELQKMR.DLL | sort)
}
check "zip holds the DLL, README.txt, the sample and its text, LICENSE.txt" zip_listing
dll=$work/zip/$top_dir/ZELQKMR.DLL
i686-w64-mingw32-objdump -p "$dll" >"$work/dll.txt"
check "ZELQKMR.DLL is a 32-bit DLL" grep -q 'file format pei-i386' "$work/dll.txt"
dll_exports() {
  local exports
  exports=$(awk '/\[Ordinal\/Name Pointer\] Table/{f=1;next} f&&NF==0{f=0} f{print $NF}' "$work/dll.txt")
  echo "exports: $exports"
  [ "$exports" = ZelMain ]
}
check "ZELQKMR.DLL exports ZelMain only" dll_exports
# The resource tree: type entries (RT_DIALOG is 5) and, indented below
# each, its names (101 is 0x65).
dialog_resource() {
  awk '/The .rsrc Resource Directory/{f=1} f && /Entry: ID/ {
         indent = index($0, "Entry") - length($1) - 1
         if (indent == 3) type = $4
         if (indent == 5 && type == "0x000005," && $4 == "0x000065,") found = 1
       } END { exit !found }' "$work/dll.txt"
}
check "ZELQKMR.DLL carries the dialog resource 101" dialog_resource
check "ZELQKMR.DLL needs no MinGW run-time DLL" \
  sh -c 'grep "DLL Name" "$0"; ! grep -Ei "DLL Name: .*(stdc\+\+|libgcc|winpthread)" "$0"' "$work/dll.txt"
# Winsock is loaded at run time, the first time a channel opens a network
# port: the import table names the system DLLs the driver always needs and
# nothing else.
dll_imports() {
  local names
  names=$(awk '/DLL Name:/{print toupper($3)}' "$work/dll.txt" | sort | tr '\n' ' ')
  echo "imports: $names"
  [ "$names" = "KERNEL32.DLL MSVCRT.DLL USER32.DLL " ]
}
check "ZELQKMR.DLL imports KERNEL32, msvcrt and USER32 only (Winsock on demand)" dll_imports
crlf() {
  local f
  for f in README.txt ZELMR01.INT ZELMR01.INT.txt LICENSE.txt; do
    f=$work/zip/$top_dir/$f
    [ "$(grep -c $'\r$' "$f")" = "$(wc -l <"$f")" ] || { echo "not CRLF: $f"; return 1; }
  done
}
check "the zip's texts have Windows line ends" crlf

echo "package: $passed passed, $failed failed"
[ "$failed" = 0 ]
