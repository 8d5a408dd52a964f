#!/usr/bin/env bash
# Every test: both builds with the image gate and the whole suite with g++
# optimised; the suite again with clang under AddressSanitizer and
# UndefinedBehaviorSanitizer, less the shipped image's slow repeats but for
# a named sample, whose tree also builds the libFuzzer targets that then run
# for a bounded time over their corpora, one per processor at a time; the
# virtual processors under ThreadSanitizer; and clang-tidy over the driver's
# sources. Each stage's wall time is printed at the end.
#   scripts/test.sh           everything (what CI runs)
#   scripts/test.sh --quick   the g++ tree and its suite, less the slowest
#                             tests that do not depend on the change at hand
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)
quick=0
case "${1:-}" in
    "") ;;
    --quick) quick=1 ;;
    *) echo "test.sh: unknown option '$1' (use --quick or nothing)" >&2; exit 2 ;;
esac

# The tests wait on child processes and files as much as on the processor:
# one more test than there are processors keeps both busy.
test_jobs=$((jobs + 1))

# ctest in a tree; when a test fails, its output's last lines again after
# the summary, where a CI log's tail shows them.
suite_in() {
    local tree=$1
    shift
    ctest --test-dir "$tree" --output-on-failure -j "$test_jobs" "$@" || {
        scripts/failed-output.sh "$tree"
        return 1
    }
}

# Each stage's wall time, printed as it ends and all together at the end.
timings=""
stage() {
    local name=$1 start=$SECONDS
    shift
    "$@"
    echo "== $name: $((SECONDS - start)) s"
    timings+=$(printf '%-14s %5d s' "$name" $((SECONDS - start)))$'\n'
}

# Two trees, each compiler in its own; the compiler is named, not taken
# from CXX, so that each tree always builds with the compiler it is for.
# g++ optimised (Release, with the benchmarks) runs everything, including
# the tests that come out the same in every tree (the image gate, the .sys
# built twice more, its signing, the PE corpus).
cmake -S . -B build-release -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_COMPILER=g++ \
      -DVEK_SANITIZE=OFF -DVEK_CROSS=ON -DVEK_BENCHMARKS=ON -DVEK_WERROR=ON >/dev/null
if [ "$quick" = 1 ]; then
    cmake --build build-release
    suite_in build-release \
          -E '^(pe_corpus_fetch|pe_corpus_expectations|pe_corpus_module_table|cross_build_is_reproducible|package_signing|damaged_sys_images|damaged_seh_images)$'
    exit 0
fi
stage release-build cmake --build build-release
stage release-suite suite_in build-release

# clang under AddressSanitizer and UndefinedBehaviorSanitizer: the suite
# once more (host memory the guest should never see is what these catch),
# and the fuzzers from the same objects. The shipped image's runs that only
# repeat the g++ tree's (every golden scenario, the thousand-module and
# concurrent-load sweeps on several processors) ran there; here a named
# sample of them runs first, then everything else. The damaged-image sweeps
# run a sample under other seeds here (host/tests/image), and the decoder's
# round trip decodes the host build's consoles only (host/tests/decode).
# Line tables are all a sanitizer's report needs (function, file, line);
# full debug information doubles each object and slows its compile by a
# fifth.
cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ \
      -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O2 -gline-tables-only -DNDEBUG" \
      -DVEK_SANITIZE=ON -DVEK_FUZZ=ON -DVEK_CROSS=ON -DVEK_BENCHMARKS=OFF -DVEK_WERROR=ON \
      -DVEK_TREE_INDEPENDENT_TESTS=OFF >/dev/null
# A parameterised test's name ends in a comment naming its parameter.
sys_repeats='_on_sys( |$)|^Processors/(LongReportTest|ConcurrentLoadsTest)\.'
sys_sample='/(default_machine|bugcheck_on_last_processor|hyperv_restore_successful|modules_images_and_loads|spcr_memory_console|load_unload_load|fault_map_io_space)_on_sys( |$)|^Processors/LongReportTest\..*/2_busy3_seed7( |$)|^Processors/ConcurrentLoadsTest\..*/3( |$)'
stage asan-build cmake --build build-asan
asan_suite() {
    suite_in build-asan -R "$sys_sample"
    suite_in build-asan -E "$sys_repeats"
}
stage asan-suite asan_suite

stage fuzz env VEK_FUZZ_TREE=build-asan scripts/fuzz.sh 30

stage tsan scripts/tsan.sh

stage tidy scripts/tidy.sh

echo "== stages (wall time)"
printf '%s' "$timings"
