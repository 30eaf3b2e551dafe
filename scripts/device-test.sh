#!/usr/bin/env bash
# Device tests: the engine, Tarnfold and the program against a real Linux kernel and a recorder
# written by someone else. A small guest (Debian's kernel, busybox, the tools and the project's
# programs in its initial RAM disk) runs under qemu-system-x86_64 with the source tree shared at
# its own path; each part boots it with the drives it needs, and the guest's checks come back on
# its serial console. Run as root (it installs packages, starts tgtd and uses loop devices).
#   scripts/device-test.sh                 every part
#   scripts/device-test.sh --ci            the short subset CI runs
#   scripts/device-test.sh PART...         the named parts: filesystems optical recorder usb unit
#   --no-setup                             install no packages
#   BUILD_DIR=...                          build folder (default: build)
set -uo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=$root/${BUILD_DIR:-build}
work=$build/device
short=0
setup=1
parts=()
for arg in "$@"; do
  case "$arg" in
    --ci) short=1 parts=(filesystems optical recorder usb) ;;
    --no-setup) setup=0 ;;
    filesystems | optical | recorder | usb | unit) parts+=("$arg") ;;
    -h | --help) sed -n '2,12p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "device-test: unknown argument '$arg'" >&2; exit 2 ;;
  esac
done
[ ${#parts[@]} -gt 0 ] || parts=(filesystems optical recorder usb unit)
started=$SECONDS

# The guest's kernel and tools, and the recorder. Installed only when missing.
packages="linux-image-amd64 busybox-static dash tgt qemu-system-x86 qemu-block-extra sg3-utils cpio
  util-linux fdisk findutils coreutils diffutils dosfstools mtools ntfs-3g"
if [ $setup -eq 1 ]; then
  missing=()
  for p in $packages; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
  done
  if [ ${#missing[@]} -gt 0 ]; then
    echo "== installing ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    # The guest boots with its own RAM disk: the host needs none made for the new kernel.
    export INITRD=No
    apt-get update -qq && apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null ||
      { echo "device-test: installing ${missing[*]} failed" >&2; exit 1; }
  fi
fi

echo "== building"
[ -f "$build/build.ninja" ] || cmake -S . -B "$build" -G Ninja >/dev/null || exit 1
targets=(quillden_cli quenvar_create tarnfold tarnfold_call sample_recovery_area)
if [[ " ${parts[*]} " == *" unit "* ]]; then
  targets+=(sg_io_transport_test tarnfold_loop_test usb_volume_test usb_media_test drivewrite_test)
fi
cmake --build "$build" --target "${targets[@]}" >"$build/device-build.log" 2>&1 ||
  { tail -n 30 "$build/device-build.log"; echo "device-test: the build failed" >&2; exit 1; }

kernel=$(ls -1 /boot/vmlinuz-* 2>/dev/null | sort -V | tail -n 1)
kver=${kernel#/boot/vmlinuz-}
[ -n "$kernel" ] && [ -d "/lib/modules/$kver" ] || { echo "device-test: no guest kernel in /boot" >&2; exit 1; }
mkdir -p "$work"
initrd=$work/initramfs.cpio
# Made again only when the kernel, the guest's files or the project's programs changed.
unit_programs=()
if [[ " ${parts[*]} " == *" unit "* ]]; then
  unit_programs=("$build/bin/sg_io_transport_test" "$build/bin/tarnfold_loop_test" \
    "$build/bin/usb_volume_test" "$build/bin/usb_media_test")
fi
echo "== guest: kernel $kver, initial RAM disk $initrd"
if [ ! -s "$initrd" ] || [ ${#unit_programs[@]} -gt 0 ] ||
  [ -n "$(find "$kernel" tests/device/init tests/device/make-initramfs.sh "$build/bin" "$build/lib" \
    -newer "$initrd" -print -quit 2>/dev/null)" ]; then
  bash tests/device/make-initramfs.sh "$kver" "$build" "$initrd.new" "${unit_programs[@]}" &&
    mv "$initrd.new" "$initrd" || exit 1
fi

. tests/device/host-lib.sh
for part in "${parts[@]}"; do
  . "tests/device/$part.sh"
  timed "$part" "run_$part"
done

echo "== times"
for line in "${part_times[@]}"; do echo "time: $line"; done
echo "time: all $((SECONDS - started)) s"
if [ ${#known_defects[@]} -gt 0 ]; then
  echo "== known defects of the program (reported, not failing this run)"
  printf '  %s\n' "${known_defects[@]}"
fi
if [ ${#stalls[@]} -gt 0 ]; then
  echo "== stalls of the emulated hardware (the guest was booted once more)"
  printf '  %s\n' "${stalls[@]}"
fi
echo "device: $total_passed passed, $total_failed failed"
[ $total_failed -eq 0 ] && [ $total_passed -gt 0 ]
