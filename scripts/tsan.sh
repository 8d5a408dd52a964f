#!/usr/bin/env bash
# The model kernel under ThreadSanitizer: the model and its tests built with
# clang -fsanitize=thread, among them the baton handoffs between processor
# threads and the free-running broadcast (real parallelism, 200 rounds);
# any report is fatal. Not the cross build, nor the tools.
set -euo pipefail
cd "$(dirname "$0")/.."

# Line tables are all a report needs (function, file, line).
cmake -S . -B build-tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ \
      -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O2 -gline-tables-only -DNDEBUG" \
      -DVEK_TSAN=ON -DVEK_SANITIZE=OFF -DVEK_CROSS=OFF -DVEK_BENCHMARKS=OFF -DVEK_WERROR=ON >/dev/null
# Only what runs below: the model's tests, the driver's threaded tests, and
# the host image they load.
cmake --build build-tsan --target model_tests driver_thread_tests vekcrashdmp_host
# A report ends the run with a non-zero status; second_deadlock_stack
# names both sides of a lock-order report.
# Less the tests of native driver faults: such a fault arrives as SIGSEGV
# and leaves its handler by a throw through the signal frame, which
# ThreadSanitizer's own signal handling does not let through (and calls
# signal-unsafe). They hold no thread of their own; the other trees run them.
TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 ${TSAN_OPTIONS:-}" \
    build-tsan/bin/model_tests --gtest_filter='-RunGuardedTest.NativeRead*'
# The module map's lock under image loads on processors that really run at
# once.
TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 ${TSAN_OPTIONS:-}" \
    build-tsan/bin/driver_thread_tests --gtest_filter='ModuleMapLifecycleTest.*'
# The all-processor broadcast on processors that really run at once: the
# block on the waiter's stack, the interlocked count, the DPC array.
TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 ${TSAN_OPTIONS:-}" \
    build-tsan/bin/driver_thread_tests --gtest_filter='BroadcastTest.FreeRunning*'

