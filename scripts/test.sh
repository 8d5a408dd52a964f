#!/usr/bin/env bash
# Every test: both builds with the image gate and the whole suite with g++
# optimised; the whole suite again with clang under AddressSanitizer and
# UndefinedBehaviorSanitizer, whose tree also builds the libFuzzer targets
# that then run for a bounded time over their corpora; the virtual
# processors under ThreadSanitizer; and clang-tidy over the driver's sources.
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

# Two trees, each compiler in its own; the compiler is named, not taken
# from CXX, so that each tree always builds with the compiler it is for.
# g++ optimised (Release, with the benchmarks) runs everything, including
# the tests that come out the same in every tree (the image gate, the .sys
# built twice more, its signing, the PE corpus).
cmake -S . -B build-release -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_COMPILER=g++ \
      -DVEK_SANITIZE=OFF -DVEK_CROSS=ON -DVEK_BENCHMARKS=ON -DVEK_WERROR=ON >/dev/null
if [ "$quick" = 1 ]; then
    cmake --build build-release
    ctest --test-dir build-release --output-on-failure -j "$test_jobs" \
          -E '^(pe_corpus_fetch|pe_corpus_expectations|pe_corpus_module_table|cross_build_is_reproducible|package_signing|damaged_sys_images|damaged_seh_images)$'
    exit 0
fi
cmake --build build-release
ctest --test-dir build-release --output-on-failure -j "$test_jobs"

# clang under AddressSanitizer and UndefinedBehaviorSanitizer: the whole
# suite once more, the shipped image's runs included (host memory the guest
# should never see is what these catch), and the fuzzers from the same
# objects.
cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ \
      -DVEK_SANITIZE=ON -DVEK_FUZZ=ON -DVEK_CROSS=ON -DVEK_BENCHMARKS=OFF -DVEK_WERROR=ON \
      -DVEK_TREE_INDEPENDENT_TESTS=OFF >/dev/null
cmake --build build-asan
ctest --test-dir build-asan --output-on-failure -j "$test_jobs"

VEK_FUZZ_TREE=build-asan scripts/fuzz.sh 30

scripts/tsan.sh

scripts/tidy.sh
