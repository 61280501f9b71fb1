#!/usr/bin/env bash
# Prints one closing line over the ctest runs of the given presets:
#   make test: N passed, N failed
# A preset whose tests did not run (configure or build failed) counts as one
# failure, and EXTRA_FAILURES adds failures found outside ctest (the leak
# check).  The exit status of `make test` does not depend on this line.
set -uo pipefail
cd "$(dirname "$0")/.."
passed=0
failed=${EXTRA_FAILURES:-0}
for preset in "$@"; do
  log=build/$preset/ctest-output.log
  counts=$(sed -nE 's/.* ([0-9]+) tests? failed out of ([0-9]+).*/\1 \2/p' "$log" 2>/dev/null | tail -1)
  if [[ -z "$counts" ]]; then
    failed=$((failed + 1))
    continue
  fi
  read -r bad total <<<"$counts"
  passed=$((passed + total - bad))
  failed=$((failed + bad))
done
echo "make test: $passed passed, $failed failed"
