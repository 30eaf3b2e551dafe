#!/bin/sh
# Guest side of the unit tests: each program passes, and skips none of its tests.
#   unit-guest.sh DIR BUILD TEST...
. "$(dirname "$0")/guest-lib.sh"
dir=$1
build=$2
shift 2
export QUENVAR_REGISTRY_ROOT=/tmp/registry
wait_for /dev/sr0 30

# The whole output stays in DIR for the host.
passes() {
  (cd /tmp && "$build/bin/$1") >"$dir/$1.txt" 2>&1
  status=$?
  grep -E '^\[ *(PASSED|FAILED|SKIPPED) *\]' "$dir/$1.txt"
  [ $status -eq 0 ] || { grep -B3 -A12 '^\[ *FAILED *\] [A-Za-z]*\.[A-Za-z]* (' "$dir/$1.txt" | head -n 60; return 1; }
}
skips_none() {
  if grep -B2 '^\[ *SKIPPED *\] [A-Za-z]*\.[A-Za-z]* (' "$dir/$1.txt"; then return 1; fi
  return 0
}

for program in "$@"; do
  check "$program passes in the guest" passes "$program"
  check "$program skips none of its tests in the guest" skips_none "$program"
done
report
