#!/bin/sh
# quillden burn of a 40 MB tree onto a virtual DVD-R DL layer jump disc. The session crosses the
# layer jump, so the file across it is recorded in two pieces and the later ones on layer 1. The
# disc reads back through the engine (ls, cat) and, from its blocks as they lie on the disc,
# through 7z. Without --fs the tool picks the selection such media take (UDF alone).
set -eu
cli="$1"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/tree/sub"
head -c 25000001 /dev/urandom > "$work/tree/big.bin"
head -c 15000000 /dev/urandom > "$work/tree/sub/second.bin"
printf 'small file\n' > "$work/tree/sub/small.txt"

for selection in udf default; do
  rm -rf "$work/lj.disc"* "$work/x"
  "$cli" virtual create "$work/lj.disc" dvd-r-dl-lj >/dev/null
  "$cli" virtual timing "$work/lj.disc" 0 0 0 0 0 >/dev/null
  export QUENVAR_DRIVES="L=virtual:dvd-r-dl-lj:$work/lj.disc"
  if [ "$selection" = udf ]; then
    "$cli" burn L: -q --fs udf --graft /="$work/tree" >/dev/null
  else
    "$cli" burn L: -q --graft /="$work/tree" >/dev/null
  fi
  listing=$("$cli" ls L: sub)
  case "$listing" in
    *second.bin*small.txt*|*small.txt*second.bin*) ;;
    *) echo "$selection: listing of sub: $listing"; exit 1 ;;
  esac
  for f in big.bin sub/second.bin sub/small.txt; do
    "$cli" cat L: "$f" | cmp - "$work/tree/$f"
  done
  if command -v 7z >/dev/null 2>&1; then
    7z x -tudf -o"$work/x" "$work/lj.disc" >/dev/null
    for f in big.bin sub/second.bin sub/small.txt; do
      cmp "$work/x/$f" "$work/tree/$f"
    done
  fi
done
echo ok
