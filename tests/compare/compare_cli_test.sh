#!/bin/sh
# quillden compare X: SOURCE end to end on virtual drives. Exit status as cmp: 0 equal, 1 different,
# 2 trouble. usage: compare_cli_test.sh QUILLDEN_BINARY
set -u
quillden=$1
work=$(mktemp -d "${TMPDIR:-/tmp}/compare-cli.XXXXXX")
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }
# Changes the byte at OFFSET of FILE to one it surely was not: random data holds an 'X' once in 256.
change_byte() {
  was=$(dd if="$1" bs=1 skip="$2" count=1 2> /dev/null | od -An -c | tr -d ' ')
  new=X
  [ "$was" = X ] && new=Y
  printf '%s' "$new" | dd of="$1" bs=1 seek="$2" conv=notrunc 2> /dev/null
}

head -c $((2048 * 1000)) /dev/urandom > "$work/a.iso"
"$quillden" virtual create "$work/v.disc" dvd+r > /dev/null || fail "virtual create"
"$quillden" virtual timing "$work/v.disc" 0 0 0 0 0 > /dev/null || fail "virtual timing"
cp "$work/a.iso" "$work/pressed.iso"
"$quillden" virtual load "$work/w.disc" "$work/pressed.iso" --kind dvd-rom > /dev/null || fail "virtual load"
export QUENVAR_DRIVES="V=virtual:dvd+r:$work/v.disc;W=virtual:dvd-rom:$work/w.disc"
"$quillden" burn V: -q "$work/a.iso" > /dev/null || fail "burn"

out=$("$quillden" compare -q V: "$work/a.iso") || fail "equal image: exit $?"
echo "$out" | grep -q "^equal: the disc in V: matches .*a.iso (2.0 MiB compared)" || fail "equal message: $out"
out=$("$quillden" compare -q V: W:) || fail "equal discs: exit $?"
echo "$out" | grep -q "^equal: the disc in V: matches W:" || fail "disc message: $out"

# One byte of the last block changed.
change_byte "$work/a.iso" $((2048 * 1000 - 7))
out=$("$quillden" compare -q V: "$work/a.iso"); status=$?
[ $status -eq 1 ] || fail "changed image: exit $status"
echo "$out" | grep -q "^different: the disc in V: does not match" || fail "difference message: $out"
change_byte "$work/pressed.iso" 4096
"$quillden" compare -q V: W: > /dev/null; status=$?
[ $status -eq 1 ] || fail "changed disc: exit $status"

# Trouble: no such file, a ragged image, an unknown drive, bad usage.
err=$("$quillden" compare -q V: "$work/missing.iso" 2>&1); status=$?
[ $status -eq 2 ] || fail "missing file: exit $status"
echo "$err" | grep -q "missing.iso: No such file or directory" || fail "missing file message: $err"
head -c 3000 /dev/urandom > "$work/ragged.iso"
err=$("$quillden" compare -q V: "$work/ragged.iso" 2>&1); status=$?
[ $status -eq 2 ] || fail "ragged file: exit $status"
echo "$err" | grep -q "not a whole number of sectors" || fail "ragged message: $err"
"$quillden" compare -q Q: "$work/a.iso" > /dev/null 2>&1; status=$?
[ $status -eq 2 ] || fail "unknown drive: exit $status"
"$quillden" compare V: > /dev/null 2>&1; status=$?
[ $status -eq 2 ] || fail "usage: exit $status"
"$quillden" compare V: W: --track 1 > /dev/null 2>&1; status=$?
[ $status -eq 2 ] || fail "track with a drive source: exit $status"
echo "compare cli: ok"
