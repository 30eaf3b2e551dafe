#!/usr/bin/env bash
# Builds the program and runs the main job on the embedded sample recovery area with a virtual
# recorder (no hardware needed).
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build -G Ninja
cmake --build build
build/bin/quillden --version
