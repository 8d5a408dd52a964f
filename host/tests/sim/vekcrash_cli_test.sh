#!/bin/bash
# Command line behaviour of `vekcrash simulate`: exit status, what goes to
# stdout and what to stderr.
#
#   vekcrash_cli_test.sh VEKCRASH SCENARIO_FOLDER CASE
set -u

vekcrash=$1
scenarios=$2
case_name=$3

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
out=$work/stdout
err=$work/stderr

fail() {
    echo "FAIL ($case_name, vekcrash ${args[*]}): $*"
    echo "--- stdout:"; cat -A "$out"
    echo "--- stderr:"; cat "$err"
    exit 1
}

# expect STATUS STDERR_LINES STDERR_PART ARGS...: runs vekcrash with ARGS and
# checks its exit status, the number of stderr lines (- for any), that
# stderr mentions STDERR_PART, and that stdout stays empty.
expect() {
    local status=$1 lines=$2 part=$3
    shift 3
    args=("$@")
    "$vekcrash" "$@" >"$out" 2>"$err"
    local got=$?
    [ "$got" -eq "$status" ] || fail "exit status $got, expected $status"
    [ "$lines" = - ] || [ "$(wc -l <"$err")" -eq "$lines" ] || fail "expected $lines stderr lines"
    [ -z "$part" ] || grep -qF -- "$part" "$err" || fail "stderr does not mention '$part'"
    [ ! -s "$out" ] || fail "stdout is not empty"
}

case $case_name in
default_scenario_prints_one_report)
    args=(simulate)
    "$vekcrash" simulate >"$out" 2>"$err" || fail "exit status $?"
    [ ! -s "$err" ] || fail "stderr is not empty"
    # The report starts and ends a line of its own, byte for byte.
    head -c 22 "$out" | cmp -s - <(printf '\nBUGCHECK DUMP STARTS\n') || fail "bad first line"
    tail -c 19 "$out" | cmp -s - <(printf 'BUGCHECK DUMP ENDS\n') || fail "bad last line"
    [ "$(grep -c 'BUGCHECK DUMP STARTS' "$out")" -eq 1 ] || fail "more than one report"
    ;;
bad_scenario_exits_2_naming_file_and_key)
    printf '{"machine": {"processors": 2, "cores": 4}, "events": []}\n' >"$work/bad.json"
    expect 2 1 "$work/bad.json: machine.cores: unknown key" simulate "$work/bad.json"
    ;;
bad_command_lines_exit_2)
    expect 2 - "usage: vekcrash simulate"
    expect 2 - "unknown option --frobnicate" simulate --frobnicate
    expect 2 - "--image needs a path" simulate --image
    one=$scenarios/default_machine.json
    expect 2 - "only one scenario" simulate "$one" "$one"
    expect 2 1 "cannot read $work/absent.json" simulate "$work/absent.json"
    expect 2 1 "cannot read $work" simulate "$work"
    ;;
missing_image_exits_1_naming_it)
    expect 1 - "$work/absent.so" simulate --image "$work/absent.so"
    ;;
runs_without_a_report_exit_0)
    # A console that never gets a byte, and a load that fails, are results.
    expect 0 0 "" simulate "$scenarios/uart_never_ready.json"
    expect 0 1 "events[0]: load failed with status 0xC000009A" \
        simulate "$scenarios/fault_create_device.json"
    ;;
*)
    echo "unknown case $case_name"
    exit 2
    ;;
esac
exit 0
