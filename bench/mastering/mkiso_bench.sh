#!/bin/sh
# quillden mkiso against genisoimage and xorriso on the same tree, in one run: median wall time, the
# CPU time of that run, and peak memory of each builder, then the ratios against the peers.
#   mkiso_bench.sh [QUILLDEN_BINARY] [WORK_FOLDER] [WORKLOAD]
# WORKLOAD:
#   bulk   (the default) about 1 GB: 4 files of 200 MB, 20 of 5 MB, 2,000 small files in 40
#          folders; ISO 9660 + Joliet; as floors, cp -r of the tree and the copy of a finished
#          image of it by cp (in-kernel) and by cat (through user space), fifteen runs each,
#          taken in turn with mkiso's; also the median of the run-by-run ratios.
#   small  100,000 files of 1 to 4,000 bytes in 1,000 folders (a recovery area's driver and tool
#          folders); ISO 9660 + Joliet, and the UDF 1.02 bridge against genisoimage -J -udf; five
#          runs each.
#   200k   200,000 entries: 198,000 empty files, 100 to a folder, in 1,980 folders below 20 (a tree
#          of many small entries, where the planner's memory shows); peak memory of every file
#          system selection (iso, udf, udf250, iso+udf, iso+udf250) against genisoimage -J (and
#          -J -udf for the bridges), in KiB per entry and as ratios; the lowest of three runs each.
# Times are medians, to the millisecond. Every run starts on a warm page cache, after a sync. The
# trees stay in WORK_FOLDER for the next run; remove the folder when done.
set -eu
quillden=${1:-$(dirname "$0")/quillden}
work=${2:-${TMPDIR:-/tmp}/mkiso-bench}
workload=${3:-bulk}
mkdir -p "$work"
here=$(dirname "$0")
# The shared tree maker: beside this script in the build's bin folder, or in bench/common.
. "$( [ -f "$here/bulk_tree.sh" ] && echo "$here" || echo "$here/../common" )/bulk_tree.sh"

make_small_tree() {
  tree=$work/small
  if [ ! -f "$tree/.complete" ]; then
    rm -rf "$tree"
    python3 - "$tree" <<'PY'
import os, random, sys
root = sys.argv[1]
rng = random.Random(25)
extensions = ["dll", "inf", "sys", "cat", "txt", "exe", "ini", "xml"]
for d in range(1000):
    folder = os.path.join(root, "vendor%02d" % (d % 40), "Driver Package %04d" % d)
    os.makedirs(folder)
    for f in range(100):
        name = "%s_%05d.%s" % (rng.choice(["setup", "net", "Storage Controller", "readme", "x64"]),
                               d * 100 + f, extensions[f % len(extensions)])
        with open(os.path.join(folder, name), "wb") as out:
            out.write(rng.randbytes(rng.randint(1, 4000)))
PY
    touch "$tree/.complete"
  fi
  find "$tree" -type f -exec cat {} + > /dev/null  # warm the cache for everyone alike
}

make_200k_tree() {
  tree=$work/tree200k
  if [ ! -f "$tree/.complete" ]; then
    rm -rf "$tree"
    python3 - "$tree" <<'PY'
import os, sys
root = sys.argv[1]
extensions = ["dll", "inf", "sys", "cat", "txt", "exe", "ini", "xml"]
stems = ["setup", "net", "Storage Controller", "readme", "x64"]
for d in range(1980):
    folder = os.path.join(root, "vendor%02d" % (d % 20), "Driver Package %04d" % d)
    os.makedirs(folder)
    for f in range(100):
        name = "%s_%06d.%s" % (stems[(d + f) % len(stems)], d * 100 + f, extensions[f % len(extensions)])
        open(os.path.join(folder, name), "wb").close()
PY
    touch "$tree/.complete"
  fi
  find "$tree" > /dev/null  # warm the cache for everyone alike
  entries=$(find "$tree" -mindepth 1 ! -name .complete | wc -l)
}

peak() {  # name, runs, command...: the lowest peak RSS of the runs (KiB) and that run's seconds
  name=$1; runs=$2; shift 2
  best=""
  for run in $(seq 1 "$runs"); do
    rm -f "$work/out.iso"
    /usr/bin/time -f "%e %M" -o "$work/time.txt" "$@" > /dev/null 2>&1
    read seconds kib < "$work/time.txt"
    if [ -z "$best" ] || [ "$kib" -lt "$best" ]; then best=$kib; best_seconds=$seconds; fi
  done
  printf '%-24s %8s KiB peak  %6s KiB/entry  %6s s\n' "$name" "$best" \
    "$(echo "scale=3; $best / $entries" | bc)" "$best_seconds"
  eval "peak_$name=$best"
}

run_once() {  # name, command...: one run's wall milliseconds and CPU seconds into runs-NAME
  name=$1; shift
  rm -rf "$work/out.iso"
  sync  # the previous run's dirty pages must not throttle this one
  start=$(date +%s%N)
  /usr/bin/time -f "%U %S %M" -o "$work/time.txt" "$@" > /dev/null 2>&1
  end=$(date +%s%N)
  read user system kib < "$work/time.txt"
  size=$(du -s --apparent-size -B1 "$work/out.iso" | cut -f1)
  echo "$(( (end - start) / 1000000 )) $(echo "$user + $system" | bc) $kib $size" >> "$work/runs-$name.txt"
}

