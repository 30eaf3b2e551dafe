#!/bin/sh
# Wall time and peak memory of bridge images (ISO 9660 + Joliet + UDF) from a tree of about 1 GB:
# 4 files of 200 MB, 20 of 5 MB, 2,000 small files in 40 folders (the tree of the ISO bench).
# No Linux tool writes UDF 2.50 with files, so both bridges are compared with genisoimage -J -udf
# (UDF 1.02). Then the mastering time of a tree of 200,000 entries and of a folder of 50,000
# children (empty files), to show the layout grows linearly, and the peak memory of the 200,000
# entries per selection: the file entry area of UDF (one block per entry) is produced while it is
# written, so the UDF selections stay near the ISO 9660 one, whose peak is mostly the tree itself.
#   udf_bench.sh [QUILLDEN_BINARY] [WORK_FOLDER]
set -eu
quillden=${1:-$(dirname "$0")/quillden}
work=${2:-${TMPDIR:-/tmp}/udf-bench}
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

measure() {  # name, runs, command...: prints best wall seconds and peak RSS (KiB)
  name=$1; runs=$2; shift 2
  best=""; peak=0
  for run in $(seq 1 "$runs"); do
    rm -f "$work/out.img"
    sync  # the previous run's dirty pages must not throttle this one
    /usr/bin/time -f "%e %M" -o "$work/time.txt" "$@" > /dev/null 2>&1
    read seconds kib < "$work/time.txt"
    if [ -z "$best" ] || [ "$(echo "$seconds < $best" | bc)" = 1 ]; then best=$seconds; fi
    [ "$kib" -gt "$peak" ] && peak=$kib
  done
  size=$(stat -c %s "$work/out.img")
  printf '%-16s %8s s  %8s KiB peak  %12s bytes\n' "$name" "$best" "$peak" "$size"
  eval "time_$name=$best"
}

measure bridge102 3 "$quillden" mkiso -q --fs iso+udf -o "$work/out.img" "$tree"
measure bridge250 3 "$quillden" mkiso -q --fs iso+udf250 -o "$work/out.img" "$tree"
measure genisoimage 3 genisoimage -quiet -J -udf -o "$work/out.img" "$tree"
echo "ratio bridge 1.02 / genisoimage: $(echo "scale=3; $time_bridge102 / $time_genisoimage" | bc)"
echo "ratio bridge 2.50 / genisoimage: $(echo "scale=3; $time_bridge250 / $time_genisoimage" | bc)"

# Large trees: 200,000 entries (2,000 folders of 99 files), and one folder of 50,000 files.
many=$work/many
if [ ! -f "$many/.complete" ]; then
  rm -rf "$many"; mkdir -p "$many/wide" "$many/tree"
  (cd "$many/wide" && seq 1 50000 | sed 's/^/file_/' | xargs touch)
  for d in $(seq 1 2000); do mkdir "$many/tree/folder$d"; done
  (cd "$many/tree" && for d in $(seq 1 2000); do seq 1 99 | sed "s|^|folder$d/f|" ; done | xargs touch)
  touch "$many/.complete"
fi
for fs in iso udf udf250 iso+udf; do
  tag=$(echo "$fs" | tr + _)
  measure "wide_$tag" 1 "$quillden" mkiso -q --fs "$fs" -o "$work/out.img" "$many/wide"
  measure "tree_$tag" 1 "$quillden" mkiso -q --fs "$fs" -o "$work/out.img" "$many/tree"
done
measure wide_genisoimage 1 genisoimage -quiet -J -udf -o "$work/out.img" "$many/wide"
measure tree_genisoimage 1 genisoimage -quiet -J -udf -o "$work/out.img" "$many/tree"
for fs in iso udf iso+udf udf250 iso+udf250; do
  /usr/bin/time -v -o "$work/rss.txt" "$quillden" mkiso -q --fs "$fs" -o "$work/out.img" "$many/tree" \
    > /dev/null 2>&1
  kib=$(sed -n 's/.*Maximum resident set size (kbytes): //p' "$work/rss.txt")
  [ "$fs" = iso ] && iso_kib=$kib
  printf 'peak_rss_200k %-12s %8s KiB  (%+d KiB against iso)\n' "$fs" "$kib" $((kib - iso_kib))
done
rm -f "$work/out.img"
