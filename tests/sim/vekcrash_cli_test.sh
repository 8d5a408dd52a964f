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
    echo "FAIL ($case_name): $*"
    echo "--- stdout:"; cat -A "$out"
    echo "--- stderr:"; cat "$err"
    exit 1
}

# Runs vekcrash with the given arguments; sets status.
run() {
    "$vekcrash" "$@" >"$out" 2>"$err"
    status=$?
}

expect_status() {
    [ "$status" -eq "$1" ] || fail "exit status $status, expected $1"
}

expect_stderr_lines() {
    local lines
    lines=$(wc -l <"$err")
    [ "$lines" -eq "$1" ] || fail "$lines stderr lines, expected $1"
}

expect_stderr_has() {
    grep -qF -- "$1" "$err" || fail "stderr does not mention '$1'"
}

expect_stdout_empty() {
    [ ! -s "$out" ] || fail "stdout is not empty"
}

case $case_name in
default_scenario_prints_one_report)
    run simulate
    expect_status 0
    expect_stderr_lines 0
    [ "$(head -c 22 "$out" | od -An -c | tr -s ' ')" = "$(printf '\nBUGCHECK DUMP STARTS\n' | od -An -c | tr -s ' ')" ] ||
        fail "stdout does not start with a line feed and BUGCHECK DUMP STARTS"
    [ "$(tail -c 19 "$out")" = "BUGCHECK DUMP ENDS" ] && [ "$(tail -c 1 "$out" | od -An -c | tr -d ' ')" = '\n' ] ||
        fail "stdout does not end with BUGCHECK DUMP ENDS and a line feed"
    [ "$(grep -c 'BUGCHECK DUMP STARTS' "$out")" -eq 1 ] || fail "more than one report"
    ;;
bad_scenario_exits_2_naming_the_key)
    printf '{"machine": {"processors": 2, "cores": 4}, "events": []}\n' >"$work/bad.json"
    run simulate "$work/bad.json"
    expect_status 2
    expect_stderr_lines 1
    expect_stderr_has "machine.cores: unknown key"
    expect_stderr_has "$work/bad.json"
    expect_stdout_empty
    ;;
malformed_json_exits_2)
    printf '{"events": [\n' >"$work/bad.json"
    run simulate "$work/bad.json"
    expect_status 2
    expect_stderr_lines 1
    expect_stderr_has "not valid JSON"
    expect_stdout_empty
    ;;
missing_file_exits_2)
    run simulate "$work/absent.json"
    expect_status 2
    expect_stderr_has "cannot read $work/absent.json"
    expect_stdout_empty
    ;;
directory_as_scenario_exits_2)
    run simulate "$work"
    expect_status 2
    expect_stdout_empty
    ;;
unknown_option_exits_2)
    run simulate --frobnicate
    expect_status 2
    expect_stderr_has "unknown option --frobnicate"
    expect_stdout_empty
    ;;
image_option_without_path_exits_2)
    run simulate --image
    expect_status 2
    expect_stderr_has "--image needs a path"
    ;;
two_scenarios_exit_2)
    run simulate "$scenarios/default_machine.json" "$scenarios/default_machine.json"
    expect_status 2
    expect_stderr_has "only one scenario"
    ;;
no_command_exits_2)
    run
    expect_status 2
    expect_stderr_has "usage: vekcrash simulate"
    ;;
missing_image_fails_naming_it)
    run simulate --image "$work/absent.so"
    [ "$status" -ne 0 ] || fail "exit status 0 with a missing image"
    expect_stderr_has "$work/absent.so"
    expect_stdout_empty
    ;;
empty_console_still_exits_0)
    run simulate "$scenarios/uart_never_ready.json"
    expect_status 0
    expect_stderr_lines 0
    expect_stdout_empty
    ;;
failed_load_exits_0_and_says_so)
    run simulate "$scenarios/fault_create_device.json"
    expect_status 0
    expect_stderr_lines 1
    expect_stderr_has "events[0]: load failed with status 0xC000009A"
    expect_stdout_empty
    ;;
*)
    echo "unknown case $case_name"
    exit 2
    ;;
esac
exit 0
