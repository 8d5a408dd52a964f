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
    # A hang is a failure, not a stuck test.
    timeout 20 "$vekcrash" "$@" >"$out" 2>"$err"
    local got=$?
    [ "$got" -ne 124 ] || fail "hung"
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
    # A fault only as the routine's reference page has it.
    printf '{"faults": [{"routine": "IoCreateSymbolicLink", "status": "0xC0000001"}], "events": []}\n' >"$work/status.json"
    expect 2 1 "faults[0].status: 'IoCreateSymbolicLink' fails only with 0xC000009A (STATUS_INSUFFICIENT_RESOURCES), 0xC0000035 (STATUS_OBJECT_NAME_COLLISION)" simulate "$work/status.json"
    printf '{"faults": [{"routine": "RtlGetVersion"}], "events": []}\n' >"$work/version.json"
    expect 2 1 "cannot be made to fail" simulate "$work/version.json"
    ;;
bad_command_lines_exit_2)
    # One line and a pointer to the help, never the whole usage.
    expect 2 1 "no command given; see vekcrash --help"
    expect 2 1 "unknown command frob; see vekcrash --help" frob
    expect 2 1 "unknown option --frobnicate; see vekcrash simulate --help" simulate --frobnicate
    expect 2 1 "; see vekcrash decode --help" decode --frobnicate
    # One driver per run.
    expect 2 1 "only one of --sys and --image" simulate --sys a.sys --sys b.sys
    expect 2 1 "only one of --sys and --image" simulate --image a.so --sys b.sys
    expect 2 1 "only one of --sys and --image" simulate --sys b.sys --image a.so
    expect 2 - "--image needs a path" simulate --image
    one=$scenarios/default_machine.json
    expect 2 - "only one scenario" simulate "$one" "$one"
    expect 2 1 "cannot read $work/absent.json" simulate "$work/absent.json"
    expect 2 1 "cannot read $work: it is a directory" simulate "$work"
    ;;
inputs_that_never_end_exit_in_one_line)
    # Devices, FIFOs and folders are refused before a byte is read: no
    # hang, no unbounded read, no copy left behind.
    mkfifo "$work/fifo"
    expect 2 1 "cannot read /dev/zero: it is not a regular file" simulate /dev/zero
    expect 2 1 "cannot read $work/fifo: it is not a regular file" simulate "$work/fifo"
    before=$(ls /tmp | grep -c '^vekcrashdmp-')
    expect 1 1 "cannot read driver image /dev/zero: it is not a regular file" simulate --image /dev/zero
    expect 1 1 "it is not a regular file" simulate --sys /dev/zero
    [ "$(ls /tmp | grep -c '^vekcrashdmp-')" -eq "$before" ] || fail "a copy was left in /tmp"
    for file in /dev/zero "$work/fifo" "$work"; do
        printf '{"machine": {"images": [{"path": "\\\\x\\\\a.sys", "offset": 4096, "file": "%s"}]}, "events": []}' \
            "$file" >"$work/image.json"
        expect 2 1 "images[0].file: cannot read $file: it " simulate "$work/image.json"
    done
    ;;
test_drivers_refused_on_host_build_exit_2)
    # The crasher is a .sys: the host build says so in one line and runs nothing.
    expect 2 1 "crasher.json: machine.test_drivers: test drivers (crasher) run only on the shipped image" \
        simulate "$scenarios/../../../examples/scenarios/crasher.json"
    ;;
missing_image_exits_1_naming_it)
    expect 1 - "$work/absent.so" simulate --image "$work/absent.so"
    ;;
kernel_older_than_the_driver_exit_1)
    # Windows Vista lacks the processor-group routines the driver imports:
    # the loader's status, one line, on the host build.
    echo '{"machine": {"os_version": {"major": 6, "minor": 0}}, "events": [{"event": "load"}]}' \
        >"$work/vista.json"
    expect 1 1 "events[0]: the loader fails the image with status 0xC0000263: it imports " \
        simulate "$work/vista.json"
    grep -qF "Windows 6.0 does not export it (first in 6.1)" "$err" || fail "no version named"
    ;;
