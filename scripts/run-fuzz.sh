#!/usr/bin/env bash
# Runs each fuzz target of build/fuzz for SECONDS seconds, two at a time (one
# per core: a libFuzzer run uses one), each on its own corpus directory
# seeded from a real image.  Prints each target's closing figures, and fails
# when a target finds a crash (its input is kept as build/fuzz/<target>-*).
#
#   run-fuzz.sh SECONDS TARGET...
set -uo pipefail
cd "$(dirname "$0")/.."
seconds=$1
shift
corpus=build/fuzz/corpus
mkdir -p "$corpus"
build/fuzz/fuzz/zrfs_fuzz_seeds "$corpus" || exit 1

run_one() {
  local target=$1 log=build/fuzz/$1.log
  build/fuzz/fuzz/zrfs_fuzz_"$target" -max_total_time="$seconds" -print_final_stats=1 \
    -artifact_prefix=build/fuzz/"$target"- "$corpus/$target" >"$log" 2>&1
  local status=$?
  # One write, so the two runs' summaries do not interleave.
  printf '%s\n%s\n' "==== fuzz $target: $seconds s, exit $status" \
    "$(grep -E "^(Done|stat::number_of_executed_units)|ERROR|SUMMARY|artifact" "$log")"
  return $status
}

failed=0
while (($#)); do
  run_one "$1" &
  first=$!
  second=
  if (($# > 1)); then
    run_one "$2" &
    second=$!
  fi
  wait "$first" || failed=1
  [[ -z "$second" ]] || wait "$second" || failed=1
  shift $(( $# > 1 ? 2 : 1 ))
done
exit $failed
