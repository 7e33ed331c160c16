#!/usr/bin/env bash
# Robustness runs on top of the 64-bit build (scripts/build.sh linux64):
#   fuzz      libFuzzer targets (build/fuzz, clang), each for ZEL_FUZZ_SECONDS
#             (60) from its corpus in fuzz/corpus; any crash fails;
#   soak      ZEL_SOAK_TRANSACTIONS (3000) mixed transactions through the line
#             emulator with seeded faults, and the late-reply comparison;
#   tsan      two channels from two threads under ThreadSanitizer (build/tsan);
#   memcheck  every unit test under valgrind: no error, no leak.
# ZEL_ROBUST_STAGES picks stages (default: all four, in that order);
# ZEL_ROBUST_BUILD names another 64-bit build folder. The fuzz and tsan
# builds come from scripts/build.sh.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
stages=${ZEL_ROBUST_STAGES:-fuzz soak tsan memcheck}
build=${ZEL_ROBUST_BUILD:-$top/build/linux64}
export KAVPRO_QUIET=1

stage_fuzz() {
  local seconds=${ZEL_FUZZ_SECONDS:-60}
  "$top/scripts/build.sh" fuzz fuzz_gas fuzz_initfile fuzz_reply
  local work
  work=$(mktemp -d)
  for target in fuzz_gas fuzz_initfile fuzz_reply; do
    local dict=()
    [ -f "fuzz/${target#fuzz_}.dict" ] && dict=(-dict="$top/fuzz/${target#fuzz_}.dict")
    mkdir -p "$work/$target"
    echo "-- $target: ${seconds} s"
    # New inputs go to the scratch corpus; the repository's corpus is only read.
    (cd "$work" && "$top/build/fuzz/fuzz/$target" -max_total_time="$seconds" -print_final_stats=1 \
      "${dict[@]}" "$work/$target" "$top/fuzz/corpus/$target" >"$work/$target.log" 2>&1) || {
      tail -n 60 "$work/$target.log"
      echo "$target: crash; the input is in $work"
      return 1
    }
    grep -E "^stat::number_of_executed_units|^Done" "$work/$target.log" || true
  done
  rm -rf "$work"
}

stage_soak() {
  cmake --build "$build" -j "$(nproc)" --target zelsoak zellatereply
  ZEL_SOAK_TRANSACTIONS=${ZEL_SOAK_TRANSACTIONS:-3000} LD_LIBRARY_PATH="$build" \
    "$build/tests/robust/zelsoak"
  if [ -x "$build/tests/robust/zellatereply" ]; then
    LD_LIBRARY_PATH="$build" "$build/tests/robust/zellatereply"
  fi
}

stage_tsan() {
  "$top/scripts/build.sh" tsan test_threads
  TSAN_OPTIONS="halt_on_error=1" LD_LIBRARY_PATH="$top/build/tsan" \
    "$top/build/tsan/tests/test_threads"
}

# Each test executable runs once under valgrind, all its tests in one
# process, except those whose tests end the driver for the whole process
# (EndZel): there every test gets a process of its own, as under CTest.
stage_memcheck() {
  local per_test=" test_lifecycle "
  local vg=(valgrind -q --error-exitcode=1 --leak-check=full
    --errors-for-leak-kinds=definite,indirect,possible --show-leak-kinds=definite,indirect,possible)
  local failed=0
  for exe in "$build"/tests/test_*; do
    [ -f "$exe" ] && [ -x "$exe" ] || continue
    local name
    name=$(basename "$exe")
    if [[ $per_test == *" $name "* ]]; then
      local suite="" count=0
      while IFS= read -r line; do
        if [[ $line != " "* ]]; then
          suite=${line%% *}
          continue
        fi
        local test=${line#"${line%%[! ]*}"}
        test=${test%% *}
        count=$((count + 1))
        LD_LIBRARY_PATH="$build" "${vg[@]}" "$exe" --gtest_filter="$suite$test" >/tmp/zelmemcheck.$$ 2>&1 ||
          { cat /tmp/zelmemcheck.$$; echo "memcheck: $name $suite$test failed"; failed=1; }
      done < <("$exe" --gtest_list_tests)
      echo "memcheck: $name, $count tests one by one"
    else
      if LD_LIBRARY_PATH="$build" "${vg[@]}" "$exe" >/tmp/zelmemcheck.$$ 2>&1; then
        echo "memcheck: $name $(grep -E '^\[  PASSED  \]' /tmp/zelmemcheck.$$ || true)"
      else
        cat /tmp/zelmemcheck.$$
        echo "memcheck: $name failed"
        failed=1
      fi
    fi
  done
  rm -f /tmp/zelmemcheck.$$
  return $failed
}

for stage in $stages; do
  echo "== robustness: $stage"
  start=$SECONDS
  "stage_$stage"
  echo "== robustness: $stage done in $((SECONDS - start)) s"
done
