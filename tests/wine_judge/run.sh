#!/usr/bin/env bash
# win/judge.sh, the verdict on programs run under Wine, on the kinds of output
# Wine gives: CR LF lines, a program that died without its summary, failures,
# fewer tests passed than listed, a host stand-in with failed checks.
#   run.sh SOURCE_DIR
set -euo pipefail
work=$(mktemp -d "${TMPDIR:-/tmp}/vantrel-wine-judge-XXXXXX")
trap 'rm -rf "$work"' EXIT
fail() { echo "$*" >&2; exit 1; }
source "$1/win/judge.sh"
bad=0
crlf() { sed 's/$/\r/' >"$work/$1"; }
expect() { # pass|fail what command...
  local want=$1 what=$2 got=pass
  shift 2
  ("$@") >"$work/out" 2>&1 || got=fail
  [ "$got" = "$want" ] || { echo "FAIL: $what: wanted $want, got $got"; cat "$work/out"; bad=1; }
}

printf 'Suite.\n  One\n  Two/0  # GetParam() = 1\nOther.\n  Three\n' | crlf list
summary() { printf '[==========] Running 3 tests from 2 test suites.\n%s[  PASSED  ] %s\n' "${2:-}" "$1"; }
summary '3 tests.' | crlf ok
expect pass "every listed test passed" judge_tests t "$work/ok" "$work/list"
[ "$(judge_tests t "$work/ok" "$work/list" 2>/dev/null)" = 3 ] || { echo "FAIL: the count of tests"; bad=1; }
printf '[==========] Running 3 tests from 2 test suites.\n[ RUN      ] Suite.One\nx.cpp:2: Failure\n' | crlf died
expect fail "a program that died before its summary" judge_tests t "$work/died" "$work/list"
summary '2 tests.' $'[  FAILED  ] Suite.One\n' | crlf failed
expect fail "a failed test" judge_tests t "$work/failed" "$work/list"
summary '2 tests.' $'[  SKIPPED ] 1 test, listed below:\n' | crlf skipped
expect fail "fewer tests passed than listed" judge_tests t "$work/skipped" "$work/list"
printf 'Suite.\n' | crlf empty
expect fail "a program that lists no tests" judge_tests t "$work/ok" "$work/empty"

printf 'host: package x\nhost stand-in (C++): 28 checks passed, 0 failed\n' | crlf c_ok
expect pass "a stand-in whose checks all passed" judge_checks "host stand-in (C++)" "$work/c_ok"
expect fail "the other stand-in's summary" judge_checks "host stand-in" "$work/c_ok"
printf 'host stand-in: 30 checks passed, 2 failed\n' | crlf c_failed
expect fail "a stand-in with failed checks" judge_checks "host stand-in" "$work/c_failed"
printf 'host stand-in: 0 checks passed, 0 failed\n' | crlf c_none
expect fail "a stand-in that checked nothing" judge_checks "host stand-in" "$work/c_none"
printf 'host: package x\n' | crlf c_died
expect fail "a stand-in that died before its summary" judge_checks "host stand-in" "$work/c_died"
exit $bad
