#!/usr/bin/env bash
# `vekcrash simulate --sys` on images that break: each ends with exit status
# 1 and the bug check or violation named (never a signal, never a hang), or,
# for refused images, one clear line on stderr.
set -u
vekcrash=$1
fixtures=$2
case=$3
sys_image=${4:-}

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
scenario=$work/scenario.json
echo '{"events": [{"event": "load"}, {"event": "bugcheck", "code": "0xD1"}]}' >"$scenario"

# run IMAGE SCENARIO [OPTIONS...]: runs the fixture image, bounded in time.
run() {
    local image=$1 scenario=$2
    shift 2
    timeout 60 "$vekcrash" simulate --sys "$fixtures/$image.sys" "$@" "$scenario" \
        >"$work/out" 2>"$work/err"
    status=$?
}

fail() {
    echo "$1"
    echo "--- stdout"; cat "$work/out"
    echo "--- stderr"; cat "$work/err"
    exit 1
}

# expect IMAGE STDERR-PATTERN [STDOUT-PATTERN [SCENARIO]]: exit status 1,
# stderr naming the fault, the console showing what the kernel raised.
expect() {
    local image=$1 err=$2 out=${3:-} with=${4:-$scenario}
    run "$image" "$with"
    [ "$status" -eq 1 ] || fail "expected exit status 1, got $status"
    grep -q -- "$err" "$work/err" || fail "stderr does not say '$err'"
    if [ -n "$out" ]; then
        grep -q -- "$out" "$work/out" || fail "the console does not show '$out'"
    fi
}

# The report callback of the fixtures prints BUGCHECK, the code and the four
# parameters.
code() {
    printf 'BUGCHECK %016X %016X' "$1" "$2"
}

# same_console HOST SYS: the two builds' consoles agree byte for byte outside
# the register context and stack trace, which depend on where code and
# stacks lie (and the host build's own code has no unwind data); both show
# those sections, or neither does.
same_console() {
    local strip='/^CONTEXT (/,/^BUGCHECK DUMP ENDS$/{/^BUGCHECK DUMP ENDS$/!d}'
    [ "$(grep -c '^STACK:$' "$1")" = "$(grep -c '^STACK:$' "$2")" ] ||
        fail "the stack trace sections differ from the host build's"
    cmp -s <(sed "$strip" "$1") <(sed "$strip" "$2") || fail "the console differs from the host build's"
}

case $case in
missing_import)
    run missing_import_driver "$scenario"
    [ "$status" -ne 0 ] || fail "expected a non-zero exit"
    grep -q "imports KeBugCheckEx from ntoskrnl.exe, which the model kernel does not provide" \
        "$work/err" || fail "the missing import is not named" ;;
refused_images)
    # The loader's own words, one line each: a cut file is refused, not run
    # with sections missing.
    head -c 3000 "$fixtures/fault_driver.sys" >"$work/cut.sys"
    printf 'MZ' >"$work/mz.sys"
    for image in cut mz; do
        timeout 60 "$vekcrash" simulate --sys "$work/$image.sys" "$scenario" >"$work/out" 2>"$work/err"
        status=$?
        [ "$status" -eq 1 ] || fail "$image: expected exit status 1, got $status"
        [ "$(wc -l <"$work/err")" -eq 1 ] || fail "$image: expected one line"
    done
    timeout 60 "$vekcrash" simulate --sys "$work/cut.sys" "$scenario" >"$work/out" 2>"$work/err"
    grep -q "section .* runs past the end of the file" "$work/err" || fail "the cut is not named" ;;
fault)
    expect fault_driver "violation: driver code read unmapped or protected memory"
    grep -q "events\[1\] and later skipped: the machine has stopped" "$work/err" ||
        fail "the bug check event should be skipped" ;;
runaway)
    run runaway_driver "$scenario" --instruction-limit 100000
    [ "$status" -eq 1 ] || fail "expected exit status 1, got $status"
    grep -q runaway "$work/err" || fail "runaway code is not named" ;;
stack_overflow)
    expect stack_overflow_driver "double fault" "$(code 0x7F 8)" ;;
wild_stack_pointer)
    expect wild_stack_driver "double fault" "$(code 0x7F 8)" ;;
stack_in_data)
    # The report callback runs on the kernel's stack, not in the driver's
    # data where its stack pointer was left.
    expect stack_in_data_driver "executed an invalid instruction" "$(code 0x7E 0xC000001D)"
    grep -q "DATA INTACT" "$work/out" || fail "the callback's frame was written into driver data" ;;
