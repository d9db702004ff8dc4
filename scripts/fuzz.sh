#!/usr/bin/env bash
# Runs every fuzz target built in $BUILD/fuzz for FUZZ_SECONDS seconds each,
# starting from its checked-in corpus. New inputs go to $BUILD/fuzz/new/<name>,
# crashes to $BUILD/fuzz/crashes/<name> and are printed; exits non-zero when
# a target crashed.
set -u
cd "$(dirname "$0")/.."
BUILD=${BUILD:-build}
FUZZ_SECONDS=${FUZZ_SECONDS:-60}
status=0
for t in "$BUILD"/fuzz/*_fuzz; do
  [ -x "$t" ] || continue
  name=$(basename "$t" _fuzz)
  new=$BUILD/fuzz/new/$name
  crashes=$BUILD/fuzz/crashes/$name
  mkdir -p "$new" "$crashes"
  echo "=== fuzzing $name for $FUZZ_SECONDS s"
  if ! "$t" -max_total_time="$FUZZ_SECONDS" -print_final_stats=1 \
        -artifact_prefix="$crashes/" "$new" "fuzz/corpus/$name"; then
    status=1
  fi
  for c in "$crashes"/*; do
    [ -f "$c" ] || continue
    echo "--- $c"
    od -A d -c "$c" | head -40
  done
done
exit $status