report() {  # name: median wall seconds (to the millisecond), the CPU seconds of the median run,
  # and the highest peak RSS (KiB) of all runs; the output of the last run
  name=$1
  runs=$(wc -l < "$work/runs-$name.txt")
  read median_ms median_cpu kib size <<EOF2
$(sort -n "$work/runs-$name.txt" | sed -n "$(( (runs + 1) / 2 ))p")
EOF2
  peak=$(sort -k3 -n "$work/runs-$name.txt" | tail -1 | cut -d' ' -f3)
  median=$(echo "scale=3; $median_ms / 1000" | bc)
  printf '%-18s %8s s  %8s s CPU  %8s KiB peak  %12s bytes\n' "$name" "$median" "$median_cpu" "$peak" "$size"
  eval "time_$name=$median; cpu_$name=$median_cpu"
}

paired_ratio() {  # label, name, other: the median of the ratios of runs taken side by side
  echo "$1: $(paste -d' ' "$work/runs-$2.txt" "$work/runs-$3.txt" |
    awk '{ printf "%.3f\n", $1 / $5 }' | sort -n | sed -n "$(( ($(wc -l < "$work/runs-$2.txt") + 1) / 2 ))p")"
}

measure() {  # name, runs, command...: runs of one command, then its report
  name=$1; runs=$2; shift 2
  rm -f "$work/runs-$name.txt"
  for run in $(seq 1 "$runs"); do run_once "$name" "$@"; done
  report "$name"
  rm -f "$work/runs-$name.txt"
}

ratio() {  # label, ours, theirs
  echo "$1: $(echo "scale=3; $2 / $3" | bc)"
}

case $workload in
  bulk)
    make_bulk_tree "$work"
    measure genisoimage 5 genisoimage -quiet -J -o "$work/out.iso" "$tree"
    measure xorriso 3 xorriso -as mkisofs -quiet -J -o "$work/out.iso" "$tree"
    # The floors, run in turn with mkiso so that a change in the machine's load meets them alike:
    # copying the same files (cp -r opens and copies each, as mkiso does), and copying a finished
    # image of them, one file: cp moves the data in the kernel (copy_file_range), as mkiso does
    # for large files; cat copies it through user space.
    "$quillden" mkiso -q -J -o "$work/image.iso" "$tree"
    rm -f "$work"/runs-*.txt
    for run in $(seq 1 15); do
      run_once quillden "$quillden" mkiso -q -J -o "$work/out.iso" "$tree"
      run_once cp cp "$work/image.iso" "$work/out.iso"
      run_once cat sh -c 'cat "$1" > "$2"' cat "$work/image.iso" "$work/out.iso"
      run_once cp_tree cp -r "$tree" "$work/out.iso"
    done
    for name in quillden cp cat cp_tree; do report $name; done
    rm -rf "$work/image.iso" "$work/out.iso"
    faster=$(echo "if ($time_genisoimage < $time_xorriso) $time_genisoimage else $time_xorriso" | bc)
    ratio "ratio (quillden / faster peer)" "$time_quillden" "$faster"
    ratio "ratio (quillden / cp -r of the tree)" "$time_quillden" "$time_cp_tree"
    ratio "ratio (quillden / cp of the image)" "$time_quillden" "$time_cp"
    ratio "ratio (quillden / cat of the image)" "$time_quillden" "$time_cat"
    paired_ratio "run by run, median (quillden / cp of the image)" quillden cp
    paired_ratio "run by run, median (quillden / cp -r of the tree)" quillden cp_tree
    rm -f "$work"/runs-*.txt
    ;;
  small)
    make_small_tree
    measure quillden_iso 5 "$quillden" mkiso -q --fs iso -o "$work/out.iso" "$tree"
    measure genisoimage_iso 5 genisoimage -quiet -J -o "$work/out.iso" "$tree"
    measure xorriso_iso 5 xorriso -as mkisofs -quiet -J -o "$work/out.iso" "$tree"
    measure quillden_bridge 5 "$quillden" mkiso -q --fs iso+udf -o "$work/out.iso" "$tree"
    measure genisoimage_udf 5 genisoimage -quiet -J -udf -o "$work/out.iso" "$tree"
    ratio "ISO+Joliet wall / genisoimage" "$time_quillden_iso" "$time_genisoimage_iso"
    ratio "ISO+Joliet CPU  / genisoimage" "$cpu_quillden_iso" "$cpu_genisoimage_iso"
    ratio "ISO+Joliet wall / xorriso    " "$time_quillden_iso" "$time_xorriso_iso"
    ratio "bridge wall     / genisoimage -udf" "$time_quillden_bridge" "$time_genisoimage_udf"
    ratio "bridge CPU      / genisoimage -udf" "$cpu_quillden_bridge" "$cpu_genisoimage_udf"
    ;;
  200k)
    make_200k_tree
    echo "$entries entries"
    peak genisoimage 3 genisoimage -quiet -J -o "$work/out.iso" "$tree"
    peak genisoimage_udf 3 genisoimage -quiet -J -udf -o "$work/out.iso" "$tree"
    for fs in iso udf udf250 iso+udf iso+udf250; do
      peak "quillden_$(echo "$fs" | tr '+' '_')" 3 "$quillden" mkiso -q --fs "$fs" -o "$work/out.iso" "$tree"
    done
    ratio "iso        / genisoimage -J     " "$peak_quillden_iso" "$peak_genisoimage"
    ratio "udf        / genisoimage -J     " "$peak_quillden_udf" "$peak_genisoimage"
    ratio "udf250     / genisoimage -J     " "$peak_quillden_udf250" "$peak_genisoimage"
    ratio "iso+udf    / genisoimage -J -udf" "$peak_quillden_iso_udf" "$peak_genisoimage_udf"
    ratio "iso+udf250 / genisoimage -J -udf" "$peak_quillden_iso_udf250" "$peak_genisoimage_udf"
    ;;
  *)
    echo "mkiso_bench.sh: unknown workload $workload (bulk, small or 200k)" >&2
    exit 2
    ;;
esac
rm -f "$work/out.iso"
