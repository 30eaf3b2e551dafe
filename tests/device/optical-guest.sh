#!/bin/sh
# Guest side of the read-only drives: for the IDE and the SCSI drive, the engine lists the drive,
# reads the media information, lists and reads files, compares the disc with its image, creates a
# disc image file from it, copies its data track with rip, ejects and loads it; the empty drive
# says so.
#   optical-guest.sh DIR SHORT
. "$(dirname "$0")/guest-lib.sh"
dir=$1
export QUENVAR_REGISTRY_ROOT=/tmp/registry

# The drives by where the kernel found them: the SCSI drive below virtio, the IDE drives by their
# unit (target 0 holds the disc, target 1 is empty).
ide= scsi= empty=
i=0
while [ $i -lt 300 ] && { [ -z "$ide" ] || [ -z "$scsi" ] || [ -z "$empty" ]; }; do
  for block in /sys/block/sr*; do
    [ -e "$block" ] || continue
    node=/dev/${block##*/}
    path=$(readlink -f "$block/device")
    case "$path" in
      *virtio*) scsi=$node ;;
      *:0:0:0) ide=$node ;;
      *:0:1:0) empty=$node ;;
    esac
  done
  i=$((i + 1))
  sleep 0.1
done
echo "IDE drive $ide, SCSI drive $scsi, empty drive $empty"
check "the guest sees the IDE, SCSI and empty drives" test -b "$ide" -a -b "$scsi" -a -b "$empty"
export QUENVAR_DRIVES="I=$ide;S=$scsi;E=$empty"

drives_lists() { quillden drives >/tmp/drives.txt; cat /tmp/drives.txt; grep -q "^$1:" /tmp/drives.txt; }
media_says() { quillden media "$1" >/tmp/media.txt 2>&1; cat /tmp/media.txt; grep -q "$2" /tmp/media.txt; }
ls_lists() { quillden ls "$1" "$2" >/tmp/ls.txt && cat /tmp/ls.txt && grep -qF "$3" /tmp/ls.txt; }
cat_matches() { quillden cat "$1" "$2" >/tmp/cat.out && cmp /tmp/cat.out "$3"; }
image_round_trip() {
  rm -f /tmp/disc.wvm
  quillden image create "$1" -q /tmp/disc.wvm && quillden image info /tmp/disc.wvm &&
    quillden compare "$1" -q /tmp/disc.wvm
}
rip_matches() {
  rm -f /tmp/track.bin
  quillden rip "$1" 1 /tmp/track.bin || return 1
  size=$(stat -c %s "$dir/disc.iso")
  [ "$(stat -c %s /tmp/track.bin)" -ge "$size" ] && cmp -n "$size" /tmp/track.bin "$dir/disc.iso"
}
eject_and_load() {
  quillden eject "$1" || return 1
  sg_turs "${2}" >/dev/null 2>&1 && { echo "the tray is still closed with a disc"; return 1; }
  quillden eject "$1" --load || return 1
  j=0
  while ! sg_turs "$2" >/dev/null 2>&1; do
    j=$((j + 1))
    [ $j -gt 40 ] && { echo "the disc is not ready again"; return 1; }
    sleep 0.5
  done
  quillden ls "$1" >/dev/null
}

# Read-only drives answer a subset of MMC (the SCSI drive refuses READ TRACK INFORMATION with
# 5/20/00, the IDE drive READ DVD STRUCTURE for a CD-ROM profile); the engine describes the disc
# from the TOC and READ CAPACITY instead, and compare, image create and rip are built on that.
on_drive() { check "$@"; }

for drive in I S; do
  node=$ide
  [ $drive = S ] && node=$scsi
  check "$drive: quillden drives lists the drive" drives_lists $drive
  on_drive "$drive: quillden media sees a closed disc" media_says $drive: "status *0"
  check "$drive: quillden ls lists the root" ls_lists $drive: "" "many.dots.in.one.name.tar.gz"
  check "$drive: quillden ls lists a folder with a non-ASCII name" ls_lists $drive: 'Ελληνικά' "Кириллица файл.txt"
  check "$drive: quillden cat reads a file of 2049 bytes" \
    cat_matches $drive: 'Ελληνικά\Кириллица файл.txt' "$dir/tree/Ελληνικά/Кириллица файл.txt"
  check "$drive: quillden cat reads a 3 MiB file" cat_matches $drive: 'big\random.bin' "$dir/tree/big/random.bin"
  on_drive "$drive: quillden compare finds the disc equal to its image" quillden compare $drive: -q "$dir/disc.iso"
  on_drive "$drive: image create makes a disc image file equal to the disc" image_round_trip $drive:
  on_drive "$drive: rip copies the data track" rip_matches $drive:
  check "$drive: eject opens the tray and --load closes it" eject_and_load $drive: "$node"
done

empty_drive_says_so() {
  quillden media E: >/tmp/empty.txt 2>&1
  status=$?
  cat /tmp/empty.txt
  [ $status -ne 0 ] || grep -qi "no medi\|not present\|0x0800" /tmp/empty.txt
}
check "E: quillden drives lists the empty drive" drives_lists E
check "E: quillden media says the drive holds no medium" empty_drive_says_so
check "E: quillden ls fails on the empty drive" sh -c '! quillden ls E:'
report
