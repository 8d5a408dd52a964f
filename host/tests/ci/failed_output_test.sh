#!/usr/bin/env bash
# scripts/failed-output.sh against a suite of its own: the failed tests'
# last lines come out, each under its name (names with spaces and '#', as
# parameterised tests have), and a passing test's output or a passing run
# prints nothing.
#   failed_output_test.sh SCRIPT
set -uo pipefail
script=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cat >"$work/CMakeLists.txt" <<'CMAKE'
cmake_minimum_required(VERSION 3.20)
project(failed_output NONE)
enable_testing()
add_test(NAME "fails  # GetParam() = 1" COMMAND sh -c "seq 1 40; echo the reason; exit 1")
add_test(NAME passes COMMAND sh -c "echo passing output")
add_test(NAME fails_silently COMMAND false)
CMAKE
cmake -S "$work" -B "$work/tree" >/dev/null || exit 1
failures=0
check() {  # what, condition
    if ! eval "$2"; then echo "$1"; failures=$((failures + 1)); fi
}
ctest --test-dir "$work/tree" >/dev/null 2>&1
out=$(bash "$script" "$work/tree")
check "the failed test's name" 'grep -qxF "== output of failed test fails  # GetParam() = 1 (last 25 lines)" <<<"$out"'
check "its last line" 'grep -qx "the reason" <<<"$out"'
check "its last 25 lines only, once each" 'grep -qx 17 <<<"$out" && ! grep -qx 16 <<<"$out" && [ "$(wc -l <<<"$out")" = 27 ]'
check "ctest's rule under Output:" '! grep -q "^---" <<<"$out"'
check "a test that printed nothing" 'grep -qxF "== output of failed test fails_silently (last 25 lines)" <<<"$out"'
check "a passing test's output" '! grep -q "passing" <<<"$out"'
ctest --test-dir "$work/tree" -R '^passes$' >/dev/null 2>&1
check "a passing run" '[ -z "$(bash "$script" "$work/tree")" ]'
check "a tree never tested" '[ -z "$(bash "$script" "$work/none")" ]'
exit $((failures != 0))
