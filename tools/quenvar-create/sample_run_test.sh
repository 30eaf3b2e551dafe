#!/usr/bin/env bash
# quenvar-create on the sample recovery area: the two recovery DVDs recorded and verified on a
# virtual DVD+R (blank media loaded by the tool at each prompt), checked with isoinfo and the
# engine's reader, the first booted through the BIOS and through UEFI; the utility CD recorded from its stored ISO on a virtual CD-R, compared by the
# program and byte for byte here; and a run that the outside packet-writing product's blocking
# library refuses, which must create nothing.
#   sample_run_test.sh QUENVAR_CREATE QUILLDEN SAMPLE_ROOT WORK_DIR REFUSING_BLOCK_LIBRARY_DIR
set -uo pipefail
create=$1 quillden=$2 root=$3 work=$4 refusing=$5
command -v isoinfo >/dev/null || { echo "isoinfo is missing"; exit 77; }
rm -rf "$work" && mkdir -p "$work"
export QUENVAR_DRIVES="V=virtual:dvd+r:$work/dvd.disc;W=virtual:cd-r:$work/cd.disc"
export QUENVAR_REGISTRY_ROOT="$work/registry"
export LC_ALL=C LANG=C LANGUAGE=
fail() { echo "FAIL: $*"; exit 1; }
expect() { grep -qF -- "$1" "$2" || fail "'$1' missing from $2"; }

"$create" --list --drive V "$root/Quenvar.ini" > "$work/list.txt" || fail "--list"
cat "$work/list.txt"
expect "[x] System Recovery Media" "$work/list.txt"

"$create" --drive V --set 1:1 --verify --blank dvd+r --keep "$work/kept" "$root/Quenvar.ini" \
  > "$work/run.txt" 2>&1
status=$?
cat "$work/run.txt"
[ $status -eq 0 ] || fail "the DVD run ended with $status"
expect "System Recovery Disc 1 will be created now." "$work/run.txt"
expect "Now verifying data" "$work/run.txt"
expect "Creating System Recovery Disc 1 has completed successfully." "$work/run.txt"
expect "System Recovery Disc 2 will now be created." "$work/run.txt"
expect "Please write down 'System Recovery Disc 1' on the created media." "$work/run.txt"
expect "Creating process has been completed." "$work/run.txt"
expect "progress: current medium 100.0%, total 100.0%" "$work/run.txt"
expect "created 2 of 2 media" "$work/run.txt"

# Disc 1 was saved before disc 2 was recorded; disc 2 is still in the recorder.
disc1="$work/kept/medium-1.img"
[ -s "$disc1" ] || fail "disc 1 was not kept"
isoinfo -d -i "$disc1" | grep -q "Volume id: QV_RECOVERY_1" || fail "disc 1 label"
isoinfo -d -i "$disc1" | grep -q "El Torito" || fail "disc 1 is not bootable"
cmp <(isoinfo -J -i "$disc1" -x "/IMAGE/factory.img.001;1") "$root/area/image/factory.img.001" ||
  fail "IMAGE/factory.img.001 differs on disc 1"
# The disc as recorded starts an emulated PC through the BIOS and through UEFI.
if command -v qemu-system-x86_64 >/dev/null; then
  source "$(dirname "$0")/../../samples/qemu_boot.sh"
  boot recorded-disc1-bios bios -cdrom "$disc1" -boot d
  boot recorded-disc1-uefi uefi -cdrom "$disc1"
fi
"$quillden" virtual close "$work/dvd.disc" >/dev/null || fail "closing the tray"
"$quillden" ls V: > "$work/disc2.txt" || fail "reading disc 2"
expect "IMAGE" "$work/disc2.txt"

# The created-media record makes a second run without --set find nothing to create on item 1.
"$create" --list --drive V "$root/Quenvar.ini" > "$work/list2.txt" || fail "second --list"
expect "[ ] System Recovery Media" "$work/list2.txt"

# The utility disc is recorded from the stored ISO onto a CD-R and compared with it.
iso="$root/area/images/utility.iso"
"$create" --drive W --set 2:2 --verify --blank cd-r "$root/Quenvar.ini" > "$work/image.txt" 2>&1
status=$?
cat "$work/image.txt"
[ $status -eq 0 ] || fail "the image disc run ended with $status"
expect "Utility Disc will be created now." "$work/image.txt"
expect "Now verifying data" "$work/image.txt"
expect "Creating Utility Disc has completed successfully." "$work/image.txt"
expect "created 1 of 1 media" "$work/image.txt"
grep -q "Error Code" "$work/image.txt" && fail "the image disc run reported an error"
"$quillden" virtual describe "$work/cd.disc" > "$work/cd-info.txt" 2>&1 || fail "describing the CD"
grep -qi "cd-r" "$work/cd-info.txt" || fail "the utility disc is not on a CD-R: $(cat "$work/cd-info.txt")"
size=$(stat -c %s "$iso")
cmp -n "$size" "$iso" "$work/cd.disc" || fail "the recorded CD differs from $iso"
isoinfo -d -i "$work/cd.disc" | grep -q "Volume id: QV_UTILITY" || fail "utility disc label"

# With the packet-writing product registered and its blocking library refusing the drive, the run
# does not start: the user is told, and nothing is created.
mkdir -p "$work/registry/machine"
cat > "$work/registry/machine/registry" <<'HIVE'
quenvar-registry 1
key "SOFTWARE"
key "SOFTWARE\\Sonic"
key "SOFTWARE\\Sonic\\Direct Access"
key "SOFTWARE\\Sonic\\Direct Access\\CurrentVersion"
key "SOFTWARE\\Sonic\\Direct Access\\CurrentVersion\\All"
value "AppName" sz "Sonic DLA"
HIVE
LD_LIBRARY_PATH="$refusing${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}" \
  "$create" --drive W --set 2:2 --blank cd-r "$root/Quenvar.ini" > "$work/refused.txt" 2>&1
status=$?
cat "$work/refused.txt"
[ $status -eq 1 ] || fail "the refused run ended with $status"
expect "because another application is using this drive" "$work/refused.txt"
expect "( Error Code: 1205A9-F0-" "$work/refused.txt"
expect "created 0 of 1 media" "$work/refused.txt"
grep -q "will be created now" "$work/refused.txt" && fail "the refused run started a disc"
echo "PASS"
