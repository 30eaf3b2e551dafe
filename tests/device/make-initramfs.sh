#!/usr/bin/env bash
# Builds the guest's initial RAM disk: busybox, dash as /bin/sh, the kernel modules the device tests
# load (with a modules.dep trimmed to them), the tools the guest scripts call with their shared
# libraries, and the project's programs and libraries.
#   make-initramfs.sh KERNEL_VERSION BUILD_DIR OUTPUT.cpio [PROGRAM...]
# The system libraries of each PROGRAM (test programs the guest starts from the shared build
# folder) come along too.
set -euo pipefail
kver=$1 build=$2 out=$3
shift 3
moddir=/lib/modules/$kver
here=$(cd "$(dirname "$0")" && pwd)
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT

mkdir -p "$stage"/{bin,sbin,usr/bin,usr/sbin,lib,lib64,etc,proc,sys,dev,tmp,var/tmp,run,mnt,root,opt/quenvar/bin,opt/quenvar/lib}

# Every applet of the static busybox first; the real tools copied below replace some of them.
cp /bin/busybox "$stage/bin/busybox"
for applet in $(/bin/busybox --list); do
  [ -e "$stage/bin/$applet" ] || ln -s busybox "$stage/bin/$applet"
done

# The system libraries a dynamic program needs (the build's own come separately).
copy_libraries() {
  ldd "$1" 2>/dev/null | grep -o '/[^ ]*' | while read -r lib; do
    [ -e "$stage$lib" ] && continue
    case "$lib" in "$build"/*) continue ;; esac
    mkdir -p "$stage$(dirname "$lib")"
    cp -L "$lib" "$stage$lib"
  done
}

# Copies an executable to TARGET, with its libraries.
copy_with_libraries() {
  local file=$1 target=$2
  mkdir -p "$stage$(dirname "$target")"
  rm -f "$stage$target"
  cp -L "$file" "$stage$target"
  copy_libraries "$file"
}

# Real tools: util-linux, the formatters and file system drivers Tarnfold and the USB flow start,
# and the GNU tools whose options the guest scripts use.
tools="dash mount umount losetup sfdisk blkid partx blockdev wipefs lsblk
  mkfs.ext4 mkfs.vfat fsck.vfat fatlabel mkntfs mkfs.ntfs ntfs-3g ntfslabel ntfsinfo mtools mcopy mdir mlabel
  find sort stat cmp sha256sum timeout sg_inq sg_turs sg_start"
for tool in $tools; do
  path=$(PATH=/usr/sbin:/usr/bin:/sbin:/bin command -v "$tool" || true)
  [ -n "$path" ] || { echo "make-initramfs: $tool is missing on this machine" >&2; exit 1; }
  # mtools picks its command from the name it is started under.
  if [ "$tool" != mtools ] && [ "$(readlink -f "$path")" = "$(readlink -f "$(command -v mtools)")" ]; then
    ln -sf mtools "$stage/usr/bin/$tool"
    continue
  fi
  copy_with_libraries "$(readlink -f "$path")" "$path"
  # The busybox applet of the same name must not shadow the real tool.
  rm -f "$stage/bin/$tool" "$stage/sbin/$tool"
  [ "$path" = "/bin/$tool" ] || [ "$path" = "/sbin/$tool" ] || ln -sf "$path" "$stage/bin/$tool"
done
ln -sf /usr/bin/dash "$stage/bin/sh"
# The UTF-8 locale and iconv's converters: the formatters turn labels into the volume's code page,
# the engine turns names into the system code page.
mkdir -p "$stage/usr/lib/locale" "$stage/usr/lib/x86_64-linux-gnu"
cp -a /usr/lib/locale/C.utf8 "$stage/usr/lib/locale/"
cp -a /usr/lib/x86_64-linux-gnu/gconv "$stage/usr/lib/x86_64-linux-gnu/"

# The project's programs and libraries.
for program in quillden quenvar-create tarnfold_call; do
  if [ -x "$build/bin/$program" ]; then
    copy_with_libraries "$build/bin/$program" "/opt/quenvar/bin/$program"
  else
    echo "make-initramfs: $build/bin/$program is not built; the guest goes without it" >&2
  fi
done
find "$build" -maxdepth 3 -name '*.so*' -path '*/lib/*' -exec cp -P {} "$stage/opt/quenvar/lib/" \;
find "$build" -maxdepth 2 -name 'lib*.so*' ! -path '*/lib/*' -exec cp -P {} "$stage/opt/quenvar/lib/" \;
for test_program in "$@"; do
  copy_libraries "$test_program"
done

# Kernel modules with every module they depend on, and a modules.dep naming only those.
wanted="virtio_pci virtio_blk virtio_scsi 9pnet_virtio 9p loop isofs udf cdrom sr_mod sg sd_mod
  ata_piix ahci xhci_pci usb_storage uas vfat nls_cp437 nls_ascii nls_iso8859_1 nls_utf8 fuse ext4 crc32c_generic"
declare -A chosen=()
add_module() {
  # Module names treat "-" and "_" alike; file names use either.
  local name=${1//-/_} line file pattern
  [ -n "${chosen[$name]:-}" ] && return 0
  pattern=${name//_/[-_]}
  line=$(grep -E "(^|/)$pattern\.ko(\.[a-z]+)?:" "$moddir/modules.dep" | head -n1 || true)
  if [ -z "$line" ]; then
    grep -qE "/$pattern\.ko" "$moddir/modules.builtin" && return 0
    echo "make-initramfs: no module $name in $moddir" >&2
    exit 1
  fi
  chosen[$name]=$line
  for file in ${line#*:}; do
    local dep=${file##*/}
    add_module "${dep%%.ko*}"
  done
}
for module in $wanted; do add_module "$module"; done
mkdir -p "$stage$moddir"
: > "$stage$moddir/modules.dep"
for name in "${!chosen[@]}"; do
  line=${chosen[$name]}
  file=${line%%:*}
  mkdir -p "$stage$moddir/$(dirname "$file")"
  cp "$moddir/$file" "$stage$moddir/$file"
  echo "$line" >> "$stage$moddir/modules.dep"
done
echo "$wanted" | tr -s ' \n' '\n\n' | sed '/^$/d' > "$stage/etc/modules"

cp "$here/init" "$stage/init"
chmod 755 "$stage/init"
echo "root:x:0:0:root:/root:/bin/sh" > "$stage/etc/passwd"
echo "root:x:0:" > "$stage/etc/group"
( cd "$stage" && find . | LC_ALL=C sort | cpio -o -H newc --quiet ) > "$out"
