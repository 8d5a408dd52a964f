#!/usr/bin/env bash
# Sets up a fresh Debian 12 machine, builds the host tools and the driver
# image, and runs the default simulation: a machine that loads the driver
# and stops with bug check 0xD1. The serial console appears on stdout.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-packages.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
      -DVEK_SANITIZE=OFF -DVEK_CROSS=ON -DVEK_BENCHMARKS=ON >/dev/null
# Only what the run and the README's examples need: the tool, the host
# build of the driver, the model's kernel image, the shipped image with its
# package, and the crasher test driver. The tests and benchmarks are the
# test command's to build.
cmake --build build --target vekcrash vekcrashdmp_host vek_kernel_image vekcrashdmp_sys vekcrashdmp_package \
      vek_crasher_sys
echo "== vekcrashdmp.sys: $(ls build/cross/vekcrashdmp.sys 2>/dev/null || echo 'not built')" >&2
echo "== serial console of the default machine:" >&2
build/bin/vekcrash simulate
