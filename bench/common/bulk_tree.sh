# The bulk tree of the mastering and recording benches, sourced by both: about 1 GB in 4 files of
# 200 MB, 20 of 5 MB and 2,000 small files in 40 folders. make_bulk_tree WORK_FOLDER sets $tree
# to WORK_FOLDER/tree, makes it unless a finished one is there, and reads it into the page cache.
#
# Large files are written in large pieces, as an image is: the kernel copies a file cached in large
# folios about 1.5 times as fast as one written 8 KiB at a time, which would favour the copy of an
# image over the copy of the files.
make_bulk_tree() {
  tree=$1/tree
  if [ ! -f "$tree/.complete-large-writes" ]; then
    rm -rf "$tree"; mkdir -p "$tree/big" "$tree/mid"
    for i in 1 2 3 4; do
      dd if=/dev/urandom of="$tree/big/big$i.bin" bs=8M count=200000000 iflag=count_bytes,fullblock status=none
    done
    for i in $(seq 1 20); do
      dd if=/dev/urandom of="$tree/mid/mid$i.bin" bs=8M count=5000000 iflag=count_bytes,fullblock status=none
    done
    for d in $(seq 1 40); do
      mkdir -p "$tree/small/folder$d"
      for f in $(seq 1 50); do head -c $(( (d * 50 + f) * 37 % 20000 + 1 )) /dev/urandom > "$tree/small/folder$d/file$f.txt"; done
    done
    touch "$tree/.complete-large-writes"
  fi
  find "$tree" -type f -exec cat {} + > /dev/null  # warm the cache for everyone alike
}
