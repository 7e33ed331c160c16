#!/usr/bin/env bash
# Writes zelhost's manual page from its own help: help2man turns the top
# --help into NAME, SYNOPSIS, DESCRIPTION and OPTIONS, and each command's
# --help goes into a COMMANDS section, so the page says what the program
# says. Usage: manpage.sh ZELHOST VERSION OUT.1.gz
set -euo pipefail
zelhost=$1 version=$2 out=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# roff: backslashes doubled, a line starting with . or ' kept as text.
roff() { sed -e 's/\\/\\e/g' -e "s/^\([.']\)/\\\\\&\1/"; }

{
  echo "[COMMANDS]"
  for command in info read write poll scan browse demo; do
    echo ".SS \"zelhost $command\""
    echo ".nf"
    "$zelhost" "$command" --help | roff
    echo ".fi"
  done
  echo "[EXIT STATUS]"
  echo "0 success; 1 a transaction failed on the line (poll: any of its transactions;"
  echo "scan: no station answered); 2 refused before a byte was sent (an option, a gate"
  echo "address, a value, a request the driver refuses without sending it, a cancelled"
  echo "browse); 3 the driver, the port or the demo's tools are not available. A port"
  echo "held by another program counts as in use only when that program locks it, as"
  echo "zelhost and the driver do."
  echo "[FILES]"
  echo ".TP"
  echo ".B ZELMRnn.INT, ZELMRn.INT, ZELMR.INT"
  echo "the channel's initialization file, looked for in the current folder;"
  echo "a commented sample is in /usr/share/doc/zelqkmr/examples/."
  echo "[SEE ALSO]"
  echo "zelsimplc --help, zellineemu --help, /usr/share/doc/zelqkmr/README.md"
} >"$work/sections.h2m"

help2man --no-info --no-discard-stderr --version-string="$version" \
  --name="command-line host of the Modbus RTU driver" --section=1 \
  --include="$work/sections.h2m" --output="$work/zelhost.1" "$zelhost"
gzip -9n <"$work/zelhost.1" >"$out"
