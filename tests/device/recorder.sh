# The engine recording on tgt's emulated MMC DVD+R recorder, which the guest reaches through
# QEMU's iSCSI initiator as a SCSI pass-through device: the guest's sr driver and SG_IO lie between
# the engine and a recorder we did not write. Host side: tgtd, the tray robot that puts blank discs
# in at the guest's request, and the checks of the recorded discs on the host.

tgt_port=13260
tgt_control=13
tgt_iqn=iqn.2026-12.test.quenvar:recorder

tgt() { tgtadm -C $tgt_control --lld iscsi "$@"; }

# tgt_load FILE: puts the disc FILE into the recorder (an empty file is a blank DVD+R).
tgt_load() {
  tgt --op update --mode logicalunit --tid 1 --lun 1 --params online=0 &&
    tgt --op update --mode logicalunit --tid 1 --lun 1 --params "path=$1"
  echo "$1" >"$rec/tray/current"
}

tgt_start() {
  rec=$work/recorder
  rm -rf "$rec"
  mkdir -p "$rec/tray"
  tgtd -f -C $tgt_control --iscsi "portal=127.0.0.1:$tgt_port" >"$rec/tgtd.log" 2>&1 &
  tgtd_pid=$!
  for _ in $(seq 1 50); do
    tgtadm -C $tgt_control --op show --mode system >/dev/null 2>&1 && break
    sleep 0.1
  done
  : >"$rec/disc-0.img"
  tgt --op new --mode target --tid 1 -T $tgt_iqn &&
    tgt --op new --mode logicalunit --tid 1 --lun 1 --device-type cd -b "$rec/disc-0.img" &&
    tgt --op update --mode logicalunit --tid 1 --lun 1 \
      --params vendor_id=DEVTEST,product_id=TGT_DVD_RW,product_rev=0001,removable=1 &&
    tgt --op bind --mode target --tid 1 -I ALL
  local status=$?
  echo "$rec/disc-0.img" >"$rec/tray/current"
  return $status
}

# tgtd stops only after its target is offline and deleted with --force.
tgt_stop() {
  tgt --op update --mode target --tid 1 -n state -v offline >/dev/null 2>&1
  tgt --op delete --force --mode target --tid 1 >/dev/null 2>&1
  tgtadm -C $tgt_control --op delete --mode system >/dev/null 2>&1
  for _ in $(seq 1 50); do
    kill -0 "$tgtd_pid" 2>/dev/null || break
    sleep 0.1
  done
  kill "$tgtd_pid" 2>/dev/null || true
  wait "$tgtd_pid" 2>/dev/null || true
}

# The tray robot: the guest writes request-N ("blank", "reload" or "load FILE") into the tray
# folder; the robot changes the disc ("reload" puts the same file in again) and answers done-N with
# the file now in the tray. While the file "autoload" exists, a disc the recorder ejected is
# replaced by a blank one, as a user answering the program's prompt would; the files loaded so
# are listed in "autoloaded".
tray_robot() {
  local n verb argument disc request
  while [ -e "$rec/tray/running" ]; do
    if [ -e "$rec/tray/autoload" ] &&
      tgt --op show --mode target 2>/dev/null | grep -q 'Online: No'; then
      disc=$rec/auto-$(date +%s%N).img
      : >"$disc"
      tgt_load "$disc" && echo "$disc" >>"$rec/tray/autoloaded"
    fi
    for request in "$rec"/tray/request-*; do
      [ -f "$request" ] || continue
      n=${request##*-}
      [ -e "$rec/tray/done-$n" ] && continue
      read -r verb argument <"$request"
      case "$verb" in
        blank) disc=$rec/disc-$n.img && : >"$disc" ;;
        reload) disc=$(cat "$rec/tray/current") ;;
        load) disc=$argument ;;
        *) disc= ;;
      esac
      [ -n "$disc" ] && tgt_load "$disc"
      echo "$disc" >"$rec/tray/done-$n"
    done
    sleep 0.2
  done
}

prepare_recorder() {
  local out=$rec
  make_awkward_tree "$out/tree"
  write_listings "$out"
  mkdir -p "$out/tools"
  ln -s "$build/samples/recovery/area/tools" "$out/tools/tree"
  write_listings "$out/tools"
  host_check "mkiso writes the bootable image to record" "$build/bin/quillden" mkiso -q -V DEVTEST_IMAGE \
    -b "$build/samples/recovery/area/boot/boot_program.bin" -no-emul-boot -boot-load-size 4 \
    -o "$out/bootable.iso" "$out/tree"
  host_check "mkiso writes a disc image file to record" "$build/bin/quillden" mkiso -q --disc-image \
    -V DEVTEST_WVM -o "$out/disc.wvm" "$build/samples/recovery/area/tools"
}

run_recorder() {
  if ! command -v tgtd >/dev/null || ! tgt_start; then
    host_fail "tgtd starts with an emulated DVD+R recorder"
    tgt_stop
    return
  fi
  prepare_recorder
  touch "$rec/tray/running"
  # A guest booted again after a stall numbers its requests from 1 again.
  guest_retry_hook() { rm -f "$rec"/tray/request-* "$rec"/tray/done-*; }
  tray_robot &
  local robot=$!
  run_guest recorder 1500 "$root/tests/device/recorder-guest.sh" "$rec,$short,$build" \
    -device virtio-scsi-pci,id=scsi0 \
    -drive "if=none,id=recorder,format=raw,file=iscsi://127.0.0.1:$tgt_port/$tgt_iqn/1" \
    -device scsi-generic,drive=recorder,bus=scsi0.0
  rm -f "$rec/tray/running"
  wait $robot 2>/dev/null
  tgt_stop
  # The guest names the disc files it recorded; the host checks them with its own tools.
  if [ "$short" != 1 ]; then
    local first
    first=$(cat "$rec/sample-disc-1.txt" 2>/dev/null)
    host_check "an emulated PC starts from the sample's first disc that quenvar-create recorded" \
      boots_from_cd "$first" "Quenvar recovery disc"
  fi
  if [ -s "$rec/booted-disc.txt" ]; then
    host_check "an emulated PC starts from the recorded bootable disc" \
      boots_from_cd "$(cat "$rec/booted-disc.txt")" "Quenvar recovery disc"
  else
    host_fail "the guest recorded no bootable disc"
  fi
}
