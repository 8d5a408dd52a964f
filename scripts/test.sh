#!/usr/bin/env bash
# Every test: both builds with the image gate and the whole suite with g++,
# the host suite again under AddressSanitizer and UndefinedBehaviorSanitizer,
# and again with clang (each compiler and optimisation level warns about and
# miscompiles different things), the
# libFuzzer targets for a bounded time over their corpora, the virtual
# processors under ThreadSanitizer, and clang-tidy over the driver's
# sources.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)

# Three trees: g++ optimised (Release, with the benchmarks), g++ with
# AddressSanitizer and UndefinedBehaviorSanitizer (Debug), and clang
# optimised. The compiler is named, not taken from CXX, so that each tree
# always builds with the compiler it is for. The tests that come out the
# same in every tree (the image gate, the .sys built twice more, its
# signing, the PE corpus) run in the first tree only.
cmake -S . -B build-release -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_COMPILER=g++ \
      -DVEK_SANITIZE=OFF -DVEK_CROSS=ON -DVEK_BENCHMARKS=ON -DVEK_WERROR=ON >/dev/null
cmake --build build-release
ctest --test-dir build-release --output-on-failure -j "$jobs"

cmake -S . -B build-sanitize -G Ninja -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_COMPILER=g++ \
      -DVEK_SANITIZE=ON -DVEK_CROSS=ON -DVEK_BENCHMARKS=OFF -DVEK_WERROR=ON \
      -DVEK_TREE_INDEPENDENT_TESTS=OFF >/dev/null
cmake --build build-sanitize
ctest --test-dir build-sanitize --output-on-failure -j "$jobs"

cmake -S . -B build-clang -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_COMPILER=clang++ \
      -DVEK_SANITIZE=OFF -DVEK_CROSS=ON -DVEK_BENCHMARKS=ON -DVEK_WERROR=ON \
      -DVEK_TREE_INDEPENDENT_TESTS=OFF >/dev/null
cmake --build build-clang
ctest --test-dir build-clang --output-on-failure -j "$jobs"

scripts/fuzz.sh 30

scripts/tsan.sh

scripts/tidy.sh
