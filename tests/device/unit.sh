# The project's drive and USB unit tests that skip on a host without optical drives or the
# kernel's vfat, run in the guest with a CD drive, loop devices, vfat and ntfs-3g.
unit_tests="sg_io_transport_test tarnfold_loop_test usb_volume_test usb_media_test"

run_unit() {
  local out=$work/unit
  rm -rf "$out"
  mkdir -p "$out"
  host_check "mkiso writes a disc for the guest's CD drive" "$build/bin/quillden" mkiso -q \
    -V DEVTEST_UNIT -o "$out/disc.iso" "$build/samples/recovery/area/tools"
  run_guest unit 1500 "$root/tests/device/unit-guest.sh" "$out,$build,${unit_tests// /,}" \
    -drive "if=none,id=cd,media=cdrom,readonly=on,format=raw,file=$out/disc.iso" \
    -device ide-cd,drive=cd,bus=ide.1,unit=0
}
