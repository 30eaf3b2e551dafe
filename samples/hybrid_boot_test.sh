#!/usr/bin/env bash
# Masters the sample recovery disc 1 with --hybrid and checks that the one image boots four ways:
# written raw to a USB stick under UEFI (OVMF: the GPT's EFI system partition) and as a hard disk
# under the BIOS (SeaBIOS: the MBR's code loads the El Torito BIOS image), and as a CD both ways.
# fdisk and sgdisk must accept its MBR and GPT, xorriso and 7z its ISO 9660 tree and catalog. The
# refusals of --hybrid leave no image behind. Prints the time each boot took.
set -euo pipefail
quillden="$1" root="$2" work="$3"
rm -rf "$work" && mkdir -p "$work"
area="$root/area"
failed=0
fail() { echo "FAILED: $*"; failed=1; }

master() {  # master OUTPUT EXTRA-OPTIONS...
  local output="$1"
  shift
  "$quillden" mkiso -q -V QV_RECOVERY_1 -b "$area/boot/boot_program.bin" -no-emul-boot \
    -boot-load-size 4 -eltorito-alt-boot -e "$area/boot/efi_boot.img" -no-emul-boot \
    --graft IMAGE="$area/image" --graft TOOLS/="$area/tools/README.TXT" "$@" -o "$output"
}

# Refusals: exit code 2, a message naming --hybrid, and no image.
refused() {  # refused NAME WORD OPTIONS...: exit 2, no image, and WORD in the message
  local name="$1" word="$2"
  shift 2
  local code=0
  "$quillden" mkiso -q "$@" -o "$work/$name.iso" 2>"$work/$name.err" || code=$?
  if [[ $code != 2 ]] || ! grep -q -- "$word" "$work/$name.err" || [[ -e "$work/$name.iso" ]]; then
    fail "--hybrid $name: exit $code, $(cat "$work/$name.err")"
  fi
}
refused no-boot-image --hybrid --hybrid "$area/tools/README.TXT"
refused disc-image --hybrid --hybrid --disc-image -b "$area/boot/boot_program.bin" -no-emul-boot \
  "$area/tools/README.TXT"
refused udf-only UDF-only --hybrid --fs udf -b "$area/boot/boot_program.bin" -no-emul-boot \
  "$area/tools/README.TXT"
refused emulated --hybrid --hybrid -b "$area/boot/boot_program.bin" -hard-disk-boot "$area/tools/README.TXT"

master "$work/plain.iso"
master "$work/hybrid.iso" --hybrid
plain_size=$(stat -c %s "$work/plain.iso")
hybrid_size=$(stat -c %s "$work/hybrid.iso")
if [[ $((hybrid_size - plain_size)) != 18432 ]]; then
  fail "the hybrid image is $hybrid_size bytes, the plain one $plain_size"
fi
if [[ -n "$(head -c 32768 "$work/plain.iso" | tr -d '\0')" ]]; then
  fail "without --hybrid the system area is no longer empty"
fi

# Partition tables as other tools read them.
if command -v sgdisk >/dev/null; then
  sgdisk -v "$work/hybrid.iso" | tee "$work/sgdisk.txt" | grep -q 'No problems found' ||
    fail "sgdisk -v: $(cat "$work/sgdisk.txt")"
fi
fdisk -l "$work/hybrid.iso" | tee "$work/fdisk.txt" | grep -Eq 'hybrid.iso1 +[0-9]+ +[0-9]+ +2880 .*EFI System' ||
  fail "fdisk sees no EFI system partition of 2880 sectors: $(cat "$work/fdisk.txt")"
fdisk -l -t dos "$work/hybrid.iso" | tee "$work/fdisk-mbr.txt" | grep -Eq ' ee GPT' ||
  fail "fdisk sees no protective MBR entry: $(cat "$work/fdisk-mbr.txt")"
grep -Eq '\* +[0-9]+ +[0-9]+ +2880 .* ef ' "$work/fdisk-mbr.txt" ||
  fail "fdisk sees no active MBR entry for the EFI system partition: $(cat "$work/fdisk-mbr.txt")"
# The EFI system partition is the EFI image's FAT with the boot program in it.
if command -v mdir >/dev/null; then
  start=$(awk '/hybrid.iso1/ {print $2}' "$work/fdisk.txt")
  MTOOLS_SKIP_CHECK=1 mdir -i "$work/hybrid.iso@@$((start * 512))" ::/EFI/BOOT | grep -q BOOTX64 ||
    fail "the EFI system partition holds no \\EFI\\BOOT\\BOOTX64.EFI"
fi

# The ISO 9660 side.
if command -v xorriso >/dev/null; then
  report=$(xorriso -indev "$work/hybrid.iso" -report_el_torito plain -report_system_area plain 2>&1)
  echo "$report" | grep -Eq 'boot img : +1 +BIOS +y +none' &&
    echo "$report" | grep -Eq 'boot img : +2 +UEFI +y +none' &&
    echo "$report" | grep -Eq 'Boot record +: El Torito , MBR .*GPT' ||
    fail "xorriso: $report"
fi
if command -v 7z >/dev/null; then
  7z t "$work/hybrid.iso" >"$work/7z.txt" 2>&1 && grep -q 'Everything is Ok' "$work/7z.txt" &&
    ! grep -qi 'warning' "$work/7z.txt" && 7z l "$work/hybrid.iso" | grep -q 'TOOLS/README.TXT' ||
    fail "7z: $(cat "$work/7z.txt")"
fi

if ! command -v qemu-system-x86_64 >/dev/null; then
  echo "note: qemu-system-x86_64 is not installed; the boots are left out"
  exit $failed
fi
source "$(dirname "$0")/qemu_boot.sh"
image="$work/hybrid.iso"
boot stick-uefi uefi -drive "file=$image,format=raw,if=none,id=stick,snapshot=on" \
  -device qemu-xhci -device usb-storage,drive=stick
boot disk-bios bios -drive "file=$image,format=raw,if=ide,index=0,snapshot=on" -boot c
boot cd-bios bios -cdrom "$image" -boot d
boot cd-uefi uefi -cdrom "$image"

# Without a BIOS image, the MBR's code tells why it cannot boot instead of hanging silently.
"$quillden" mkiso -q -eltorito-alt-boot -e "$area/boot/efi_boot.img" --hybrid \
  -o "$work/efi-only.iso" "$area/tools/README.TXT"
expected="No BIOS boot image" boot efi-only-disk-bios bios \
  -drive "file=$work/efi-only.iso,format=raw,if=ide,index=0,snapshot=on" -boot c
exit $failed
