#!/usr/bin/env bash
# Builds the libFuzzer targets with clang under AddressSanitizer and
# UndefinedBehaviorSanitizer, then runs each for a bounded time over its
# checked-in corpus. Any crash, hang, leak or sanitizer report fails. The
# cross build is on: the multi-processor scenario fuzzer runs the shipped
# image. A fuzzer uses one processor, so as many run at once as there are
# processors (VEK_FUZZ_JOBS to choose); each still gets its full time.
#   scripts/fuzz.sh [SECONDS_PER_FUZZER]   (default 30)
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-30}
jobs=${VEK_FUZZ_JOBS:-$(nproc)}

# The tree: VEK_FUZZ_TREE names one already configured with the fuzzers
# (the test command's sanitizer tree); otherwise a tree of their own.
tree=${VEK_FUZZ_TREE:-build-fuzz}
if [ -z "${VEK_FUZZ_TREE:-}" ]; then
    cmake -S . -B "$tree" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ \
          -DVEK_SANITIZE=ON -DVEK_FUZZ=ON -DVEK_CROSS=ON -DVEK_BENCHMARKS=OFF -DVEK_WERROR=ON >/dev/null
fi
fuzzers=$(cd host/fuzz && ls *_fuzzer.cpp 2>/dev/null | sed 's/\.cpp$//' || true)
[ -n "$fuzzers" ] || { echo "fuzz: no fuzzers"; exit 0; }
cmake --build "$tree" --target $fuzzers

# Each run's log and exit status land in a scratch folder, read once all
# have ended.
runs=$(mktemp -d)
trap 'rm -rf "$runs"' EXIT

# One fuzzer over its corpus. New inputs go to a scratch folder; the
# checked-in corpus is only read. A failing input is kept in a folder of
# its own outside the checkout, never in the working folder, where it could
# be committed by mistake.
run_fuzzer() {
    local fuzzer=$1 name=${1%_fuzzer} work status=0
    work=$(mktemp -d)
    mkdir -p "$runs/$fuzzer"
    mktemp -d "${TMPDIR:-/tmp}/vekcrash-fuzz-$name.XXXXXX" >"$runs/$fuzzer/artifacts"
    "$tree/bin/$fuzzer" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=4096 \
        -artifact_prefix="$(cat "$runs/$fuzzer/artifacts")/" \
        -print_final_stats=1 "$work" "host/fuzz/corpus/$name" >"$runs/$fuzzer/log" 2>&1 || status=$?
    rm -rf "$work"
    echo "$status" >"$runs/$fuzzer/status"
}

for fuzzer in $fuzzers; do
    while [ "$(jobs -rp | wc -l)" -ge "$jobs" ]; do
        wait -n || true
    done
    run_fuzzer "$fuzzer" &
done
wait

failed=0
for fuzzer in $fuzzers; do
    name=${fuzzer%_fuzzer}
    status=$(cat "$runs/$fuzzer/status")
    artifacts=$(cat "$runs/$fuzzer/artifacts")
    echo "== $fuzzer: ${seconds}s over host/fuzz/corpus/$name"
    grep -E '^(INFO: seed|#[0-9]+ *DONE|stat::number_of_executed_units|SUMMARY)' \
        "$runs/$fuzzer/log" || true
    if [ "$status" -ne 0 ]; then
        tail -n 60 "$runs/$fuzzer/log"
        echo "fuzz: $fuzzer failed (status $status); failing input kept in $artifacts:"
        ls -l "$artifacts"
        failed=1
    else
        rm -rf "$artifacts"
    fi
done
[ "$failed" = 0 ] || exit 1
echo "fuzz: $(echo "$fuzzers" | wc -w) fuzzers clean, $jobs at a time"
