#!/bin/sh
# Guest side of the USB checks: Tarnfold formats the removable USB stick with FAT32 and NTFS and
# non-ASCII labels, the kernel's vfat and ntfs-3g read back what was written, the program's USB flow
# fills the stick with the sample area and with an area of the guest's own whose names, label and
# modification times lie outside ASCII (read back unchanged through vfat); the fixed USB disk, the virtio disk, a stick mounted at a
# system folder, a partition and an unmapped letter are refused with their contents unchanged.
#   usb-guest.sh DIR SHORT BUILD
. "$(dirname "$0")/guest-lib.sh"
dir=$1
short=$2
build=$3
mnt=/mnt/stick
mkdir -p $mnt
export QUENVAR_REGISTRY_ROOT=/tmp/registry

# The disks by what the kernel says of them.
find_disks() {
  stick= fixed=
  i=0
  while [ $i -lt 300 ] && { [ -z "$stick" ] || [ -z "$fixed" ]; }; do
    for block in /sys/block/sd*; do
      [ -e "$block/removable" ] || continue
      if [ "$(cat "$block/removable")" = 1 ]; then stick=/dev/${block##*/}; else fixed=/dev/${block##*/}; fi
    done
    i=$((i + 1))
    sleep 0.1
  done
  [ -n "$stick" ] && [ -n "$fixed" ]
}
find_disks
virtio=/dev/vda
echo "stick $stick, fixed USB disk $fixed, virtio disk $virtio"
check "the guest sees the removable stick, the fixed USB disk and the virtio disk" \
  test -b "$stick" -a -b "$fixed" -a -b "$virtio"
export QUENVAR_DRIVES="U=usb:$stick;F=fixed:$fixed;G=fixed:$virtio"

# tarnfold_is CODE LETTER FS LABEL: Tarnfold returns CODE.
tarnfold_is() {
  want=$1
  shift
  tarnfold_call "$@" >/tmp/tarnfold.out 2>&1
  cat /tmp/tarnfold.out
  grep -q "^Tarnfold: $want\$" /tmp/tarnfold.out
}

# unchanged_by DEVICE COMMAND...: COMMAND leaves the whole of DEVICE as it was.
unchanged_by() {
  device=$1
  shift
  before=$(sha256sum <"$device")
  "$@"
  status=$?
  after=$(sha256sum <"$device")
  [ "$before" = "$after" ] || { echo "$device changed"; return 1; }
  return $status
}

# holds_tree TYPE OPTIONS LISTING HASHES: the stick's partition, mounted, holds exactly the tree.
holds_tree() {
  mount_stick "$1" "$2" || return 1
  listing $mnt | grep -v -e '^d ./System Volume Information' >/tmp/listing.txt
  hashes $mnt >/tmp/hashes.txt
  umount $mnt
  same_files "$3" /tmp/listing.txt && same_files "$4" /tmp/hashes.txt
}

mount_stick() {
  case "$1" in
    vfat) mount -t vfat -o iocharset=utf8 "${stick}1" $mnt ;;
    ntfs) ntfs-3g "${stick}1" $mnt ;;
  esac
}

# fill_stick TYPE: the tree copied onto the stick through the kernel.
fill_stick() {
  mount_stick "$1" || return 1
  cp -R "$dir/tree/." $mnt/ && sync
  status=$?
  umount $mnt
  return $status
}

one_partition_of_type() {
  sfdisk -d "$stick" >/tmp/table.txt
  cat /tmp/table.txt
  [ "$(grep -c '^/dev/' /tmp/table.txt)" = 1 ] && grep -q "type=$1, bootable" /tmp/table.txt
}

fat_label_is() { seen=$(fatlabel "${stick}1"); [ "$seen" = "$1" ] || { echo "label '$seen'"; return 1; }; }
ntfs_label_is() { seen=$(ntfslabel "${stick}1"); [ "$seen" = "$1" ] || { echo "label '$seen'"; return 1; }; }
is_fat32() {
  blkid -p -o value -s TYPE "${stick}1" | grep -qx vfat &&
    blkid -p -o value -s VERSION "${stick}1" | grep -qx FAT32
}