seh)
    # Guarded faults are dispatched to the driver's __try scopes in order;
    # the last, on a system-space address, is no exception: it bug checks
    # (a read, 0x50) inside its guard.
    expect seh_driver "read unmapped or protected memory" "BUGCHECK 0000000000000050 FFFFF80300001000"
    printf '%s\n' "CAUGHT 00000000C0000005" "FILTER DECLINES" "OUTER CAUGHT" \
        "FILTER ADDRESS 0000000000000010" "FINALLY ABNORMAL" "INNER CAUGHT" "AFTER INNER" \
        "BODY" "FINALLY NORMAL" "FILTER CODE 00000000C0000094" "DIVIDE CAUGHT" \
        "FILTER ADDRESS 0000000000000010" "ROUTINE FAULT CAUGHT 00000000C0000005" \
        "GUARDED SYSTEM SPACE" \
        >"$work/expected"
    grep -v '^BUGCHECK' "$work/out" | tr -d '\r' >"$work/lines"
    diff "$work/expected" "$work/lines" >"$work/diff" || fail "console lines differ: $(cat "$work/diff")" ;;
seh_continue)
    # A filter that mends the context continues the faulting read; one that
    # faults itself bug checks (the read at 0x20, not dispatched again).
    echo '{"events": [{"event": "load"}, {"event": "unload"}]}' >"$work/unload.json"
    expect seh_continue_driver "read unmapped or protected memory" \
        "BUGCHECK 0000000000000050 0000000000000020" "$work/unload.json"
    grep -q "^CONTINUED 000000000000600D" "$work/out" || fail "the mended read did not go on"
    grep -q "^FILTER FAULTS" "$work/out" || fail "the faulting filter did not run"
    # A filter that continues at the same breakpoint forever is runaway code.
    expect seh_continue_driver "continued execution at .* more than 64 times"
    grep -q "NOT REACHED" "$work/out" && fail "a continued exception reached its handler"
    # A breakpoint in a __finally block the unwind runs is not dispatched
    # again: the callback is abandoned, the handler never reached.
    echo '{"events": [{"event": "load"}, {"event": "bugcheck", "code": "0xE2"}]}' >"$work/e2.json"
    expect seh_continue_driver "hit a breakpoint" "^FINALLY BREAKS" "$work/e2.json"
    grep -q "NOT REACHED" "$work/out" && fail "the unwind went on past a fault in a __finally block"
    true ;;
seh_damaged)
    # Scope tables whose count or addresses are damaged are refused: the
    # first guarded fault then bug checks as if unguarded.
    for damage in count addresses; do
        /usr/bin/python3 - "$fixtures/seh_driver.sys" "$work/damaged.sys" "$damage" <<'PY' ||
import struct, sys, pefile
pe = pefile.PE(sys.argv[1])
data = bytearray(pe.__data__)
directory = pe.OPTIONAL_HEADER.DATA_DIRECTORY[3]
tables = 0
for entry in range(directory.Size // 12):
    _, _, unwind = struct.unpack_from("<III", data, pe.get_offset_from_rva(directory.VirtualAddress + 12 * entry))
    info = pe.get_offset_from_rva(unwind)
    if data[info] >> 3 & 3 == 0:
        continue
    codes = data[info + 2]
    table = info + 4 + 2 * (codes + (codes & 1)) + 4
    count = struct.unpack_from("<I", data, table)[0]
    if sys.argv[3] == "count":
        struct.pack_into("<I", data, table, 0xFFFFFFFF)
    for index in range(count if sys.argv[3] == "addresses" else 0):
        struct.pack_into("<II", data, table + 4 + 16 * index + 8, 0x7FFFFFF0, 0x7FFFFFF0)
    tables += 1
assert tables >= 5, tables
open(sys.argv[2], "wb").write(data)
PY
            fail "cannot damage the scope tables"
        timeout 60 "$vekcrash" simulate --sys "$work/damaged.sys" "$scenario" >"$work/out" 2>"$work/err"
        status=$?
        [ "$status" -eq 1 ] || fail "$damage: expected exit status 1, got $status"
        head -n 1 "$work/out" | grep -q "^BUGCHECK 0000000000000050 0000000000000010" ||
            fail "$damage: the first guarded fault should bug check"
    done ;;
data_export_overrun)
    # A write (2) at the first address past the variable's page.
    expect data_export_overrun_driver "wrote to unmapped or protected memory" \
        "BUGCHECK 0000000000000050 [0-9A-F]*000 0000000000000002" ;;
callback_left_registered)
    echo '{"events": [{"event": "load"}, {"event": "unload"}, {"event": "bugcheck", "code": "0xD1"}]}' \
        >"$work/unload.json"
    expect invalid_instruction_driver "a bug check callback is still registered after unload" "" \
        "$work/unload.json"
    [ ! -s "$work/out" ] || fail "the unloaded driver's callback ran" ;;
breakpoint)
    expect breakpoint_driver "hit a breakpoint" "$(code 0x7E 0x80000003)" ;;
divide_error)
    expect divide_error_driver "divided by zero" "$(code 0x7E 0xC0000094)" ;;
invalid_opcode)
    expect invalid_opcode_driver "executed an invalid instruction" "$(code 0x7E 0xC000001D)" ;;
privileged_instruction)
    expect processor_driver "instruction the processor refused" "" ;;
general_protection)
    expect general_protection_driver "general protection fault" "$(code 0x7E 0xC0000005)"
    # In the entry routine's system thread: 0x7E, whose last two parameters
    # are the exception and context records.
    grep -E -- "^$(code 0x7E 0xC0000005) [0-9A-F]{16} [0-9A-F]{16} [0-9A-F]{16}$" "$work/out" |
        grep -qv -- " 0000000000000000$" || fail "no exception and context records" ;;
