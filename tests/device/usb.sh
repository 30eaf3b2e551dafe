# Tarnfold and the program's USB flow on a stick the guest kernel sees through its USB mass
# storage driver (qemu-xhci + usb-storage, removable), read back through the kernel's vfat and
# ntfs-3g; a fixed USB disk and a virtio disk beside it must be refused untouched. Host side:
# the disk images.

prepare_usb() {
  usb=$work/usb
  rm -rf "$usb"
  mkdir -p "$usb"
  make_awkward_tree "$usb/tree"
  write_listings "$usb"
  # The sample area as the USB disc copies it (every file and folder of the area).
  mkdir -p "$usb/sample"
  ln -s "$build/samples/recovery/area" "$usb/sample/tree"
  write_listings "$usb/sample"
  # and, as the disc is bootable, its BIOS boot program as the loader in the root folder.
  local loader=$build/samples/recovery/area/boot/boot_program.bin
  printf 'f %s ./QVBOOT.BIN\n' "$(stat -c %s "$loader")" >>"$usb/sample/listing.txt"
  printf '%s  ./QVBOOT.BIN\n' "$(sha256sum <"$loader" | cut -d' ' -f1)" >>"$usb/sample/hashes.txt"
  LC_ALL=C sort -o "$usb/sample/listing.txt" "$usb/sample/listing.txt"
  LC_ALL=C sort -k 2 -o "$usb/sample/hashes.txt" "$usb/sample/hashes.txt"
  truncate -s 300M "$usb/stick.img"
  # The disks that must not be touched hold a partition table and data.
  local disk
  for disk in fixed virtio; do
    head -c 24M /dev/urandom >"$usb/$disk.img"
    printf 'label: dos\n,,83\n' | sfdisk -q "$usb/$disk.img" >/dev/null
  done
}

run_usb() {
  prepare_usb
  run_guest usb 1500 "$root/tests/device/usb-guest.sh" "$usb,$short,$build" \
    -device qemu-xhci,id=xhci \
    -drive "if=none,id=stick,format=raw,file=$usb/stick.img" \
    -device usb-storage,bus=xhci.0,drive=stick,removable=on \
    -drive "if=none,id=fixed,format=raw,file=$usb/fixed.img" \
    -device usb-storage,bus=xhci.0,drive=fixed,removable=off \
    -drive "if=none,id=virtio,format=raw,file=$usb/virtio.img" \
    -device virtio-blk-pci,drive=virtio
  host_check "the program's USB medium starts an emulated PC through UEFI" usb_medium_boots_uefi
  host_check "the program's USB medium starts an emulated PC through the BIOS" usb_medium_boots_bios
}

# The USB medium the program made last in the guest (the sample area's USB disc, FAT32, with
# \EFI\BOOT\BOOTX64.EFI among its files) starts an emulated PC through UEFI.
usb_medium_boots_uefi() {
  (
    work=$usb
    fail() { echo "$*"; exit 1; }
    source "$root/samples/qemu_boot.sh"
    boot usb-medium-uefi uefi -drive "file=$usb/stick.img,format=raw,if=none,id=stick,snapshot=on" \
      -device qemu-xhci -device usb-storage,drive=stick
  )
}

# The same medium through the BIOS (SeaBIOS): the master boot record's program and the volume's
# boot program that Tarnfold wrote load the disc's boot program that the USB flow copied.
usb_medium_boots_bios() {
  (
    work=$usb
    fail() { echo "$*"; exit 1; }
    source "$root/samples/qemu_boot.sh"
    boot usb-medium-bios bios -drive "file=$usb/stick.img,format=raw,if=none,id=stick,snapshot=on" \
      -device qemu-xhci -device usb-storage,drive=stick,bootindex=0
  )
}
