#!/bin/sh
# Builds the libFuzzer targets with the fuzz preset and runs each for a fixed
# time (first argument or FUZZ_SECONDS, default 30) from the corpora kept in
# fuzz/corpus/<target>, seeds the package builder writes and, for the
# protocol target, seeds made from the hex transcripts in tests/golden (when
# it exists) and fuzz/corpus/transcripts. Prints per target the executions,
# seconds and crashes. Exits non-zero when a target finds a crash, a leak,
# undefined behaviour or a wait beyond the limits; the input is kept under
# build-fuzz/fuzz/findings. New inputs go to build-fuzz/fuzz/corpus; copy
# the interesting ones into fuzz/corpus to keep them.
set -eu
cd "$(dirname "$0")/.."
seconds=${1:-${FUZZ_SECONDS:-30}}
targets="package records fs_format protocol"
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz --target fuzz_package fuzz_records fuzz_fs_format fuzz_protocol \
  fuzz_seeds fuzz_protocol_seeds
bin=build-fuzz/fuzz
rm -rf "$bin/seeds"
mkdir -p "$bin/findings"
"$bin/fuzz_seeds" "$bin/seeds"
transcripts=$(ls tests/golden/data/*.txt fuzz/corpus/transcripts/* 2>/dev/null || true)
if [ -n "$transcripts" ]; then
  # shellcheck disable=SC2086
  "$bin/fuzz_protocol_seeds" "$bin/seeds/protocol" $transcripts
fi
status=0
summary=""
for target in $targets; do
  mkdir -p "$bin/corpus/$target" "fuzz/corpus/$target" "$bin/seeds/$target"
  echo "== fuzz_$target for ${seconds} s"
  log="$bin/fuzz_$target.log"
  start=$(date +%s)
  crashes=0
  if ! "$bin/fuzz_$target" -max_total_time="$seconds" -rss_limit_mb=2048 -timeout=30 -print_final_stats=1 \
      -artifact_prefix="$bin/findings/$target-" "$bin/corpus/$target" "fuzz/corpus/$target" \
      "$bin/seeds/$target" >"$log" 2>&1; then
    crashes=1
    status=1
    tail -n 40 "$log" >&2
    echo "fuzz_$target: finding kept under $bin/findings" >&2
  fi
  spent=$(( $(date +%s) - start ))
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
  line="fuzz_$target: ${execs:-0} executions, ${spent} s, ${crashes} crashes"
  echo "$line"
  summary="$summary$line
"
done
echo "== fuzzing summary"
printf '%s' "$summary"
exit $status
