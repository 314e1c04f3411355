#!/bin/sh
# Builds the libFuzzer targets with the fuzz preset and runs each for a fixed
# time (FUZZ_SECONDS, default 30) from a seed corpus the package builder
# writes. Exits non-zero when a target finds a crash, a leak or undefined
# behaviour; the input is kept under build-fuzz/fuzz/findings.
set -eu
cd "$(dirname "$0")/.."
seconds=${FUZZ_SECONDS:-30}
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz --target fuzz_package fuzz_records fuzz_fs_format fuzz_seeds
bin=build-fuzz/fuzz
rm -rf "$bin/seeds"
mkdir -p "$bin/corpus/package" "$bin/corpus/records" "$bin/corpus/fs_format" "$bin/findings"
"$bin/fuzz_seeds" "$bin/seeds"
status=0
for target in package records fs_format; do
  echo "== fuzz_$target for ${seconds} s"
  if ! "$bin/fuzz_$target" -max_total_time="$seconds" -rss_limit_mb=2048 -print_final_stats=1 \
      -artifact_prefix="$bin/findings/$target-" "$bin/corpus/$target" "$bin/seeds/$target"; then
    echo "fuzz_$target: finding kept under $bin/findings" >&2
    status=1
  fi
done
exit $status
