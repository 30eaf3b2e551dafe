#!/usr/bin/env bash
# Builds the Debian packages in build/packages (the build folder is configured for /usr).
#   scripts/package.sh          build the packages
#   scripts/package.sh --check  then install them into a fresh Debian root made with debootstrap,
#                               run the programs and the example there, remove them again, and
#                               check the packages with lintian and the desktop files' validators
set -euo pipefail
cd "$(dirname "$0")/.."
build=build

cmake -S . -B "$build" -G Ninja -DCMAKE_INSTALL_PREFIX=/usr
cmake --build "$build"
rm -rf "$build/packages"
cmake --build "$build" --target package
ls -l "$build"/packages/*.deb

[[ "${1:-}" == "--check" ]] || exit 0
exec bash tests/packaging/install_check.sh "$build/packages"
