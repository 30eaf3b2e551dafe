#!/bin/sh
# Guest side of the recordings on tgt's emulated DVD+R recorder, /dev/sr0 here. Every disc is
# checked by the engine and read back by the guest kernel's iso9660 and udf drivers.
#   recorder-guest.sh DIR SHORT BUILD
# DIR holds the tree and its listings, the images to record and the tray folder; SHORT 1 runs the
# short set (a data disc and an ISO image); BUILD is the build folder (the sample recovery area).
. "$(dirname "$0")/guest-lib.sh"
dir=$1
short=$2
build=$3
tray=$dir/tray
request=0
mnt=/mnt/disc
mkdir -p $mnt
export QUENVAR_DRIVES="R=/dev/sr0"
export QUENVAR_REGISTRY_ROOT=/tmp/registry

# The drive answers TEST UNIT READY (a changed disc first reports the change once).
drive_ready() {
  i=0
  while [ $i -lt 60 ]; do
    sg_turs /dev/sr0 >/dev/null 2>&1 && return 0
    i=$((i + 1))
    sleep 0.5
  done
  return 1
}

# tray_change blank|"load FILE": the host's robot changes the disc in the recorder.
tray_change() {
  request=$((request + 1))
  echo "$*" >"$tray/.request"
  mv "$tray/.request" "$tray/request-$request"
  wait_for "$tray/done-$request" 30 || { echo "the tray robot did not answer"; return 1; }
  drive_ready
}

# The engine opens the tray and closes it again: the sr driver reads the new disc's size only
# after such a change, and tgt keeps the disc.
eject_and_load() { quillden eject R: && quillden eject R: --load && drive_ready; }

# The file on the host that holds the disc now in the recorder.
disc_file() { cat "$tray/done-$request" 2>/dev/null || echo "$dir/disc-0.img"; }

# mounted_matches TYPE LISTING HASHES: the disc mounted by the kernel holds exactly the tree.
mounted_matches() {
  mount -t "$1" -o ro,iocharset=utf8 /dev/sr0 $mnt || return 1
  listing $mnt >/tmp/listing.txt
  hashes $mnt >/tmp/hashes.txt
  umount $mnt
  same_files "$2" /tmp/listing.txt && same_files "$3" /tmp/hashes.txt
}

media_says() { quillden media R: >/tmp/media.txt 2>&1; cat /tmp/media.txt; grep -q "$1" /tmp/media.txt; }
ls_lists() { quillden ls R: >/tmp/ls.txt && grep -qF "$1" /tmp/ls.txt; }
cat_matches() { quillden cat R: "$1" >/tmp/cat.out && cmp /tmp/cat.out "$2"; }
drives_lists() { quillden drives | tee /tmp/drives.txt; grep -q '^R:.*TGT_DVD_RW' /tmp/drives.txt; }

wait_for /dev/sr0 60
drive_ready
check "quillden drives lists the tgt recorder" drives_lists
check "quillden media sees a blank DVD+R" media_says "status *1 (blank)"

# A data disc mastered from the tree and recorded in one pass.
check "burn records the tree as a data disc (ISO 9660 + Joliet + UDF)" \
  quillden burn R: -q -V DEVTEST_BURN --graft "/=$dir/tree"
check "the recorded disc is closed" media_says "status *0"
check "quillden ls reads the recorded disc" ls_lists "many.dots.in.one.name.tar.gz"
check "quillden cat reads a file back" cat_matches 'big\random.bin' "$dir/tree/big/random.bin"
check "quillden eject opens and closes the tray" eject_and_load
check "the kernel's iso9660 driver reads the data disc" mounted_matches iso9660 "$dir/listing.txt" "$dir/hashes.txt"
check "the kernel's udf driver reads the data disc" mounted_matches udf "$dir/listing.txt" "$dir/hashes.txt"

# A bootable ISO image recorded as one track, compared by the engine, booted on the host.
check "a blank disc is loaded" tray_change blank
check "burn records the bootable ISO image" quillden burn R: -q "$dir/bootable.iso"
check "compare finds the disc equal to the image" quillden compare R: -q "$dir/bootable.iso"
check "quillden eject opens and closes the tray" eject_and_load
check "the kernel's iso9660 driver reads the recorded image" \
  mounted_matches iso9660 "$dir/listing.txt" "$dir/hashes.txt"