fail_fast)
    expect fail_fast_driver "failed fast" "$(code 0x139 3)" ;;
hidden_msr)
    expect hidden_msr_driver "instruction the processor refused" "$(code 0x7E 0xC0000096)" ;;
machine_state)
    # Instructions and states no Windows driver survives: each is named, and
    # the machine stops as Windows would (a reset gives no bug check and no
    # report; a frame past the stack, the double fault). The build number
    # picks the fixture's case: build|stderr|console.
    while IFS='|' read -r build err out; do
        printf '{"machine": {"os_version": {"build": %s}}, "events": [{"event": "load"}, %s]}\n' \
            "$build" '{"event": "bugcheck", "code": "0xD1"}' >"$work/state.json"
        expect machine_state_driver "$err" "$out" "$work/state.json"
        case $build in 1|2|3|4|5|7) grep -q RETURNED "$work/out" && fail "case $build went on" ;; esac
    done <<'CASES'
1|loaded a zero interrupt descriptor table (lidt) at .*(triple fault)|
2|loaded a zero global descriptor table (lgdt)|
3|executed swapgs at .* in kernel mode|
4|executed syscall at .* in kernel mode|
5|wrote 0x06 to the reset control port 0xCF9: the machine resets|
6|returned from the entry routine to the kernel with interrupts disabled|BUGCHECK 00000000000000D1
7|overflowed its stack or lost its stack pointer (double fault)|BUGCHECK 000000000000007F 0000000000000008
CASES
    true ;;
control_register)
    expect control_register_driver "wrote CR4" "$(code 0xD1 0)" ;;
endless_output)
    # Bytes without end are no progress: the call is still runaway code.
    run chatty_driver "$scenario" --instruction-limit 100000
    [ "$status" -eq 1 ] || fail "expected exit status 1, got $status"
    grep -q runaway "$work/err" || fail "runaway code is not named" ;;
slow_uart)
    # A slow transmitter that keeps accepting bytes is no runaway code, even
    # with a bound far below the whole report: the console is the host
    # build's.
    echo '{"machine": {"uarts": [{"space": "io", "address": "0x3F8", "busy_reads": 2000}]},
           "events": [{"event": "load"}, {"event": "bugcheck", "code": "0xD1"}]}' >"$work/slow.json"
    timeout 60 "$vekcrash" simulate "$work/slow.json" >"$work/host" 2>/dev/null
    timeout 60 "$vekcrash" simulate --sys "$sys_image" --instruction-limit 100000 "$work/slow.json" \
        >"$work/out" 2>"$work/err"
    status=$?
    [ "$status" -eq 0 ] || fail "expected exit status 0, got $status"
    [ -s "$work/host" ] || fail "the host build printed nothing"
    same_console "$work/host" "$work/out" ;;
dead_uart)
    # A transmitter that never becomes ready is no progress: the driver's own
    # polling bound ends the wait, as on the host build.
    echo '{"machine": {"uarts": [{"space": "io", "address": "0x3F8", "busy_reads": "forever"}]},
           "events": [{"event": "load"}, {"event": "bugcheck", "code": "0xD1"}]}' >"$work/dead.json"
    timeout 60 "$vekcrash" simulate "$work/dead.json" >"$work/host" 2>"$work/host.err"
    host_status=$?
    timeout 60 "$vekcrash" simulate --sys "$sys_image" "$work/dead.json" >"$work/out" 2>"$work/err"
    status=$?
    [ "$status" -eq "$host_status" ] || fail "exit status $status, the host build's $host_status"
    grep -q runaway "$work/err" && fail "the driver's polling bound should end the wait"
    same_console "$work/host" "$work/out" ;;
power)
    # The hypervisor and power-state routines reached through the import
    # binding: a hibernation that resets the MSRs, then a resume.
    echo '{"machine": {"hypervisor": {"features": "0x2E7F", "msrs": {
             "guest_os_id": "0x8100000000000000", "reference_tsc": "0x7F000001",
             "vp_assist_page": ["0x9001"]}}},
           "events": [{"event": "load"}, {"event": "sleep", "state": "hibernate"},
                      {"event": "resume", "reset_msrs": true}, {"event": "unload"}]}' \
        >"$work/power.json"
    run power_driver "$work/power.json"
    [ "$status" -eq 0 ] || fail "expected exit status 0, got $status"
    printf '%s\n' "HV 000000007263694D 0000000000002E7F" \
        "MSR 8100000000000000 0000000000009001" \
        "POWER 0000000000000003 0000000000000000" \
        "POWER 0000000000000003 0000000000000001" \
        "WORK 010624DD2F1A9FBE 0000000000000003" >"$work/expected"
    cmp -s "$work/expected" "$work/out" || fail "the console is not the expected one" ;;
*)
    echo "unknown case $case"; exit 2 ;;
esac
exit 0
