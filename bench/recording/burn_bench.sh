#!/bin/sh
# A 1 GB tree mastered to an image and recorded on a virtual DVD+R, against copying the image
# with cp (and cp + sync of the copy for the recording, which ends with the data on the medium).
# Several builds of quillden can be given: their runs alternate, so that they meet the same load.
#   burn_bench.sh WORK_FOLDER RUNS BUILD...
# BUILD is a quillden binary, or LIBDIR:BINARY to run it against the libquillden.so in LIBDIR.
# Each line gives wall, user and system seconds and peak memory (KiB) of one run; the medians of
# each build follow. The tree (the bulk tree of bench/mastering/mkiso_bench.sh) stays in
# WORK_FOLDER for the next run; remove the folder when done.
set -eu
work=$1
runs=$2
shift 2
mkdir -p "$work"
here=$(dirname "$0")
# The shared tree maker: beside this script in the build's bin folder, or in bench/common.
. "$( [ -f "$here/bulk_tree.sh" ] && echo "$here" || echo "$here/../common" )/bulk_tree.sh"
make_bulk_tree "$work"

results=$work/results.txt
: > "$results"

timed() {  # label, command...: one line of wall user system peak
  label=$1; shift
  sync  # the previous run's dirty pages must not throttle this one
  /usr/bin/time -f "%e %U %S %M" -o "$work/time.txt" "$@" > "$work/out.txt" 2>&1 || {
    echo "$label failed:"; cat "$work/out.txt"; exit 1; }
  read wall user sys kib < "$work/time.txt"
  printf '%-22s %7s s wall %7s s user %7s s sys %8s KiB\n' "$label" "$wall" "$user" "$sys" "$kib"
  echo "$label $wall $user $sys $kib" >> "$results"
}

run_build() {  # index, build
  index=$1; build=$2
  case $build in
    *:*) libdir=${build%%:*}; binary=${build#*:} ;;
    *) libdir=""; binary=$build ;;
  esac
  rm -f "$work/out.iso" "$work/disc" "$work/disc".*
  timed "mkiso-$index" env LD_LIBRARY_PATH="$libdir" "$binary" mkiso -q -J -o "$work/out.iso" "$tree"
  env LD_LIBRARY_PATH="$libdir" "$binary" virtual create "$work/disc" dvd+r > /dev/null
  timed "burn-$index" env LD_LIBRARY_PATH="$libdir" QUENVAR_DRIVES="V=virtual:dvd+r:$work/disc" \
    "$binary" burn V: -q --graft /="$tree"
}

echo "load: $(uptime)"
[ -f "$work/image.iso" ] || "${1#*:}" mkiso -q -J -o "$work/image.iso" "$tree"
for run in $(seq 1 "$runs"); do
  rm -f "$work/copy.iso"
  timed cp cp "$work/image.iso" "$work/copy.iso"
  rm -f "$work/copy.iso"
  timed cp+sync sh -c "cp '$work/image.iso' '$work/copy.iso' && sync '$work/copy.iso'"
  index=0
  for build in "$@"; do
    index=$((index + 1))
    run_build "$index" "$build"
  done
done
rm -f "$work/out.iso" "$work/copy.iso" "$work/disc" "$work/disc".*
echo "load: $(uptime)"

echo "medians (wall user sys KiB):"
for label in $(cut -d' ' -f1 "$results" | sort -u); do
  printf '%-22s' "$label"
  for field in 2 3 4 5; do
    printf ' %9s' "$(grep "^$label " "$results" | cut -d' ' -f$field | sort -n |
      awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }')"
  done
  echo
done
