#!/usr/bin/env bash
# Builds everything, then runs the main job on the embedded sample recovery area with a virtual
# recorder (no hardware needed): quenvar-create, the program's creation workflow without windows,
# creates the sample's two bootable recovery DVDs on a virtual DVD+R (mastered from the file sets
# and the boot program, recorded through the engine's MMC pipeline, verified against their sources,
# ejected, and recorded as created); the discs are listed through the engine's reader, and, when
# qemu is installed, an emulated PC starts from the recorded first disc.
#   BUILD_DIR=...  build folder (default: build)
set -euo pipefail
cd "$(dirname "$0")/.."
build="${BUILD_DIR:-build}"
cmake -S . -B "$build" -G Ninja
cmake --build "$build"

quillden="$PWD/$build/bin/quillden"
create="$PWD/$build/bin/quenvar-create"
root="$PWD/$build/samples/recovery"
work="$PWD/$build/demo"
rm -rf "$work" && mkdir -p "$work"
export QUENVAR_DRIVES="V=virtual:dvd+r:$work/recorder.disc"
# The record of created media goes to the demo folder, not to the user's configuration.
export QUENVAR_REGISTRY_ROOT="$work/registry"

echo "== The drives (a virtual DVD+R recorder as V:)"
"$quillden" drives

echo "== Creating the sample's recovery DVDs with quenvar-create (blank media loaded at each prompt)"
"$create" --drive V --set 1:1 --verify --blank dvd+r --keep "$work/media" "$root/Quenvar.ini"

echo "== What was created"
echo "-- disc 1 (saved from the recorder before disc 2 was inserted): $work/media/medium-1.img"
"$quillden" virtual load "$work/disc1.disc" "$work/media/medium-1.img" --kind dvd-rom >/dev/null
QUENVAR_DRIVES="R=virtual:dvd-rom:$work/disc1.disc" "$quillden" media R:
QUENVAR_DRIVES="R=virtual:dvd-rom:$work/disc1.disc" "$quillden" ls R:
QUENVAR_DRIVES="R=virtual:dvd-rom:$work/disc1.disc" "$quillden" ls R: IMAGE
cmp <(QUENVAR_DRIVES="R=virtual:dvd-rom:$work/disc1.disc" "$quillden" cat R: 'IMAGE\factory.img.001') \
  "$root/area/image/factory.img.001" && echo "IMAGE\\factory.img.001 matches its source"
echo "-- disc 2 (still in the recorder)"
"$quillden" virtual close "$work/recorder.disc" >/dev/null
"$quillden" media V:
"$quillden" ls V: IMAGE

if command -v qemu-system-x86_64 >/dev/null; then
  echo "== Starting an emulated PC from the recorded first disc"
  timeout 20 qemu-system-x86_64 -cdrom "$work/media/medium-1.img" -boot d -display none -nodefaults \
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
