#!/usr/bin/env bash
# Masters the sample recovery disc 1 (its files and its no-emulation boot program) and boots it in
# an emulated PC; the boot program must print its line on the first serial port.
set -euo pipefail
quillden="$1" root="$2" work="$3"
if ! command -v qemu-system-x86_64 >/dev/null; then
  echo "SKIPPED: qemu-system-x86_64 is not installed"
  exit 77
fi
rm -rf "$work" && mkdir -p "$work"
"$quillden" mkiso -q -V QV_RECOVERY_1 -b "$root/area/boot/boot_program.bin" -no-emul-boot \
  -boot-load-size 4 --graft IMAGE="$root/area/image" --graft TOOLS/="$root/area/tools/README.TXT" \
  -o "$work/disc1.iso"
timeout 60 qemu-system-x86_64 -cdrom "$work/disc1.iso" -boot d -display none -nodefaults \
  -serial "file:$work/serial.txt" -no-reboot -m 64 &
qemu=$!
for _ in $(seq 1 550); do
  if grep -q "Quenvar recovery disc" "$work/serial.txt" 2>/dev/null; then
    kill "$qemu" 2>/dev/null || true
    wait "$qemu" 2>/dev/null || true
    echo "booted: $(tr -d '\r' < "$work/serial.txt")"
    exit 0
  fi
  sleep 0.1
done
kill "$qemu" 2>/dev/null || true
echo "the disc did not print its line; serial output:"
cat "$work/serial.txt" 2>/dev/null || true
exit 1
