#!/bin/sh
# The longest functions of the product code (tests, test support, fuzz targets and benchmarks left
# out), counted in lines from the signature to the closing brace. Needs universal-ctags.
#
#   scripts/largest-functions.sh [N]     the N longest (default 25), "lines  file:line  name"
set -eu
cd "$(dirname "$0")/.."
count=${1:-25}
find abi platform engine usbformat launcherres app tools \
    \( -name '*.cc' -o -name '*.h' -o -name '*.c' \) \
    ! -name '*_test.cc' ! -name '*test_util*' ! -name '*test_support*' ! -path '*/testing/*' |
  ctags -L - --languages=C,C++ --kinds-C++=f --kinds-C=f --fields=+ne -o - 2>/dev/null |
  awk -F'\t' '{
      line = 0; end = 0; scope = ""
      for (i = 4; i <= NF; i++) {
        if ($i ~ /^line:/) line = substr($i, 6)
        else if ($i ~ /^end:/) end = substr($i, 5)
        else if ($i ~ /^(class|struct|namespace):/) { scope = $i; sub(/^[a-z]+:/, "", scope) }
      }
      if (end > 0) {
        name = $1
        if (scope != "" && scope !~ /__anon/) { n = split(scope, s, "::"); name = s[n] "::" $1 }
        printf "%5d  %s:%d  %s\n", end - line + 1, $2, line, name
      }
    }' |
  sort -rn | head -n "$count"
