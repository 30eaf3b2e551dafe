#!/bin/sh
# Wall time and peak memory of building one ISO 9660 + Joliet image from a tree of about 1 GB:
# 4 files of 200 MB, 20 of 5 MB, 2,000 small files in 40 folders.
#   mkiso_bench.sh [QUILLDEN_BINARY] [WORK_FOLDER]
# Each builder runs three times on a warm page cache, after a sync; the best time counts.
set -eu
quillden=${1:-$(dirname "$0")/quillden}
work=${2:-${TMPDIR:-/tmp}/mkiso-bench}
tree=$work/tree
mkdir -p "$work"
if [ ! -f "$tree/.complete" ]; then
  rm -rf "$tree"; mkdir -p "$tree/big" "$tree/mid"
  for i in 1 2 3 4; do head -c 200000000 /dev/urandom > "$tree/big/big$i.bin"; done
  for i in $(seq 1 20); do head -c 5000000 /dev/urandom > "$tree/mid/mid$i.bin"; done
  for d in $(seq 1 40); do
    mkdir -p "$tree/small/folder$d"
    for f in $(seq 1 50); do head -c $(( (d * 50 + f) * 37 % 20000 + 1 )) /dev/urandom > "$tree/small/folder$d/file$f.txt"; done
  done
  touch "$tree/.complete"
fi
cat "$tree"/big/* "$tree"/mid/* > /dev/null  # warm the cache for everyone alike

measure() {  # name, command...: prints best wall seconds and peak RSS (KiB)
  name=$1; shift
  best=""; peak=0
  for run in 1 2 3; do
    rm -f "$work/out.iso"
    sync  # the previous run's dirty pages must not throttle this one
    /usr/bin/time -f "%e %M" -o "$work/time.txt" "$@" > /dev/null 2>&1
    set -- "$@"
    read seconds kib < "$work/time.txt"
    if [ -z "$best" ] || [ "$(echo "$seconds < $best" | bc)" = 1 ]; then best=$seconds; fi
    [ "$kib" -gt "$peak" ] && peak=$kib
  done
  size=$(stat -c %s "$work/out.iso")
  printf '%-12s %8s s  %8s KiB peak  %12s bytes\n' "$name" "$best" "$peak" "$size"
  eval "time_$name=$best"
}

measure quillden "$quillden" mkiso -q -J -o "$work/out.iso" "$tree"
measure genisoimage genisoimage -quiet -J -o "$work/out.iso" "$tree"
measure xorriso xorriso -as mkisofs -quiet -J -o "$work/out.iso" "$tree"
faster=$(echo "if ($time_genisoimage < $time_xorriso) $time_genisoimage else $time_xorriso" | bc)
echo "ratio (quillden / faster peer): $(echo "scale=3; $time_quillden / $faster" | bc)"
rm -f "$work/out.iso"