# FAT32 with a label of non-ASCII letters; then with a plain label, filled and read back through
# the kernel's vfat.
fat32_with_label() { tarnfold_is 0x0000 U FAT32 "$1" && is_fat32 && fat_label_is "$1"; }
check "Tarnfold formats FAT32 with the non-ASCII label ÉTÉ_ÄÖÜ" fat32_with_label "ÉTÉ_ÄÖÜ"
check "Tarnfold formats the stick with FAT32" tarnfold_is 0x0000 U FAT32 "DEVTEST_FAT"
check "FAT32: one active partition of type 0x0c" one_partition_of_type c
check "FAT32: blkid sees FAT32" is_fat32
check "FAT32: the label is kept" fat_label_is "DEVTEST_FAT"
check "FAT32: the kernel's vfat writes the tree" fill_stick vfat
check "FAT32: vfat reads back every name and content" holds_tree vfat "" "$dir/listing.txt" "$dir/hashes.txt"

# The disks that must be refused.
check "Tarnfold refuses the fixed USB disk, untouched" unchanged_by "$fixed" tarnfold_is 0x1002 F FAT32 X
check "Tarnfold refuses the virtio disk, untouched" unchanged_by "$virtio" tarnfold_is 0x1002 G NTFS X
# A map that calls a fixed disk a USB drive (a stale entry after the disks were numbered anew):
# the kernel knows the disk is neither removable nor on a USB bus.
fixed_mapped_as_usb() { QUENVAR_DRIVES="F=usb:$fixed" tarnfold_is 0x1002 F FAT32 X; }
virtio_mapped_as_usb() { QUENVAR_DRIVES="G=usb:$virtio" tarnfold_is 0x1002 G NTFS X; }
check "Tarnfold refuses the fixed USB disk that the map calls usb:, untouched" \
  unchanged_by "$fixed" fixed_mapped_as_usb
check "Tarnfold refuses the virtio disk that the map calls usb:, untouched" \
  unchanged_by "$virtio" virtio_mapped_as_usb
check "Tarnfold refuses an unmapped letter, the stick untouched" unchanged_by "$stick" tarnfold_is 0x1002 Q FAT32 X
refuses_partition() {
  QUENVAR_DRIVES="P=usb:${stick}1" tarnfold_call P FAT32 X
  [ $? -ne 0 ]
}
check "Tarnfold refuses a partition of the stick, untouched" unchanged_by "$stick" refuses_partition
refuses_system_mount() {
  mkdir -p /usr/lib/devtest-mount
  mount -t vfat -o ro "${stick}1" /usr/lib/devtest-mount || return 1
  tarnfold_is 0x1002 U NTFS X
  status=$?
  umount /usr/lib/devtest-mount || { echo "the stick was unmounted"; status=1; }
  return $status
}
check "Tarnfold refuses the stick while it is mounted at a system folder, untouched" \
  unchanged_by "$stick" refuses_system_mount

# NTFS with a label of non-ASCII letters, filled and read back through ntfs-3g.
check "Tarnfold formats the stick with NTFS" tarnfold_is 0x0000 U NTFS "Ñandú 日本語"
check "NTFS: one active partition of type 0x07" one_partition_of_type 7
check "NTFS: the label keeps its non-ASCII letters" ntfs_label_is "Ñandú 日本語"
check "NTFS: ntfs-3g writes the tree" fill_stick ntfs
check "NTFS: ntfs-3g reads back every name and content" holds_tree ntfs "" "$dir/listing.txt" "$dir/hashes.txt"

# The program powers the stick off at the end; the USB buses are enumerated again to find it.
plug_in_again() {
  for bus in /sys/bus/usb/devices/usb*; do
    echo 0 >"$bus/authorized" && echo 1 >"$bus/authorized"
  done
  find_disks && wait_for "${stick}1" 20
}

