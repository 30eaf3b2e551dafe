# The engine over SG_IO through the guest kernel's sr driver on QEMU's read-only CD drives: an IDE
# drive (ide-cd) and a SCSI drive (scsi-cd on virtio-scsi) holding a data disc, and an empty IDE
# drive. Host side: the data disc image.

prepare_optical() {
  optical=$work/optical
  rm -rf "$optical"
  mkdir -p "$optical"
  make_awkward_tree "$optical/tree"
  write_listings "$optical"
  host_check "mkiso writes the data disc for the read-only drives" "$build/bin/quillden" mkiso -q \
    --fs iso+udf -V DEVTEST_ROM -o "$optical/disc.iso" "$optical/tree"
}

run_optical() {
  prepare_optical
  run_guest optical 900 "$root/tests/device/optical-guest.sh" "$optical,$short" \
    -drive "if=none,id=idecd,media=cdrom,readonly=on,format=raw,file=$optical/disc.iso" \
    -device ide-cd,drive=idecd,bus=ide.1,unit=0 \
    -drive if=none,id=emptycd,media=cdrom \
    -device ide-cd,drive=emptycd,bus=ide.1,unit=1 \
    -device virtio-scsi-pci,id=scsi0 \
    -drive "if=none,id=scsicd,media=cdrom,readonly=on,format=raw,file=$optical/disc.iso" \
    -device scsi-cd,drive=scsicd,bus=scsi0.0
}
