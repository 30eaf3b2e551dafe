#!/usr/bin/env bash
# quenvar-create with a recorder that writes only CDs (a virtual drive declared as reading CD and
# DVD-ROM and writing CD-R and CD-RW, as a combination drive's feature list says) on the sample
# recovery area: the DVD set is not offered and refused when asked for, the CD set is; a DVD+R in
# the drive is not taken, the media prompt asks for CD-R/CD-RW only; the CD set is recorded once a
# CD-R is inserted. The same area on a drive that writes everything offers the DVD set first.
#   cd_only_recorder_cli_test.sh QUENVAR_CREATE QUILLDEN SAMPLE_ROOT
set -uo pipefail
create=$1 quillden=$2 root=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*"; exit 1; }
expect() { grep -qF -- "$1" "$2" || fail "'$1' missing from $2"; }
export QUENVAR_DRIVES="W=virtual(reads=cd|dvd writes=cd-r|cd-rw):cd-r:$work/cd.disc;V=virtual:dvd+r:$work/any.disc"
export QUENVAR_REGISTRY_ROOT="$work/registry"
export LC_ALL=C LANG=C LANGUAGE=

"$quillden" drives > "$work/drives.txt" 2>&1 || fail "quillden drives"
cat "$work/drives.txt"

# What each drive offers.
"$create" --list --drive V "$root/Quenvar.ini" > "$work/list-any.txt" 2>&1 || fail "--list on V"
expect "(item 1, set 1: System Recovery Discs (DVD))" "$work/list-any.txt"
"$create" --list --drive W "$root/Quenvar.ini" > "$work/list-cd.txt" 2>&1 || fail "--list on W"
cat "$work/list-cd.txt"
expect "(item 1, set 2: System Recovery Discs (CD))" "$work/list-cd.txt"

# The DVD set is refused on the CD recorder before anything is touched.
"$create" --drive W --set 1:1 --blank cd-r "$root/Quenvar.ini" > "$work/dvd-set.txt" 2>&1
status=$?
cat "$work/dvd-set.txt"
[ $status -ne 0 ] || fail "the DVD set was accepted on a CD recorder"
expect "cannot be created on this drive" "$work/dvd-set.txt"
[ -e "$work/cd.disc.state" ] && grep -q '^track ' "$work/cd.disc.state" && fail "the refused run recorded"

# A blank DVD+R in the CD recorder: the recorder cannot use it, so the program asks for CD media;
# --blank then puts a CD-R in and the CD set is recorded and verified.
"$quillden" virtual create "$work/cd.disc" dvd+r > /dev/null || fail "loading a DVD+R"
"$quillden" virtual timing "$work/cd.disc" 0 0 0 0 0 > /dev/null || fail "timing"
"$create" --drive W --set 1:2 --verify --blank cd-r --media-prompts 3 "$root/Quenvar.ini" > "$work/cd-set.txt" 2>&1
status=$?
cat "$work/cd-set.txt"
[ $status -eq 0 ] || fail "the CD set run ended with $status"
expect "Please insert blank media." "$work/cd-set.txt"
expect "CD-R/CD-RW" "$work/cd-set.txt"
grep -q "DVD" <(grep -A2 "Please insert blank media." "$work/cd-set.txt") && fail "the prompt offers DVD media"
expect "Creating System Recovery CD 1 has completed successfully." "$work/cd-set.txt"
expect "created 1 of 1 media" "$work/cd-set.txt"
"$quillden" virtual describe "$work/cd.disc" > "$work/cd-info.txt" 2>&1 || fail "describing the disc"
grep -qi "cd-r" "$work/cd-info.txt" || fail "the CD set is not on a CD-R: $(cat "$work/cd-info.txt")"
"$quillden" virtual close "$work/cd.disc" > /dev/null || fail "closing the tray"
"$quillden" ls W: > "$work/cd-ls.txt" || fail "reading the recorded CD"
[ -s "$work/cd-ls.txt" ] || fail "the recorded CD lists nothing"
echo ok
