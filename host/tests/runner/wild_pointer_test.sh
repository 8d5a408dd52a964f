#!/usr/bin/env bash
# `vekcrash simulate --sys` on a driver that hands kernel routines wild
# pointers and impossible sizes. The machine's build number picks the case
# (see wild_pointer_driver.cpp). A wild pointer ends in the bug check the
# kernel raises, printed by the driver's own callback, and exit 1; an
# impossible size fails the call and the run stays clean. Never a crash.
set -u
vekcrash=$1
image=$2

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0

# build | exit | stdout must hold (parts joined by &) | stderr must hold
cases=(
  "1|1|BUGCHECK 0000000000000050 0000000000000010 0000000000000002|memset wrote to 0x10, which is no valid kernel memory: bug check 0x50 PAGE_FAULT_IN_NONPAGED_AREA"
  "2|1|BUGCHECK 0000000000000050 0000000000000010 0000000000000002|memcpy wrote to 0x10"
  "3|1|BUGCHECK 0000000000000050 0000000000000010 0000000000000000|memcpy read 0x10"
  "4|1|BUGCHECK 0000000000000050 0000000000000010 0000000000000002|RtlInitUnicodeString wrote to 0x10"
  "5|1|BUGCHECK 0000000000000050 0000000000000010 0000000000000000|RtlInitUnicodeString read 0x10"
  "6|1|BUGCHECK 0000000000000050 0000000000000010 0000000000000002|KeQuerySystemTimePrecise wrote to 0x10"
  "7|1|BUGCHECK 000000000000000A 0000000000000010 0000000000000002 0000000000000001|bug check 0xA IRQL_NOT_LESS_OR_EQUAL"
  "8|1|BUGCHECK 0000000000000050 0000000000000010 0000000000000000|KeRegisterBugCheckReasonCallback read 0x10"
  "9|1|BUGCHECK 0000000000000050 0000000000000018 0000000000000000|IoDeleteDevice read 0x18"
  "10|0|POOL 0000000000000000|"
  "11|0|MAPPING 0000000000000000|"
  "12|0|DEVICE 00000000C000009A|"
  "13|0|WILD 0000000000000000&BUFFER 0000000000000001&STACK 0000000000000001|"
  "14|1|BUGCHECK 00000000000000D1|nested bug check 0xA IRQL_NOT_LESS_OR_EQUAL during the bug check (KeQuerySystemTimePrecise)"
)

for entry in "${cases[@]}"; do
    IFS='|' read -r build status stdout stderr <<<"$entry"
    scenario=$work/case$build.json
    cat >"$scenario" <<JSON
{"machine": {"os_version": {"build": $build}},
 "events": [{"event": "load"}, {"event": "bugcheck", "code": "0xD1"}]}
JSON
    "$vekcrash" simulate --sys "$image" "$scenario" >"$work/out" 2>"$work/err"
    actual=$?
    problem=""
    if [ "$actual" -ne "$status" ]; then
        problem="exit $actual, expected $status"
    fi
    IFS='&' read -r -a parts <<<"$stdout"
    for part in "${parts[@]}"; do
        if [ -z "$problem" ] && ! grep -qF -- "$part" "$work/out"; then
            problem="the console does not hold '$part'"
        fi
    done
    if [ -z "$problem" ] && [ -n "$stderr" ] && ! grep -qF -- "$stderr" "$work/err"; then
        problem="stderr does not say '$stderr'"
    fi
    if [ -z "$problem" ] && grep -q "NOT REACHED" "$work/out"; then
        problem="driver code ran on after the faulting call"
    fi
    if [ -n "$problem" ]; then
        echo "case $build: $problem"
        echo "--- console:"; cat "$work/out"
        echo "--- stderr:"; cat "$work/err"
        failures=$((failures + 1))
    fi
done
echo "$(( ${#cases[@]} - failures )) passed, $failures failed"
[ "$failures" -eq 0 ]
