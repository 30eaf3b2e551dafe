# Sourced by scripts/device-test.sh: starting the guest and reading its verdict, and the host's own
# checks. Expects: root (the source tree, shared into the guest at the same path), build, work,
# kernel, initrd.
total_passed=0
total_failed=0
known_defects=()
part_times=()
stalls=()

host_pass() {
  total_passed=$((total_passed + 1))
  echo "ok - $1"
}

host_fail() {
  total_failed=$((total_failed + 1))
  echo "not ok - $1"
}

# host_check NAME COMMAND...: a check run on the host.
host_check() {
  local name=$1
  shift
  if "$@" >"$work/host-check.out" 2>&1; then
    host_pass "$name"
  else
    host_fail "$name"
    tail -n 30 "$work/host-check.out" | sed 's/^/    /'
  fi
}

# host_known_defect NAME COMMAND...: a host check that a known defect of the program fails today;
# its failure is reported apart and does not fail the run.
host_known_defect() {
  local name=$1
  shift
  if "$@" >"$work/host-check.out" 2>&1; then
    host_pass "$name (the known defect is no longer seen)"
  else
    known_defects+=("host: $name")
    echo "known defect - $name"
  fi
}

# guest_once LOG SECONDS SCRIPT ARGS [QEMU OPTIONS...]: one boot of the guest. Returns 0 when
# qemu ended, 1 when it ran out of time, 2 when its serial console stayed silent for 180 s (a stall
# of the emulated hardware, seen now and then with USB under software emulation).
guest_once() {
  local log=$1 seconds=$2 script=$3 args=$4
  shift 4
  rm -f "$log"
  qemu-system-x86_64 -nodefaults -display none -no-reboot \
    -m 1536 -smp 1 -kernel "$kernel" -initrd "$initrd" \
    -append "console=ttyS0 panic=-1 loglevel=${QV_GUEST_LOGLEVEL:-3} qv.share=$root qv.test=$script qv.args=$args" \
    -serial "file:$log" \
    -virtfs "local,path=$root,mount_tag=qvshare,security_model=passthrough,id=qvshare" \
    "$@" >"$log.qemu" 2>&1 &
  local qemu=$! started=$SECONDS size=-1 quiet_since=$SECONDS now status=0
  while kill -0 $qemu 2>/dev/null; do
    sleep 2
    now=$(stat -c %s "$log" 2>/dev/null || echo 0)
    [ "$now" != "$size" ] && size=$now quiet_since=$SECONDS
    if [ $((SECONDS - started)) -ge "$seconds" ]; then
      status=1
    elif [ $((SECONDS - quiet_since)) -ge 180 ]; then
      status=2
    else
      continue
    fi
    kill $qemu 2>/dev/null
    sleep 2
    kill -9 $qemu 2>/dev/null
    break
  done
  wait $qemu 2>/dev/null
  return $status
}

# run_guest NAME SECONDS SCRIPT ARGS [QEMU OPTIONS...]: boots the guest, which runs SCRIPT (a path
# below the source tree) with ARGS (words separated by commas, no blanks) and powers off. Its
# checks are added to the totals; a guest that does not report within SECONDS is a failure. A
# guest whose console stalls is booted once more, and the stall is reported.
run_guest() {
  local name=$1
  local log="$work/$name.serial"
  local started=$SECONDS status
  guest_once "$log" "${@:2}"
  status=$?
  if [ $status -eq 2 ]; then
    stalls+=("$name: the guest's console stalled after: $(tr -d '\r' <"$log" | grep -v '^\[' | tail -n 1)")
    echo "guest $name stalled; booting it once more"
    declare -F guest_retry_hook >/dev/null && guest_retry_hook
    guest_once "$log" "${@:2}"
    status=$?
  fi
  tr -d '\r' <"$log" >"$log.txt" 2>/dev/null || : >"$log.txt"
  grep -E '^(ok|not ok|known defect) - |^    ' "$log.txt" || true
  local verdict
  verdict=$(grep -E '^QV-DEVICE-RESULT: ' "$log.txt" | tail -n 1)
  if [ -z "$verdict" ]; then
    host_fail "guest $name reported no result (status $status; serial log $log.txt)"
    tail -n 25 "$log.txt" | sed 's/^/    /'
    sed 's/^/    qemu: /' "$log.qemu" | tail -n 5
  else
    local p f k
    read -r p f k < <(echo "$verdict" | sed -E 's/.*: ([0-9]+) passed, ([0-9]+) failed, ([0-9]+) known.*/\1 \2 \3/')
    total_passed=$((total_passed + p))
    total_failed=$((total_failed + f))
    while IFS= read -r line; do known_defects+=("$name: ${line#known defect - }"); done \
      < <(grep '^known defect - ' "$log.txt")
    grep -q '^QV-DEVICE-END status=0' "$log.txt" || [ "$f" -gt 0 ] ||
      host_fail "guest $name: its script ended without success"
  fi
  echo "time: guest $name $((SECONDS - started)) s"
}

