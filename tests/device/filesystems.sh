# The guest kernel's iso9660 and udf drivers read every file system selection that `quillden mkiso`
# writes: a boot image and a tree of awkward names, contents and names compared with the source.
# Host side: makes the tree, its listings and the images; boots each image with a boot image.

prepare_filesystems() {
  local out=$work/filesystems
  rm -rf "$out"
  mkdir -p "$out"
  make_awkward_tree "$out/tree"
  write_listings "$out"
  local boot=$build/samples/recovery/area/boot/boot_program.bin
  : >"$out/images.txt"
  local selection label kinds
  refuses_boot_image() {
    ! "$build/bin/quillden" mkiso -q --fs "$1" -b "$boot" -no-emul-boot -o "$out/refused.iso" \
      "$out/tree" 2>/dev/null && [ ! -e "$out/refused.iso" ]
  }
  while read -r selection label kinds; do
    case "$selection" in
      udf | udf250)
        # El Torito needs ISO 9660: a boot image with UDF alone is refused, not dropped.
        host_check "mkiso --fs $selection refuses a boot image, writing nothing" \
          refuses_boot_image "$selection"
        host_check "mkiso --fs $selection writes the tree" \
          "$build/bin/quillden" mkiso -q --fs "$selection" -V "$label" -o "$out/$selection.iso" \
          "$out/tree"
        ;;
      *)
        host_check "mkiso --fs $selection writes the tree with a boot image" \
          "$build/bin/quillden" mkiso -q --fs "$selection" -V "$label" -b "$boot" -no-emul-boot \
          -boot-load-size 4 -o "$out/$selection.iso" "$out/tree"
        ;;
    esac
    echo "$selection $label $kinds" >>"$out/images.txt"
  done <<'LIST'
iso DEVTEST_ISO iso
iso+udf DEVTEST_BRIDGE iso,udf
iso+udf250 DEVTEST_BRIDGE250 iso,udf
udf DEVTEST_UDF udf
udf250 DEVTEST_UDF250 udf
LIST
}

boot_filesystems() {
  local selection label kinds
  while read -r selection label kinds; do
    [ -s "$work/filesystems/$selection.iso" ] || continue
    case "$selection" in
      udf | udf250) ;;  # no boot image: refused above
      *)
        host_check "an emulated PC starts from the --fs $selection image" \
          boots_from_cd "$work/filesystems/$selection.iso" "Quenvar recovery disc"
        ;;
    esac
  done <"$work/filesystems/images.txt"
}

run_filesystems() {
  prepare_filesystems
  run_guest filesystems 600 "$root/tests/device/filesystems-guest.sh" "$work/filesystems"
  boot_filesystems
}
