#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for a fixed number of runs from its seed
# corpus (build-fuzz/). A crash, hang, leak or sanitizer report fails the run.
set -euo pipefail
cd "$(dirname "$0")/.."
flags=()
if command -v ccache > /dev/null; then
  export CCACHE_BASEDIR="$PWD" CCACHE_NOHASHDIR=1
  flags+=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi
CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DQUENVAR_FUZZ=ON -DQUENVAR_BUILD_APP=OFF \
  -DQUENVAR_BENCH=OFF "${flags[@]}"
cmake --build build-fuzz --target fuzzers
ctest --test-dir build-fuzz -L fuzz --output-on-failure -j "$(nproc)"
