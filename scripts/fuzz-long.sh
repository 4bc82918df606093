#!/usr/bin/env bash
# Long fuzzing runs, beyond the few seconds each target gets in the test run:
#   scripts/fuzz-long.sh [RUNS] [TARGET...]
# RUNS inputs per target (default 10000000); the targets of the fuzz preset
# by default. Each runs at the lowest priority, seeded from fuzz/seeds/ and
# its corpus of earlier runs (build/fuzz/fuzz/corpus/TARGET), one after the
# other; a finding is kept as build/fuzz/fuzz/findings/TARGET/crash-* and
# makes the script end with 1. Prints, per target: inputs, seconds, findings.
set -uo pipefail
cd "$(dirname "$0")/.."
runs=${1:-10000000}
shift || true
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  targets=(modbus_requests_fuzz http_requests_fuzz set_payload_fuzz module_answers_fuzz host_texts_fuzz transaction_fuzz)
fi
cmake --preset fuzz > /dev/null
cmake --build --preset fuzz -j "$(nproc)" --target "${targets[@]}" > /dev/null || exit 2
dir=build/fuzz/fuzz
status=0
for t in "${targets[@]}"; do
  mkdir -p "$dir/corpus/$t" "$dir/findings/$t"
  seeds=()
  [ -d "fuzz/seeds/$t" ] && seeds=("fuzz/seeds/$t")
  log="$dir/findings/$t/run.log"
  start=$SECONDS
  nice -n 19 "$dir/$t" -runs="$runs" -max_len=2048 -print_final_stats=1 -artifact_prefix="$dir/findings/$t/" \
    "$dir/corpus/$t" "${seeds[@]}" > "$log" 2>&1
  rc=$?
  findings=$(find "$dir/findings/$t" -name 'crash-*' -o -name 'leak-*' -o -name 'timeout-*' -o -name 'oom-*' | wc -l)
  inputs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  echo "$t: ${inputs:-?} inputs, $((SECONDS - start)) s, $findings findings (exit $rc; log $log)"
  [ "$rc" -eq 0 ] && [ "$findings" -eq 0 ] || status=1
done
exit $status