disc_file >"$dir/booted-disc.txt"

[ "$short" = 1 ] && { report; exit; }

# A disc image file (.wvm) recorded, compared, and read back by the kernel.
check "a blank disc is loaded" tray_change blank
check "image write records the disc image file" quillden image write R: -q "$dir/disc.wvm"
check "compare finds the disc equal to the disc image file" quillden compare R: -q "$dir/disc.wvm"
check "quillden eject opens and closes the tray" eject_and_load
check "the kernel's iso9660 driver reads the disc recorded from the disc image file" \
  mounted_matches iso9660 "$dir/tools/listing.txt" "$dir/tools/hashes.txt"
image_round_trip() {
  rm -f /tmp/back.wvm
  quillden image create R: -q /tmp/back.wvm && quillden compare R: -q /tmp/back.wvm
}
check "image create reads the recorded disc into a disc image file equal to it" image_round_trip

# copy: from a virtual DVD-ROM holding the bootable image onto a blank disc in the tgt recorder.
copy_from_virtual() {
  rm -f /tmp/source.disc /tmp/source.disc.state
  quillden virtual load /tmp/source.disc "$dir/bootable.iso" --kind dvd-rom >/dev/null &&
    QUENVAR_DRIVES="R=/dev/sr0;V=virtual:dvd-rom:/tmp/source.disc" quillden copy V: R: -q
}
check "a blank disc is loaded" tray_change blank
check "copy records the virtual DVD-ROM's disc" copy_from_virtual
check "compare finds the copy equal to the image" quillden compare R: -q "$dir/bootable.iso"
check "quillden eject opens and closes the tray" eject_and_load
check "the kernel's iso9660 driver reads the copy" mounted_matches iso9660 "$dir/listing.txt" "$dir/hashes.txt"

# quenvar-create records the sample's two recovery DVDs and verifies them; the robot puts a blank
# disc in after the program ejects the first one.
sample_discs_created() {
  touch "$tray/autoload"
  quenvar-create --drive R --set 1:1 --verify --insert wait "$build/samples/recovery/Quenvar.ini" \
    >/tmp/create.txt 2>&1
  status=$?
  rm -f "$tray/autoload"
  grep -v '^progress:' /tmp/create.txt
  [ $status -eq 0 ] && grep -q "created 2 of 2 media" /tmp/create.txt
}
check "a blank disc is loaded" tray_change blank
disc_file >"$dir/sample-disc-1.txt"
check "quenvar-create creates the sample's two DVDs with verify" sample_discs_created
check "quillden eject opens and closes the tray" eject_and_load
second_disc_holds_image2() {
  mount -t iso9660 -o ro /dev/sr0 $mnt || return 1
  ls -R $mnt
  cmp "$mnt/IMAGE/factory.img.003" "$build/samples/recovery/area/image2/factory.img.003"
  status=$?
  umount $mnt
  return $status
}
check "the kernel's iso9660 driver reads the sample's second disc" second_disc_holds_image2

# --append: tgt's recorder turns a DVD+R into a DVD-ROM when its track is closed, so a further
# session cannot be added there; the engine must refuse it and leave the first session readable.
append_refused() {
  quillden burn R: -q -V DEVTEST_S1 --write-type 1 --graft "/=$dir/tools/tree" || return 1
  quillden burn R: -q --append -V DEVTEST_S2 --graft "/extra=$dir/tree/Ελληνικά" >/tmp/append.txt 2>&1
  status=$?
  cat /tmp/append.txt
  [ $status -ne 0 ] && grep -q "0x08000024" /tmp/append.txt
}
check "a blank disc is loaded" tray_change blank
check "burn --append on the disc the recorder closed is refused (0x08000024)" append_refused
check "quillden eject opens and closes the tray" eject_and_load
check "the kernel's iso9660 driver reads the first session intact" \
  mounted_matches iso9660 "$dir/tools/listing.txt" "$dir/tools/hashes.txt"
report
