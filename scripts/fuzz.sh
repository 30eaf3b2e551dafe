#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for a fixed number of runs from its seed
# corpus (build-fuzz/). A crash, hang, leak or sanitizer report fails the run.
set -euo pipefail
cd "$(dirname "$0")/.."
CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DQUENVAR_FUZZ=ON -DQUENVAR_BUILD_APP=OFF \
  -DQUENVAR_BENCH=OFF
cmake --build build-fuzz --target fuzzers
ctest --test-dir build-fuzz -L fuzz --output-on-failure -j "$(nproc)"
