# shellcheck shell=bash
# Sourced by the test scripts: one "PASS ..." or "FAIL ..." line per check
# with the totals counted, waiting for a tool to get ready, and whether this
# kernel runs 32-bit programs.

passed=0
failed=0
pass() {
  echo "PASS $*"
  passed=$((passed + 1))
}
fail() {
  echo "FAIL $*"
  failed=$((failed + 1))
}
# Adds the PASS and FAIL lines of another program's output (on stdin,
# Windows line ends allowed) to the totals.
count_checks() {
  local lines
  lines=$(tr -d '\r')
  passed=$((passed + $(grep -c '^PASS ' <<<"$lines" || true)))
  failed=$((failed + $(grep -c '^FAIL ' <<<"$lines" || true)))
}

# Waits up to 10 s for the READY line a tool (zelsimplc, zellineemu) prints
# into its output file; false when it does not come.
wait_ready() { # file
  for _ in $(seq 100); do
    grep -q '^READY' "$1" 2>/dev/null && return 0
    sleep 0.1
  done
  return 1
}

# Whether a 32-bit program builds and runs here (some kernels have their
# IA-32 emulation turned off).
runs_32bit() {
  local probe rc=0
  probe=$(mktemp -d)
  echo 'int main(void){return 0;}' >"$probe/p.c"
  { gcc -m32 "$probe/p.c" -o "$probe/p" && "$probe/p"; } 2>/dev/null || rc=1
  rm -rf "$probe"
  return "$rc"
}
