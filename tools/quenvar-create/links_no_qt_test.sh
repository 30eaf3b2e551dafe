#!/bin/sh
# quenvar-create runs without windows: neither it nor any library it loads may bring in Qt.
# Usage: links_no_qt_test.sh <quenvar-create>
set -eu
libraries=$(ldd "$1")
if printf '%s\n' "$libraries" | grep -i 'libqt'; then
  echo "FAIL: $1 loads Qt (above)" >&2
  exit 1
fi
echo "$1 loads no Qt:"
printf '%s\n' "$libraries"
