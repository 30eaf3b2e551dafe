#!/bin/sh
# Guest side of the file system mounts: every image of images.txt mounted by the kernel's iso9660
# driver (Joliet names, then the plain ISO 9660 names) and udf driver, compared with the source.
#   filesystems-guest.sh DIR   (DIR holds images.txt, listing.txt, hashes.txt and the images)
. "$(dirname "$0")/guest-lib.sh"
dir=$1
mnt=/mnt/image
mkdir -p $mnt

# The names and contents of the mounted tree are the source's.
matches_source() {
  listing $mnt >/tmp/listing.txt
  hashes $mnt >/tmp/hashes.txt
  same_files "$dir/listing.txt" /tmp/listing.txt && same_files "$dir/hashes.txt" /tmp/hashes.txt
}

# Plain ISO 9660 names: as many files and folders, the same contents, and names the driver shows
# in its lower-case form of d-characters.
plain_names_hold_the_tree() {
  hashes $mnt | cut -d' ' -f1 | LC_ALL=C sort >/tmp/plain-hashes.txt
  cut -d' ' -f1 "$dir/hashes.txt" | LC_ALL=C sort >/tmp/source-hashes.txt
  same_files /tmp/source-hashes.txt /tmp/plain-hashes.txt || return 1
  [ "$(find $mnt -mindepth 1 -type d | wc -l)" = "$(grep -c '^d ' "$dir/listing.txt")" ] ||
    { echo "folder count differs"; return 1; }
  bad=$(cd $mnt && find . -mindepth 1 | sed 's|.*/||' | grep -v '^[a-z0-9_.]*$' || true)
  [ -z "$bad" ] || { echo "names outside d-characters: $bad"; return 1; }
}

mount_iso_joliet() { mount -t iso9660 -o ro,loop,iocharset=utf8 "$1" $mnt; }
mount_iso_plain() { mount -t iso9660 -o ro,loop,nojoliet,norock "$1" $mnt; }
mount_udf() { mount -t udf -o ro,loop,iocharset=utf8 "$1" $mnt; }
label_is() { seen=$(blkid -o value -s LABEL "$1"); [ "$seen" = "$2" ] || { echo "label '$seen'"; return 1; }; }

while read -r selection label kinds; do
  image="$dir/$selection.iso"
  check "$selection: blkid reads the label $label" label_is "$image" "$label"
  case ",$kinds," in *,iso,*)
    if check "$selection: iso9660 mounts with Joliet" mount_iso_joliet "$image"; then
      check "$selection: Joliet names and contents match the source" matches_source
      umount $mnt
    fi
    if check "$selection: iso9660 mounts without Joliet" mount_iso_plain "$image"; then
      check "$selection: the ISO 9660 level holds every file and folder" plain_names_hold_the_tree
      umount $mnt
    fi
    ;;
  esac
  case ",$kinds," in *,udf,*)
    if check "$selection: udf mounts" mount_udf "$image"; then
      check "$selection: UDF names and contents match the source" matches_source
      umount $mnt
    fi
    ;;
  esac
done <"$dir/images.txt"
report
