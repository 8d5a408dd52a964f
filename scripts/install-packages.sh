#!/usr/bin/env bash
# Installs the Debian 12 packages the builds and tests need.
set -euo pipefail

packages=(
    cmake ninja-build g++ make
    clang clang-tidy lld llvm            # cross build of the .sys, analysis
    libclang-rt-14-dev                   # clang's fuzzer and sanitizer runtimes
    mingw-w64-x86-64-dev                 # kernel headers for the cross build
    python3 python3-pefile               # post-link gate of the .sys
    libgtest-dev libbenchmark-dev        # tests and benchmarks
    nlohmann-json3-dev                   # scenario files
    rapidjson-dev                        # the decoder's streaming JSON writer
    llvm-14-dev                          # the decoder's PDB reader
    libcurl4-openssl-dev libmspack-dev   # symbol servers, compressed PDBs
    gcab                                 # cabinets: the symbol server test, the attestation submission
    libunicorn-dev libcapstone-dev       # running the shipped image on an emulated processor
    liblief-dev pkg-config               # loading the shipped image
    openssl osslsigncode                 # signing a copy of the .sys without the Windows kit
    python3-asn1crypto                   # the driver package's catalog
    ccache                               # objects shared between build trees and runs
)

missing=()
for package in "${packages[@]}"; do
    dpkg -s "$package" >/dev/null 2>&1 || missing+=("$package")
done
if [ "${#missing[@]}" -eq 0 ]; then
    exit 0
fi

sudo=""
if [ "$(id -u)" -ne 0 ]; then
    sudo=sudo
fi
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
