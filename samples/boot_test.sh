#!/usr/bin/env bash
# Masters the sample recovery disc 1 (its files, its no-emulation BIOS boot program and its EFI
# system partition image) and boots it in an emulated PC through the BIOS (SeaBIOS) and through
# UEFI (OVMF); each boot program must print its line on the first serial port. xorriso and dumpet
# must read both catalog entries, 7z the files. Then a FAT32 USB medium holding the area's files
# (\EFI\BOOT\BOOTX64.EFI among them) boots under UEFI. Prints the time each boot took. (Sessions
# appended to a bootable disc are booted by the drive write tests.)
set -euo pipefail
quillden="$1" root="$2" work="$3"
if ! command -v qemu-system-x86_64 >/dev/null; then
  echo "SKIPPED: qemu-system-x86_64 is not installed"
  exit 77
fi
have_ovmf=1
if [[ ! -r /usr/share/OVMF/OVMF_CODE.fd ]]; then
  echo "note: OVMF (Debian package ovmf) is missing; the UEFI boots are left out"
  have_ovmf=0
fi
rm -rf "$work" && mkdir -p "$work"
failed=0
fail() { echo "$*"; failed=1; }
source "$(dirname "$0")/qemu_boot.sh"

area="$root/area"
"$quillden" mkiso -q -V QV_RECOVERY_1 -b "$area/boot/boot_program.bin" -no-emul-boot \
  -boot-load-size 4 -eltorito-alt-boot -e "$area/boot/efi_boot.img" -no-emul-boot \
  --graft IMAGE="$area/image" --graft TOOLS/="$area/tools/README.TXT" -o "$work/disc1.iso"
# Other readers of the catalog and of the files.
if command -v xorriso >/dev/null; then
  report=$(xorriso -indev "$work/disc1.iso" -report_el_torito plain 2>&1)
  echo "$report" | grep "El Torito"
  if ! echo "$report" | grep -Eq 'boot img : +1 +BIOS +y +none' ||
     ! echo "$report" | grep -Eq 'boot img : +2 +UEFI +y +none'; then
    echo "xorriso does not list a BIOS and a UEFI entry"; failed=1
  fi
  xorriso -indev "$work/disc1.iso" -report_el_torito cmd 2>/dev/null | grep -- '-boot_image' || true
fi
if command -v dumpet >/dev/null; then
  catalog=$(dumpet -i "$work/disc1.iso")
  if ! echo "$catalog" | grep -q 'PlatformId: 0xef (EFI)' ||
     ! echo "$catalog" | grep -q 'Final Section Header Entry'; then
    echo "dumpet does not see the EFI section:"; echo "$catalog"; failed=1
  fi
fi
if command -v 7z >/dev/null; then
  if ! 7z l "$work/disc1.iso" | grep -q 'TOOLS/README.TXT'; then
    echo "7z does not list the files"; failed=1
  fi
fi
boot disc1-bios bios -cdrom "$work/disc1.iso" -boot d
if (( have_ovmf )); then
  boot disc1-uefi uefi -cdrom "$work/disc1.iso"
fi


# The USB medium: one FAT32 partition (type 0x0C) holding the area's files.
if (( have_ovmf )) && command -v mkfs.fat >/dev/null && command -v mcopy >/dev/null; then
  usb="$work/usb.img"
  truncate -s 64M "$usb"
  printf 'label: dos\nstart=2048, type=c, bootable\n' | sfdisk -q "$usb"
  mkfs.fat -F 32 -n QV_USB --offset 2048 "$usb" >/dev/null
  MTOOLS_SKIP_CHECK=1 mcopy -s -i "$usb@@1M" "$area"/* ::/
  boot usb-uefi uefi -drive "file=$usb,format=raw,if=none,id=stick" -device qemu-xhci \
    -device usb-storage,drive=stick
fi
exit $failed