# timed PART COMMAND...: runs one part and notes how long it took.
timed() {
  local part=$1 started=$SECONDS
  shift
  echo "== $part"
  "$@"
  part_times+=("$part $((SECONDS - started)) s")
}

# boots_from_cd IMAGE TEXT: an emulated PC started from the CD image IMAGE prints TEXT on its serial
# port within 30 seconds.
boots_from_cd() {
  local image=$1 text=$2 log
  log=$(mktemp)
  timeout 30 qemu-system-x86_64 -nodefaults -display none -no-reboot -m 64 -cdrom "$image" -boot d \
    -serial "file:$log" >/dev/null 2>&1 &
  local qemu=$! found=1
  for _ in $(seq 1 300); do
    if grep -qF "$text" "$log" 2>/dev/null; then
      found=0
      break
    fi
    kill -0 $qemu 2>/dev/null || break
    sleep 0.1
  done
  kill $qemu 2>/dev/null || true
  wait $qemu 2>/dev/null || true
  [ $found -eq 0 ] || { echo "serial port: $(tr -d '\r' <"$log")"; rm -f "$log"; return 1; }
  rm -f "$log"
}

# make_awkward_tree DIR: names with blanks, accents, CJK, Greek and Cyrillic letters, symbols, a
# case pair, a leading dot, many dots, a 64-character name, deep folders, an empty folder, and
# sizes around the 2048-byte block.
make_awkward_tree() {
  local tree=$1
  rm -rf "$tree"
  mkdir -p "$tree"
  local n=0
  put() {
    mkdir -p "$(dirname "$tree/$1")"
    head -c "$2" /dev/urandom >"$tree/$1"
    n=$((n + 1))
  }
  put "plain.txt" 100
  put "name with  two blanks.txt" 1
  put "Ünïcödé façade.bin" 2047
  put "日本語のファイル名.dat" 2048
  put "Ελληνικά/Кириллица файл.txt" 2049
  put "Ελληνικά/한국어.txt" 4096
  put ".hidden" 5
  put "many.dots.in.one.name.tar.gz" 300
  put "Readme.txt" 10
  put "Mixed Case Folder/README.TXT" 11
  put "no_extension" 0
  put "symbols #&'()[]{}~!@\$%^=+,-.txt" 77
  put "a/b/c/d/e/f/g/deep file.txt" 7
  put "0123456789012345678901234567890123456789012345678901234567890123" 64
  put "big/random.bin" 3145728
  put "big/odd size.bin" 1000001
  put "Mixed Case Folder/ÄÖÜ äöü ß.txt" 12
  mkdir -p "$tree/empty folder"
}

# write_listings DIR: DIR/listing.txt (folders, and files with their sizes) and DIR/hashes.txt
# (SHA-256 of every file) of DIR/tree, in the form the guest's listing and hashes give.
write_listings() {
  (cd "$1/tree" && find . -mindepth 1 \( -type d -printf 'd %p\n' \) -o \
    \( -type f -printf 'f %s %p\n' \) | LC_ALL=C sort) >"$1/listing.txt"
  (cd "$1/tree" && find . -type f -exec sha256sum {} + | LC_ALL=C sort -k 2) >"$1/hashes.txt"
}
