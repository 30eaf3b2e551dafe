#!/bin/sh
# quillden ls and cat over a pressed virtual disc: the listing names every file with its size, and
# cat gives every file back byte for byte.
set -eu
cli="$1"
command -v genisoimage >/dev/null 2>&1 || { echo "genisoimage is not installed; skipped"; exit 0; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/src/Folder One/inner"
printf 'first file\n' > "$work/src/a.txt"
head -c 300000 /dev/urandom > "$work/src/Folder One/inner/random.bin"
genisoimage -quiet -J -udf -o "$work/disc.iso" "$work/src"
export QUENVAR_DRIVES="Q=virtual:dvd+r:$work/drive.disc"
"$cli" virtual load "$work/drive.disc" "$work/disc.iso" >/dev/null
listing=$("$cli" ls Q:)
printf "%s\n" "$listing"
printf "%s\n" "$listing" | grep -q '^-  *11 .* a.txt$'
printf "%s\n" "$listing" | grep -q '^d .* Folder One\\inner$'
printf "%s\n" "$listing" | grep -q '^-  *300000 .* Folder One\\inner\\random.bin$'
"$cli" cat Q: 'Folder One/inner/random.bin' | cmp - "$work/src/Folder One/inner/random.bin"
"$cli" cat Q: 'Q:\a.txt' | cmp - "$work/src/a.txt"
if "$cli" cat Q: 'missing.txt' >/dev/null 2>&1; then echo "cat of a missing file succeeded"; exit 1; fi
echo ok