runs_without_a_report_exit_0)
    # A console that never gets a byte, and a load that fails, are results.
    expect 0 0 "" simulate "$scenarios/uart_never_ready.json"
    expect 0 1 "events[0]: load failed with status 0xC000009A" \
        simulate "$scenarios/fault_create_device.json"
    ;;
bad_numbers_exit_2_in_one_line)
    # A wrapped or clamped limit would let runaway driver code run forever.
    for bad in -1 0 18446744073709551616 99999999999999999999999 abc 5x " 5" "" +5 0x10; do
        expect 2 1 "--instruction-limit needs a decimal number" simulate --instruction-limit "$bad"
    done
    expect 2 1 "--instruction-limit needs a decimal number from 1 to 18446744073709551615; none given" \
        simulate --instruction-limit
    for bad in -1 18446744073709551616 abc ""; do
        expect 2 1 "--seed needs a decimal number" simulate --seed "$bad"
    done
    expect 2 1 'not "1\n2"' simulate --seed $'1\n2'
    # The largest values are taken.
    "$vekcrash" simulate --seed 18446744073709551615 --instruction-limit 18446744073709551615 \
        >"$out" 2>"$err" || fail "largest numbers refused"
    ;;
bad_input_files_exit_2_in_one_line)
    printf '{"description": 1e309, "events": []}' >"$work/huge.json"
    expect 2 1 "huge.json: description: the number 1e309 is too large" simulate "$work/huge.json"
    printf '{"events": [], "seed": %s}' "$(printf '9%.0s' $(seq 310))" >"$work/digits.json"
    expect 2 1 "digits.json: seed: the number 999" simulate "$work/digits.json"
    printf '{"events": []}\0{"machine": 1}' >"$work/nul.json"
    expect 2 1 "nul.json: not valid JSON: a NUL byte at offset 14" simulate "$work/nul.json"
    # A key can neither start a line of its own nor reach the terminal raw.
    printf '{"events": [], "x\\nvekcrash: forged\\u001b[2J": 1}' >"$work/forge.json"
    expect 2 1 'x\nvekcrash: forged\x1B[2J: unknown key' simulate "$work/forge.json"
    ! grep -q $'\x1b' "$err" || fail "an escape byte reached stderr"
    printf '{"faults": [{"routine": "%s"}], "events": []}' "$(head -c 1000000 /dev/zero | tr '\0' A)" \
        >"$work/long.json"
    expect 2 1 'no kernel routine named "AAAA' simulate "$work/long.json"
    [ "$(wc -c <"$err")" -lt 400 ] || fail "a long name made a long line"
    # Messages from the image loader are printed the same way.
    expect 1 1 'cannot read driver image' simulate --image "$work/a"$'\n'"vekcrash: forged"
    grep -qF 'a\nvekcrash: forged' "$err" || fail "the image path was not escaped"
    ;;
state_file_written_as_json)
    # The restore example leaves a rebuilt reference TSC page that keeps
    # exact time; a file that cannot be written is one line and exit 2.
    args=(simulate --state "$work/state.json" "$scenarios/hyperv_restore_successful.json")
    "$vekcrash" "${args[@]}" >"$out" 2>"$err" || fail "exit status $?"
    grep -qF '"time_after_10s": 99999999' "$work/state.json" || fail "no exact page in the state"
    grep -qF '"open_handles": 0' "$work/state.json" || fail "no handle count in the state"
    args=(simulate --state "$work/none/state.json" "$scenarios/hyperv_restore_successful.json")
    "$vekcrash" "${args[@]}" >"$out" 2>"$err"
    [ $? -eq 2 ] || fail "an unwritable state file did not exit 2"
    [ "$(wc -l <"$err")" -eq 1 ] && grep -qF 'cannot write' "$err" || fail "expected one line"
    ;;
*)
    echo "unknown case $case_name"
    exit 2
    ;;
esac
exit 0
