#!/usr/bin/env bash
# Runs every test program of a release build under valgrind's memcheck, each
# program once with all of its tests, and the fuzz replays over their inputs.
# Programs that camcal's tests start are checked too. Left out: the death
# tests, which end the process on purpose at a fatal check without freeing,
# and the allocation-counting tests, whose counting operator new valgrind
# replaces with its own.
#
#   scripts/memcheck.sh [BUILD_DIR]     (default build/test, as scripts/test.sh leaves it)
#
# Prints one line per program and exits non-zero on any memory error or leak.
set -uo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/test}
logs=$build/memcheck
mkdir -p "$logs"
command -v valgrind >/dev/null || { echo "valgrind is not installed" >&2; exit 2; }

options=(--leak-check=full --show-leak-kinds=definite,indirect,possible
         --errors-for-leak-kinds=definite,indirect,possible --error-exitcode=99
         --trace-children=yes
         --suppressions="$PWD/scripts/valgrind.supp")
left_out='-*DeathTest*:*EndTheProcess*:*AllocateNothing*'
failed=0

check() {
  local name=$1; shift
  valgrind "${options[@]}" --log-file="$logs/$name.%p.log" "$@" >"$logs/$name.out" 2>&1
  local status=$?
  local errors
  errors=$(grep -h "ERROR SUMMARY" "$logs/$name".*.log | awk '{s += $4} END {print s + 0}')
  if [[ $status -ne 0 || $errors -ne 0 ]]; then
    echo "$name: FAILED (exit $status, $errors errors; see $logs/$name.*.log)"
    failed=1
  else
    echo "$name: no errors, no leaks ($(ls "$logs/$name".*.log | wc -l) processes)"
  fi
}

for program in "$build"/tests/*_test "$build"/tests/camcal/*_test; do
  [[ -x $program ]] || continue
  rm -f "$logs/$(basename "$program")".*.log
  check "$(basename "$program")" "$program" --gtest_filter="$left_out"
done
for replay in "$build"/fuzz/*_replay; do
  name=$(basename "$replay" _replay)
  rm -f "$logs/$name".*.log
  check "$name" "$replay" "fuzz/corpus/$name" "fuzz/regressions/$name"
done
exit $failed
