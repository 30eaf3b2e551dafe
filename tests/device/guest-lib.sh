# Sourced by the guest's test scripts (dash): checks, their tally, and the verdict line the host
# reads from the serial console.
passed=0
failed=0
known=0
check_output=/tmp/check.out

# check NAME COMMAND...: the check passes when COMMAND exits 0; its output is shown when it fails.
check() {
  name=$1
  shift
  if "$@" >"$check_output" 2>&1; then
    passed=$((passed + 1))
    echo "ok - $name"
    return 0
  fi
  failed=$((failed + 1))
  echo "not ok - $name"
  tail -n 40 "$check_output" | sed 's/^/    /'
  return 1
}

# known_defect NAME COMMAND...: a check that a known defect of the program fails today. A failure
# is reported apart and does not fail the run; a pass counts as a pass and says the defect is gone.
known_defect() {
  name=$1
  shift
  if "$@" >"$check_output" 2>&1; then
    passed=$((passed + 1))
    echo "ok - $name (the known defect is no longer seen)"
    return 0
  fi
  known=$((known + 1))
  echo "known defect - $name"
  tail -n 20 "$check_output" | sed 's/^/    /'
  return 1
}

# wait_for PATH SECONDS: waits until PATH exists.
wait_for() {
  i=0
  while [ ! -e "$1" ]; do
    i=$((i + 1))
    [ $i -gt $(($2 * 10)) ] && return 1
    sleep 0.1
  done
}

# same_files EXPECTED ACTUAL: two text files are equal; the difference is shown when not.
same_files() {
  cmp -s "$1" "$2" && return 0
  echo "expected ($1) / seen ($2):"
  diff "$1" "$2" | head -n 40
  return 1
}

# listing DIR: one line per entry below DIR, folders and files with their sizes, sorted by bytes.
listing() {
  (cd "$1" && find . -mindepth 1 \( -type d -printf 'd %p\n' \) -o \( -type f -printf 'f %s %p\n' \) |
    LC_ALL=C sort)
}

# hashes DIR: the SHA-256 and path of every file below DIR, sorted by path.
hashes() {
  (cd "$1" && find . -type f -exec sha256sum {} + | LC_ALL=C sort -k 2)
}

report() {
  echo "QV-DEVICE-RESULT: $passed passed, $failed failed, $known known defects"
  [ $failed -eq 0 ] && [ $passed -gt 0 ]
}
