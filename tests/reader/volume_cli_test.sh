#!/bin/sh
# quillden ls and cat where the disc or the path is not what a plain listing expects: a disc whose
# folders point back at the root, folders whose names differ in case alone, paths that name nothing
# or a file, and an empty drive. Every run must end, and every failure must say why on one line.
set -u
cli="$1"
helper="$2"
for tool in genisoimage xorriso python3 timeout; do
  command -v "$tool" >/dev/null 2>&1 || { echo "$tool is not installed; skipped"; exit 0; }
done
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export QUENVAR_DRIVES="Q=virtual:dvd+r:$work/drive.disc"
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

# Two folders whose records (ISO 9660 and Joliet) name the root directory.
mkdir -p "$work/loop/A" "$work/loop/B"
printf 'a\n' > "$work/loop/A/x.txt"
printf 'top\n' > "$work/loop/top.txt"
xorriso -as mkisofs -quiet -J -o "$work/loop.iso" "$work/loop" 2>/dev/null
python3 "$helper" "$work/loop.iso" A B
"$cli" virtual load "$work/drive.disc" "$work/loop.iso" >/dev/null
timeout 30 "$cli" ls Q: > "$work/out" 2> "$work/err"
status=$?
[ "$status" -eq 124 ] && fail "ls on a disc whose folders point at the root never ended"
[ "$status" -eq 1 ] || fail "ls on a looping disc exited $status, not 1"
grep -q '0x08000038' "$work/err" || fail "ls on a looping disc did not say 0x08000038: $(cat "$work/err")"
[ "$(wc -l < "$work/out")" -le 4 ] || fail "ls on a looping disc listed $(wc -l < "$work/out") lines"
timeout 30 "$cli" cat Q: 'A/A/A/top.txt' > /dev/null 2>&1
[ $? -eq 1 ] || fail "cat through a looping folder did not fail"

# A path that names nothing is an error; a file lists itself.
"$cli" ls Q: /nonexistent > "$work/out" 2> "$work/err" && fail "ls of a missing path exited 0"
grep -q '0x08000015' "$work/err" || fail "ls of a missing path did not say 0x08000015: $(cat "$work/err")"
[ -s "$work/out" ] && fail "ls of a missing path printed: $(cat "$work/out")"
"$cli" ls Q: /TOP.TXT > "$work/out" 2> "$work/err" || fail "ls of a file failed: $(cat "$work/err")"
grep -q '^-  *4 .* top.txt$' "$work/out" || fail "ls of a file did not list it: $(cat "$work/out")"
"$cli" ls Q: /top.txt/more > /dev/null 2>&1 && fail "ls of a path below a file exited 0"

# Folders named docs and DOCS on a disc made elsewhere each list their own files.
mkdir -p "$work/case/docs" "$work/case/DOCS"
printf 'lower\n' > "$work/case/docs/lower.txt"
printf 'upper\n' > "$work/case/DOCS/upper.txt"
printf 'two\n' > "$work/case/DOCS/second.txt"
genisoimage -quiet -J -o "$work/case.iso" "$work/case"
"$cli" virtual load "$work/drive.disc" "$work/case.iso" >/dev/null
"$cli" ls Q: > "$work/out" 2> "$work/err" || fail "ls of docs and DOCS failed: $(cat "$work/err")"
expected='DOCS
DOCS\second.txt
DOCS\upper.txt
docs
docs\lower.txt'
[ "$(sed 's/.* //' "$work/out")" = "$expected" ] || fail "docs and DOCS listed as: $(cat "$work/out")"
[ "$("$cli" cat Q: docs/lower.txt)" = lower ] || fail "cat docs/lower.txt"
[ "$("$cli" cat Q: DOCS/upper.txt)" = upper ] || fail "cat DOCS/upper.txt"

# An empty drive has no medium, and says so with the drive's sense.
"$cli" virtual eject "$work/drive.disc" >/dev/null
for command in "ls Q:" "cat Q: top.txt"; do
  $cli $command > /dev/null 2> "$work/err" && fail "$command on an empty drive exited 0"
  grep -q 'no medium (0x08000023, last command error 0x00023A' "$work/err" ||
    fail "$command on an empty drive said: $(cat "$work/err")"
done

[ "$failures" -eq 0 ] || exit 1
echo ok
