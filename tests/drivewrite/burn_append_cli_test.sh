#!/bin/sh
# quillden burn --append: a second and a third session on a virtual CD-R, each listing the files of
# the sessions before it; a graft onto an old file's path replaces that file.
set -eu
cli="$1"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/one/docs" "$work/two" "$work/three"
printf 'first session\n' > "$work/one/docs/a.txt"
head -c 200000 /dev/urandom > "$work/one/big.bin"
head -c 70001 /dev/urandom > "$work/two/second.bin"
printf 'replaced in the third session\n' > "$work/three/a.txt"
"$cli" virtual create "$work/drive.disc" cd-r >/dev/null
"$cli" virtual timing "$work/drive.disc" 0 0 0 0 0 >/dev/null
export QUENVAR_DRIVES="Q=virtual:cd-r:$work/drive.disc"

"$cli" burn Q: -q --write-type 1 -V FIRST --graft /="$work/one" >/dev/null
if "$cli" burn Q: -q --append --fs iso --graft /x="$work/two" >/dev/null 2>&1; then
  echo "--append with --fs was accepted"; exit 1
fi
"$cli" burn Q: -q --write-type 1 --append --graft extra="$work/two" >/dev/null
"$cli" burn Q: -q --append --graft docs/="$work/three/a.txt" >/dev/null

listing=$("$cli" ls Q:)
printf "%s\n" "$listing"
"$cli" cat Q: 'big.bin' | cmp - "$work/one/big.bin"
"$cli" cat Q: 'extra/second.bin' | cmp - "$work/two/second.bin"
"$cli" cat Q: 'docs/a.txt' | cmp - "$work/three/a.txt"
# The disc was closed by the third session: a fourth is refused.
if "$cli" burn Q: -q --append --graft more="$work/two" >/dev/null 2>&1; then
  echo "a closed disc took a further session"; exit 1
fi
echo ok