# A recovery area made here: names outside ASCII in the root and in a folder "Ordner Ä", each file
# with its own modification time (even seconds: FAT keeps two), one file nobody may write, and a
# label outside ASCII. The program copies it through the kernel's vfat; vfat reads back the same
# names, contents, times, label and read-only attribute. (Before the sample's flow, whose medium
# the host then boots.)
own=/tmp/own-area
make_own_area() {
  rm -rf $own
  mkdir -p "$own/files/Ordner Ä/Unterordner ö" || return 1
  printf 'Grüße aus der Gastmaschine\n' >"$own/files/Ünïcödé ファイル.txt"
  head -c 70001 /dev/urandom >"$own/files/Ordner Ä/Datei ß.bin"
  head -c 4096 /dev/urandom >"$own/files/Ordner Ä/Unterordner ö/日本語 ñ.dat"
  printf 'nur lesen\n' >"$own/files/Ordner Ä/schreibgeschützt.txt"
  touch -d @1551675968 "$own/files/Ünïcödé ファイル.txt"
  touch -d @946684800 "$own/files/Ordner Ä/Datei ß.bin"
  touch -d @1626393598 "$own/files/Ordner Ä/Unterordner ö/日本語 ñ.dat"
  touch -d @1262304000 "$own/files/Ordner Ä/schreibgeschützt.txt"
  chmod 0444 "$own/files/Ordner Ä/schreibgeschützt.txt"
  cat >$own/contents.ini <<EOF
[CONTENTS]
ContentsTitle=Eigene Wiederherstellung
ContentsID=OWN-01
[DISCSET01]
DiscSetTitle=USB
[DISC0101]
DiscTitle=USB-Medium
DiscType=USB
DiscSize=8
VolumeLabel=RÉCUP ÄÖÜ
[FILESET010101]
SourcePath=$own/files
TargetPath=\Daten Ü
SubFolder=Yes
File0001=*
EOF
  printf '[VERIFYSETTINGS]\nVerify=Yes\n[CONTENTS01]\nIniPath=%s\n' $own/contents.ini >$own/Quenvar.ini
  (cd $own/files && listing . >$own/listing.txt && hashes . >$own/hashes.txt &&
    find . -type f -exec stat -c '%Y %n' {} + | LC_ALL=C sort -k 2 >$own/times.txt)
}
check "own area: made with names, times and a label outside ASCII" make_own_area
own_flow() {
  QUENVAR_CODEPAGE=1252 quenvar-create --set 1:1 --verify --format yes $own/Quenvar.ini >/tmp/own-flow.txt 2>&1
  status=$?
  cat /tmp/own-flow.txt
  [ $status -eq 0 ] && grep -q "created 1 of 1 media" /tmp/own-flow.txt
}
check "quenvar-create creates the own area's USB medium with verify" own_flow
check "own area: the powered-off stick is found again" plug_in_again
check "own area: the label outside ASCII is kept" fat_label_is "RÉCUP ÄÖÜ"
own_read_back() {
  mount_stick vfat || return 1
  status=0
  copy="$mnt/Daten Ü"
  { listing "$copy" >/tmp/own-listing.txt && same_files $own/listing.txt /tmp/own-listing.txt; } || status=1
  { hashes "$copy" >/tmp/own-hashes.txt && same_files $own/hashes.txt /tmp/own-hashes.txt; } || status=1
  (cd "$copy" && find . -type f -exec stat -c '%Y %n' {} + | LC_ALL=C sort -k 2) >/tmp/own-times.txt
  same_files $own/times.txt /tmp/own-times.txt || status=1
  # vfat shows the read-only attribute as a mode without write bits.
  [ -n "$(find "$copy/Ordner Ä/schreibgeschützt.txt" ! -perm /222)" ] || { echo "not read-only"; status=1; }
  [ -n "$(find "$copy/Ordner Ä/Datei ß.bin" -perm -200)" ] || { echo "read-only by mistake"; status=1; }
  umount $mnt
  return $status
}
check "own area: vfat reads back every name, content and time, and the read-only file" own_read_back

# The program's USB flow: the sample area's USB medium, created and verified.
usb_flow() {
  quenvar-create --set 1:3 --verify --format yes "$build/samples/recovery/Quenvar.ini" >/tmp/usb-flow.txt 2>&1
  status=$?
  cat /tmp/usb-flow.txt
  [ $status -eq 0 ] && grep -q "created 1 of 1 media" /tmp/usb-flow.txt
}
check "quenvar-create creates the sample's USB medium with verify" usb_flow
check "USB flow: the powered-off stick is found again" plug_in_again
check "USB flow: vfat reads back the sample area" \
  holds_tree vfat "" "$dir/sample/listing.txt" "$dir/sample/hashes.txt"
report
