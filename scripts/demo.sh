#!/usr/bin/env bash
# Builds everything, then runs the main job on the embedded sample recovery area with a virtual
# recorder (no hardware needed): the sample's bootable recovery disc 1 is mastered from its file
# sets and boot program, recorded on a virtual DVD+R through the engine's MMC pipeline, read back
# through the engine, and, when qemu is installed, started in an emulated PC from the recorded disc.
#   BUILD_DIR=...  build folder (default: build)
set -euo pipefail
cd "$(dirname "$0")/.."
build="${BUILD_DIR:-build}"
cmake -S . -B "$build" -G Ninja
cmake --build "$build"

quillden="$PWD/$build/bin/quillden"
root="$PWD/$build/samples/recovery"
work="$PWD/$build/demo"
rm -rf "$work" && mkdir -p "$work"
export QUENVAR_DRIVES="V=virtual:dvd+r:$work/recorder.disc"

echo "== The drives (a virtual DVD+R recorder as V:)"
"$quillden" drives

echo "== Mastering recovery disc 1 of the sample: its file sets and its boot program"
"$quillden" mkiso -q -V QV_RECOVERY_1 -b "$root/area/boot/boot_program.bin" -no-emul-boot \
  -boot-load-size 4 --graft IMAGE="$root/area/image" --graft TOOLS/="$root/area/tools/README.TXT" \
  --graft TOOLS/="$root/area/tools/restore.cfg" -o "$work/disc1.iso"

echo "== Recording it on the virtual DVD+R"
"$quillden" burn V: -q "$work/disc1.iso"
"$quillden" media V:

echo "== The disc read back through the engine"
"$quillden" ls V:
"$quillden" ls V: IMAGE
"$quillden" cat V: 'TOOLS\README.TXT' | head -n 3
cmp <("$quillden" cat V: 'IMAGE\factory.img.001') "$root/area/image/factory.img.001" &&
  echo "IMAGE\\factory.img.001 matches its source"

if command -v qemu-system-x86_64 >/dev/null; then
  echo "== Starting an emulated PC from the recorded disc"
  timeout 20 qemu-system-x86_64 -cdrom "$work/recorder.disc" -boot d -display none -nodefaults \
    -serial "file:$work/serial.txt" -no-reboot -m 64 2>/dev/null &
  qemu=$!
  for _ in $(seq 1 150); do
    grep -q "Quenvar recovery disc" "$work/serial.txt" 2>/dev/null && break
    sleep 0.1
  done
  kill "$qemu" 2>/dev/null || true
  wait "$qemu" 2>/dev/null || true
  echo "serial port: $(tr -d '\r' < "$work/serial.txt")"
fi
