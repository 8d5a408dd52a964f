#!/usr/bin/env bash
# Builds the libFuzzer targets with clang under AddressSanitizer and
# UndefinedBehaviorSanitizer, then runs each for a bounded time over its
# checked-in corpus. Any crash, hang, leak or sanitizer report fails. The
# cross build is on: the multi-processor scenario fuzzer runs the shipped
# image.
#   scripts/fuzz.sh [SECONDS_PER_FUZZER]   (default 30)
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-30}

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

for fuzzer in $fuzzers; do
    name=${fuzzer%_fuzzer}
    corpus=host/fuzz/corpus/$name
    work=$(mktemp -d)
    echo "== $fuzzer: ${seconds}s over $corpus"
    # New inputs go to a scratch folder; the checked-in corpus is only read.
    # A failing input is kept in a folder of its own outside the checkout,
    # never in the working folder, where it could be committed by mistake.
    artifacts=$(mktemp -d "${TMPDIR:-/tmp}/vekcrash-fuzz-$name.XXXXXX")
    status=0
    "$tree/bin/$fuzzer" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=4096 \
        -artifact_prefix="$artifacts/" \
        -print_final_stats=1 "$work" "$corpus" >"$work.log" 2>&1 || status=$?
    grep -E '^(INFO: seed|#[0-9]+ *DONE|stat::number_of_executed_units|SUMMARY)' "$work.log" || true
    if [ "$status" -ne 0 ]; then
        tail -n 60 "$work.log"
    fi
    rm -f "$work.log"
    rm -rf "$work"
    if [ "$status" -ne 0 ]; then
        echo "fuzz: $fuzzer failed (status $status); failing input kept in $artifacts:"
        ls -l "$artifacts"
        exit 1
    fi
    rm -rf "$artifacts"
done
echo "fuzz: $(echo "$fuzzers" | wc -w) fuzzers clean"
