# Boots an emulated PC from a medium and waits for a boot program's line on its first serial
# port. Sourced by the boot tests; the caller sets work (a folder for the serial logs and firmware
# variables) and defines fail MESSAGE.
#   boot NAME FIRMWARE(bios|uefi) QEMU-MEDIA-ARGS...
# waits at most 300 s (software emulation is slow on a busy machine) and prints the time the boot
# took; with expected=TEXT in its environment it waits for TEXT instead. Without OVMF (Debian
# package ovmf) UEFI boots are left out with a note.
ovmf_code=/usr/share/OVMF/OVMF_CODE.fd
line="Quenvar recovery disc"
boot() {
  local name="$1" firmware="$2" line="${expected:-$line}"
  shift 2
  local serial="$work/$name.serial" firmware_args=()
  if [[ "$firmware" == uefi ]]; then
    if [[ ! -r "$ovmf_code" ]]; then
      echo "note: $ovmf_code is missing (Debian package ovmf); $name is left out"
      return 0
    fi
    cp /usr/share/OVMF/OVMF_VARS.fd "$work/$name.vars"
    firmware_args=(-machine q35 -drive "if=pflash,format=raw,readonly=on,file=$ovmf_code"
                   -drive "if=pflash,format=raw,file=$work/$name.vars")
  fi
  local start
  start=$(date +%s%N)
  timeout 300 qemu-system-x86_64 "${firmware_args[@]}" "$@" -display none -nodefaults \
    -serial "file:$serial" -no-reboot -m 256 &
  local qemu=$!
  for _ in $(seq 1 3000); do
    if grep -q "$line" "$serial" 2>/dev/null; then
      kill "$qemu" 2>/dev/null || true
      wait "$qemu" 2>/dev/null || true
      echo "booted $name: $(( ($(date +%s%N) - start) / 1000000 )) ms"
      return 0
    fi
    kill -0 "$qemu" 2>/dev/null || break
    sleep 0.1
  done
  kill "$qemu" 2>/dev/null || true
  wait "$qemu" 2>/dev/null || true
  fail "$name did not print its line; serial output: $(tr -d '\r' < "$serial" 2>/dev/null | tail -5)"
}
