#!/usr/bin/env bash
# `vekcrash simulate --sys` on images that break: each gives one clear line
# on stderr and a non-zero exit status.
set -u
vekcrash=$1
fixtures=$2
case=$3

scenario=$(mktemp)
trap 'rm -f "$scenario" "$scenario.err" "$scenario.out"' EXIT
echo '{"events": [{"event": "load"}, {"event": "bugcheck", "code": "0xD1"}]}' >"$scenario"

expect() {
    local image=$1 pattern=$2
    shift 2
    "$vekcrash" simulate --sys "$fixtures/$image.sys" "$@" "$scenario" >"$scenario.out" 2>"$scenario.err"
    local status=$?
    if [ "$status" -eq 0 ]; then
        echo "expected a non-zero exit, got 0"; cat "$scenario.err"; exit 1
    fi
    if ! grep -q -- "$pattern" "$scenario.err"; then
        echo "stderr does not say '$pattern':"; cat "$scenario.err"; exit 1
    fi
}

case $case in
missing_import)
    expect missing_import_driver "imports KeBugCheckEx from ntoskrnl.exe, which the model kernel does not provide" ;;
fault)
    expect fault_driver "violation: driver code read unmapped or protected memory"
    grep -q "events\[1\] and later skipped: the machine has stopped" "$scenario.err" || {
        echo "the bug check event should be skipped"; cat "$scenario.err"; exit 1; } ;;
runaway)
    expect runaway_driver "runaway" --instruction-limit 100000 ;;
*)
    echo "unknown case $case"; exit 2 ;;
esac
