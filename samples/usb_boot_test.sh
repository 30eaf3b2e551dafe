#!/usr/bin/env bash
# FAT32 USB media boot through the BIOS (SeaBIOS) with the master boot record's program and the
# volume boot program that Tarnfold installs (put onto images here by fat_boot_install):
#  - a stick whose loader (58 KiB, the sample boot program at its end) lies deep in a root folder
#    of many clusters, in a cluster chain broken into pieces all over the FAT; as a USB stick and
#    as an IDE disk;
#  - the sample area's USB medium (its files, the boot program as QVBOOT.BIN), through the BIOS
#    and through UEFI (OVMF) from the one stick;
#  - a stick without the loader says it is not a bootable medium; one whose reads fail says so.
# fsck.fat must find every volume clean. Prints the time each boot took.
#   usb_boot_test.sh FAT_BOOT_INSTALL SAMPLE_ROOT WORK
set -euo pipefail
install="$1" root="$2" work="$3"
for tool in qemu-system-x86_64 mkfs.fat fsck.fat mcopy sfdisk; do
  if ! command -v "$tool" >/dev/null && [[ ! -x "/usr/sbin/$tool" && ! -x "/sbin/$tool" ]]; then
    echo "SKIPPED: $tool is not installed"
    exit 77
  fi
done
export PATH="$PATH:/usr/sbin:/sbin" MTOOLS_SKIP_CHECK=1
rm -rf "$work" && mkdir -p "$work"
failed=0
fail() { echo "FAILED: $*"; failed=1; }
source "$(dirname "$0")/qemu_boot.sh"
area="$root/area"
part=$((2048 * 512))

# new_stick IMAGE MEGABYTES MKFS-OPTIONS...: one active FAT32 partition from sector 2048.
new_stick() {
  local image="$1" size="$2"
  shift 2
  truncate -s "${size}M" "$image"
  printf 'label: dos\nstart=2048, type=c, bootable\n' | sfdisk -q "$image"
  mkfs.fat -F 32 -h 2048 --offset 2048 "$@" "$image" >/dev/null
}

clean() {  # clean IMAGE: fsck.fat finds nothing to repair
  local out
  dd if="$1" of="$work/volume.img" bs=1M skip=1 status=none
  if ! out=$(fsck.fat -n "$work/volume.img" 2>&1) || echo "$out" | grep -qi 'differences\|corrupt\|wrong'; then
    fail "fsck.fat on $(basename "$1"): $out"
  fi
  rm -f "$work/volume.img"
}

# The loader: a far jump to the sample boot program at its end, 56 KiB further on.
loader="$work/QVBOOT.BIN"
printf '\xEA\x00\x00\xC0\x15' >"$loader"
truncate -s 57344 "$loader"
cat "$area/boot/boot_program.bin" >>"$loader"

# One-sector clusters. The root folder grows one cluster (16 entries) at a time, each new cluster
# after eight one-cluster files of a side folder; every other side file is then deleted and the
# free space behind them filled, so the loader's 116 clusters can only go into the one-cluster
# holes, in 116 pieces across three FAT sectors, and its entry comes last, in the root folder's
# 31st cluster.
deep="$work/deep.img"
new_stick "$deep" 64 -s 1 -n QV_DEEP
mmd -i "$deep@@$part" ::/SIDE
empty="$work/empty"
mkdir -p "$empty/entries" "$empty/side"
holes=()
for cluster in $(seq 1 30); do
  names=()
  for entry in $(seq 1 16); do
    names+=("$empty/entries/E$(printf '%02d%02d' "$cluster" "$entry").TXT")
  done
  touch "${names[@]}"
  mcopy -i "$deep@@$part" "${names[@]}" ::/
  side=()
  for file in $(seq 1 8); do
    side+=("$empty/side/S$(printf '%02d%02d' "$cluster" "$file").BIN")
    head -c 300 /dev/urandom >"${side[-1]}"
    (( file % 2 == 0 )) || holes+=("::/SIDE/$(basename "${side[-1]}")")
  done
  mcopy -i "$deep@@$part" "${side[@]}" ::/SIDE/
done
mdel -i "$deep@@$part" "${holes[@]}"
free=$(mdir -i "$deep@@$part" ::/ | awk '/bytes free/ {gsub(/ /, ""); print}' | sed 's/bytesfree//')
truncate -s $((free - ${#holes[@]} * 512)) "$work/FILL.BIN"
mcopy -i "$deep@@$part" "$work/FILL.BIN" ::/
mcopy -i "$deep@@$part" "$loader" ::/QVBOOT.BIN
rm -f "$work/FILL.BIN"
# The layout the test needs: the loader's entry after 480 others, its chain in pieces.
mdir -i "$deep@@$part" ::/ >"$work/deep-root.txt"
if [[ "$(grep -c '^E[0-9]' "$work/deep-root.txt")" != 480 ]] || ! grep -q '^QVBOOT *BIN *59392' "$work/deep-root.txt"; then
  fail "the root folder is not as planned: $(tail -5 "$work/deep-root.txt")"
fi
"$install" --mbr --offset "$part" "$deep" || fail "fat_boot_install on the deep stick"
clean "$deep"
fragments=$(mshowfat -i "$deep@@$part" ::/QVBOOT.BIN | grep -o '<' | wc -l)
echo "the loader's chain: $(mshowfat -i "$deep@@$part" ::/QVBOOT.BIN | head -c 160)..."
if (( fragments < 100 )); then
  fail "the loader lies in $fragments pieces, not scattered"
fi
boot deep-stick-bios bios -drive "file=$deep,format=raw,if=none,id=stick,snapshot=on" \
  -device qemu-xhci -device usb-storage,drive=stick,bootindex=0
boot deep-disk-bios bios -drive "file=$deep,format=raw,if=ide,index=0,snapshot=on" -boot c

# The sample area's USB medium, as the program fills it.
usb="$work/usb.img"
new_stick "$usb" 64 -n QV_USB
mcopy -s -i "$usb@@$part" "$area"/* ::/
mcopy -i "$usb@@$part" "$area/boot/boot_program.bin" ::/QVBOOT.BIN
"$install" --mbr --offset "$part" "$usb" || fail "fat_boot_install on the sample stick"
clean "$usb"
boot usb-bios bios -drive "file=$usb,format=raw,if=none,id=stick,snapshot=on" -device qemu-xhci \
  -device usb-storage,drive=stick,bootindex=0
boot usb-uefi uefi -drive "file=$usb,format=raw,if=none,id=stick,snapshot=on" -device qemu-xhci \
  -device usb-storage,drive=stick

# Without the loader.
plain="$work/plain.img"
new_stick "$plain" 40 -n QV_PLAIN
mcopy -i "$plain@@$part" "$area/tools/README.TXT" ::/
"$install" --mbr --offset "$part" "$plain" || fail "fat_boot_install on the stick without a loader"
clean "$plain"
expected="Not a bootable medium: no loader" boot plain-bios bios \
  -drive "file=$plain,format=raw,if=ide,index=0,snapshot=on" -boot c

# A parameter block that places the volume beyond the end of the disk: the reads fail.
for sector in 0 6; do
  printf '\x00\x00\x00\x40' | dd of="$plain" bs=1 seek=$((part + sector * 512 + 0x1C)) conv=notrunc status=none
done
expected="Disk read error" boot unreadable-bios bios \
  -drive "file=$plain,format=raw,if=ide,index=0,snapshot=on" -boot c
exit $failed
