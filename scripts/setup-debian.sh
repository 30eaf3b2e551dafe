#!/usr/bin/env bash
# Installs everything Quenvar needs to build and test on Debian 12. Run as root.
set -euo pipefail
export DEBIAN_FRONTEND=noninteractive
apt-get update
apt-get install -y --no-install-recommends $(grep -v '^#' "$(dirname "$0")/debian-packages.txt")
