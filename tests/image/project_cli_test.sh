#!/bin/sh
# quillden project save, list and load over a small local tree; the disc image that load writes is
# read back with quillden image info.
set -eu
tool="$1"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/src/sub" "$work/src/empty"
printf 'hello' > "$work/src/a.txt"
printf 'world' > "$work/src/sub/b.txt"

"$tool" project save -V CLI_DISC "$work/p.prj" "$work/src=DATA" "$work/src/a.txt=extra"
listing=$("$tool" project list "$work/p.prj")
printf "%s\n" "$listing"
printf "%s\n" "$listing" | grep -q '^label  CLI_DISC$'
printf "%s\n" "$listing" | grep -q "^file   DATA\\\\sub\\\\b.txt  <- $work/src/sub/b.txt\$"
printf "%s\n" "$listing" | grep -q "^folder DATA\\\\empty\\\\  <- $work/src/empty\$"
printf "%s\n" "$listing" | grep -q '^3 files, 4 folders$'

"$tool" project load "$work/p.prj" -F 1 -o "$work/p.iso" --disc-image "$work/p.wvm"
info=$("$tool" image info "$work/p.wvm")
printf "%s\n" "$info"
printf "%s\n" "$info" | grep -q 'single data track image'
size=$(wc -c < "$work/p.iso")
printf "%s\n" "$info" | grep -q "total size: *$((size + 125)) bytes"
tail -c +126 "$work/p.wvm" | cmp - "$work/p.iso"

# A file that is not a project is refused.
printf 'not a project' > "$work/bad.prj"
if "$tool" project list "$work/bad.prj"; then exit 1; fi
echo "project CLI: all checks passed"
