#!/usr/bin/env bash
# No function of the library, the tools or the simulator over 80 lines:
# clang-tidy's readability-function-size check over their sources, with the
# compile commands of a configured build (default build/). Prints each
# function over the limit and exits 1 when there is one.
set -euo pipefail
cd "$(dirname "$0")/../.."
BUILD=${1:-build}
[ -f "$BUILD/compile_commands.json" ] || { echo "function size: no $BUILD/compile_commands.json" >&2; exit 1; }
TIDY=$(command -v clang-tidy || command -v clang-tidy-14) || { echo "function size: no clang-tidy" >&2; exit 1; }
CONFIG='{Checks: "-*,readability-function-size", CheckOptions: [{key: readability-function-size.LineThreshold, value: 80}]}'
# Sources the build compiles natively (the Windows-only files have no native
# compile commands and are left out).
mapfile -t sources < <(git ls-files '*.cpp' | grep -E '^(boundary|engine|brom|agent|nand|images|link|ports|platform|tools|sim)/' |
                       grep -vE '(^|/)win32/|_windows\.cpp$' |
                       while read -r f; do grep -q "\"file\": \"$PWD/$f\"" "$BUILD/compile_commands.json" && echo "$f"; done)
# A file clang-tidy cannot compile is not checked at all: that fails too.
status=0
out=$(printf '%s\n' "${sources[@]}" | xargs -P2 -n8 "$TIDY" -p "$BUILD" --quiet --config="$CONFIG" 2>&1) || status=$?
errors=$(echo "$out" | grep -E '(error|fatal error): ' || true)
if [ "$status" -ne 0 ] || [ -n "$errors" ] || [ ${#sources[@]} -eq 0 ]; then
  echo "${errors:-$out}" | head -20
  echo "function size: clang-tidy could not check every source (exit $status, ${#sources[@]} files)" >&2
  exit 1
fi
report=$(echo "$out" | grep 'warning:.*readability-function-size' || true)
if [ -n "$report" ]; then
  echo "$report"
  echo "function size: $(echo "$report" | wc -l) function(s) over 80 lines" >&2
  exit 1
fi
echo "function size: ${#sources[@]} files, no function over 80 lines"
