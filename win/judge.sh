# Judging programs run under Wine by what they printed, sourced by win/run.sh.
# Under Wine a program that crashed can exit with status 0, and its lines end
# in CR LF. Each function prints what it found or calls fail (defined by the
# caller) with the reason.

# A test program passes when its gtest summary counts every test it lists as
# passed and no line says FAILED; a missing summary is a failure.
judge_tests() { # name log listing: prints "N"
  local want passed
  want=$(tr -d '\r' <"$3" | grep -c '^  ' || true)
  [ "$want" -gt 0 ] || { cat "$3"; fail "$1 lists no tests"; }
  if tr -d '\r' <"$2" | grep -q '^\[  FAILED  \]'; then
    tr -d '\r' <"$2" | grep -E '^\[  FAILED  \]|Failure|error:' | head -40 >&2
    fail "$1: tests failed under Wine (log in $2)"
  fi
  passed=$(tr -d '\r' <"$2" | sed -n 's/^\[  PASSED  \] \([0-9]*\) tests\{0,1\}\.$/\1/p')
  [ -n "$passed" ] || { tail -n20 "$2"; fail "$1 printed no gtest summary (crashed?) (log in $2)"; }
  printf '%s\n' "$passed" | grep -qx "$want" || {
    tr -d '\r' <"$2" | grep -A50 '^\[  SKIPPED \]' | head -20 >&2
    fail "$1: $passed of the $want tests it lists passed (log in $2)"
  }
  echo "$want"
}
# A host stand-in passes when its own last line is "LABEL: N checks passed, 0 failed", N > 0.
judge_checks() { # label log: prints that line
  local line counts
  line=$(tr -d '\r' <"$2" | grep -F "$1: " | grep -E ': [0-9]+ checks passed, [0-9]+ failed$' | tail -n1)
  [ -n "$line" ] || { tail -n20 "$2"; fail "$1 printed no summary of its checks (crashed?) (log in $2)"; }
  counts=$(printf '%s\n' "$line" | sed 's/.*: \([0-9]*\) checks passed, \([0-9]*\) failed$/\1 \2/')
  set -- "$1" "$2" $counts
  [ "$3" -gt 0 ] && [ "$4" -eq 0 ] || { tr -d '\r' <"$2" | grep -iE 'fail' | head -20 >&2; fail "$line"; }
  printf '%s\n' "$line"
}
