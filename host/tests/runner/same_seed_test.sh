#!/usr/bin/env bash
# One seed, one console: `vekcrash simulate --sys` run twice in processes of
# their own (each with its own host address layout) prints the same bytes,
# so no host address reaches memory the driver can see.
#   same_seed_test.sh VEKCRASH SYS_IMAGE SCENARIO...
set -u
vekcrash=$1
sys_image=$2
shift 2

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
for scenario in "$@"; do
    for run in 1 2; do
        # A sanitizer's own notices carry the process id; they are no output
        # of the tool's.
        timeout 60 "$vekcrash" simulate --sys "$sys_image" --seed 3 "$scenario" 2>&1 \
            | grep -v '^==[0-9]*==' >"$work/out$run" || true
    done
    if ! cmp -s "$work/out1" "$work/out2"; then
        echo "$scenario: two runs of one seed differ"
        diff "$work/out1" "$work/out2" | head -n 10
        exit 1
    fi
done
