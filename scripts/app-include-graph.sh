#!/bin/sh
# The program's folder-level include graph: one line "from -> to (n)" per pair of folders, where n
# counts the #include lines of files in "from" that name a header in "to". Covers app/ and the
# headless tool; tests and test support are left out (they may reach across layers). A program's
# main() file is a node of its own: it sits above every folder, its own included.
#
#   scripts/app-include-graph.sh          prints the graph
#   scripts/app-include-graph.sh --check  prints it and fails when the folders include each other in
#                                         a cycle
set -eu
cd "$(dirname "$0")/.."

edges=$(grep -rH '^#include "app/' app tools/quenvar-create --include='*.cc' --include='*.h' |
  grep -v -e '_test\.cc:' -e 'test_support\.' -e '^app/testing/' |
  sed -E -e 's#^([^:]*main\.cc):\#include "(app/[^/"]+)/.*#\1 \2#' \
         -e 's#^((app|tools)/[^/]+)/[^:]*:\#include "(app/[^/"]+)/.*#\1 \3#' |
  awk '$1 != $2' | sort | uniq -c | awk '{ printf "%s -> %s (%s)\n", $2, $3, $1 }')
printf '%s\n' "$edges"

if [ "${1:-}" = "--check" ]; then
  # tsort names a loop on stderr and fails when the pairs are not a partial order.
  if ! printf '%s\n' "$edges" | awk '{ print $1, $3 }' | tsort >/dev/null; then
    echo "app include graph: the folders above include each other in a cycle" >&2
    exit 1
  fi
  echo "app include graph: no cycle"
fi
