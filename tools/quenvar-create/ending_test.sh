#!/usr/bin/env bash
# quenvar-create ends on every path, with the reason on its last line, and records nothing that was
# not created completely: a missing source, a path that leaves its folder, a medium that never fits,
# a refused prompt, a question that would repeat forever, and SIGTERM or SIGINT in every phase
# (adding files, writing, verifying, waiting at a prompt), each within 10 seconds. The quick verify
# mode is chosen from the command line and meets a byte changed inside and outside what it reads.
#   ending_test.sh QUENVAR_CREATE QUILLDEN WORK_DIR
set -uo pipefail
create=$1 quillden=$2 work=$3
rm -rf "$work" && mkdir -p "$work"
export QUENVAR_DRIVES="V=virtual:dvd+r:$work/dvd.disc;W=virtual:cd-r:$work/cd.disc"
export QUENVAR_REGISTRY_ROOT="$work/registry"
export LC_ALL=C LANG=C LANGUAGE=
fail() { echo "FAIL: $*"; exit 1; }
expect() { grep -qF -- "$1" "$2" || fail "'$1' missing from $2"; }
absent() { grep -qF -- "$1" "$2" && fail "'$1' found in $2"; return 0; }
last_line() { tail -n 1 "$1"; }

area=$work/area
mkdir -p "$area/files/sub" "$area/many"
printf 'alpha' > "$area/files/a.txt"
printf 'bravo' > "$area/files/sub/b.txt"
head -c 3000000 /dev/urandom > "$area/files/big.bin"
printf 'END-OF-BIG-FILE' >> "$area/files/big.bin"
for i in $(seq 1 3000); do printf '%d' "$i" > "$area/many/f$i.txt"; done

# write_config NAME FILESET-BODY: a top-level file NAME.ini with one DVD disc of that file set.
write_config() {
  cat > "$work/$1-contents.ini" <<EOF
[CONTENTS]
ContentsTitle=Test Media
ContentsID=TEST-01
[DISCSET01]
DiscSetTitle=Test Set $1
[DISC0101]
DiscTitle=Test Disc
DiscType=DVD
VolumeLabel=TEST
[FILESET010101]
$2
EOF
  printf '[VERIFYSETTINGS]\nVerify=No\n[CONTENTS01]\nIniPath=%s\n' "$work/$1-contents.ini" > "$work/$1.ini"
}

# run NAME ARGS...: runs quenvar-create on NAME.ini; stdout to NAME.out, stderr to NAME.err.
run() {
  local name=$1
  shift
  "$create" --drive V "$@" "$work/$name.ini" > "$work/$name.out" 2> "$work/$name.err"
  status=$?
  echo "== $name: exit $status; $(last_line "$work/$name.err")"
}

blank_dvd() { "$quillden" virtual create "$work/dvd.disc" "${1:-dvd+r}" > /dev/null || fail "blank"; }
still_blank() { "$quillden" virtual describe "$work/dvd.disc" | grep -q "status: blank" || fail "$1: the medium was touched"; }
not_recorded() {
  "$create" --list --drive V "$work/$1.ini" > "$work/$1.list" || fail "$1: --list"
  expect "[x] Test Media" "$work/$1.list"
}

# A listed file that does not exist: named, nothing written, nothing recorded.
write_config missing "SourcePath=$area/files
File0001=a.txt
File0002=does-not-exist.bin
File0003=sub"
blank_dvd
run missing --insert ok
[ $status -eq 1 ] || fail "missing: exit $status"
expect "$area/files/does-not-exist.bin" "$work/missing.out"
last_line "$work/missing.err" | grep -qF "does-not-exist.bin" || fail "missing: the last line does not name the file"
absent "completed successfully" "$work/missing.out"
absent "  -> " "$work/missing.out"  # no question was answered: no medium asked for
still_blank missing
not_recorded missing

# A target folder, and a listed name, that leave their folder.
for case in target name; do
  if [ $case = target ]; then body="SourcePath=$area/files
TargetPath=..\\up
File0001=a.txt"; entry='..\up'; else body="SourcePath=$area/files
File0001=../outside.txt"; entry='../outside.txt'; fi
  write_config "climb-$case" "$body"
  blank_dvd
  run "climb-$case"
  [ $status -eq 1 ] || fail "climb-$case: exit $status"
  last_line "$work/climb-$case.err" | grep -qF "leaves its folder" || fail "climb-$case: reason"
  last_line "$work/climb-$case.err" | grep -qF -- "$entry" || fail "climb-$case: the entry is not named"
  still_blank "climb-$case"
  not_recorded "climb-$case"
done

# A medium that never fits (a CD-R for a DVD, no --blank), and a refused prompt: few questions,
# the reason on the last line, nothing recorded.
write_config small "SourcePath=$area/files
File0001=a.txt"
blank_dvd cd-r
start=$(date +%s)
timeout 20 "$create" --drive V "$work/small.ini" > "$work/unfit.out" 2> "$work/unfit.err"
status=$?
echo "== unfit: exit $status; $(last_line "$work/unfit.err")"
[ $status -eq 1 ] || fail "unfit: exit $status"
[ "$(grep -c -- '-> ok' "$work/unfit.out")" -le 3 ] || fail "unfit: too many prompts answered"
last_line "$work/unfit.err" | grep -qE "same question|no usable medium" || fail "unfit: reason"
not_recorded small

blank_dvd
timeout 20 "$create" --drive V --insert cancel "$work/small.ini" > "$work/refused.out" 2> "$work/refused.err"
status=$?
echo "== refused: exit $status; $(last_line "$work/refused.err")"
[ $status -eq 1 ] || fail "refused: exit $status"
last_line "$work/refused.err" | grep -qF "answered with cancel" || fail "refused: reason"
[ "$(grep -c -- '-> cancel' "$work/refused.out")" -eq 1 ] || fail "refused: asked more than once"
still_blank refused
not_recorded small

# Giving up refused as well: the same prompt would come again with the same answer.
timeout 20 "$create" --drive V --insert cancel --confirm-cancel no "$work/small.ini" \
  > "$work/loop.out" 2> "$work/loop.err"
status=$?
echo "== loop: exit $status; $(last_line "$work/loop.err")"
[ $status -eq 1 ] || fail "loop: exit $status"
[ "$(grep -c -- '-> cancel' "$work/loop.out")" -le 2 ] || fail "loop: the prompt repeated"

# The medium is complete and the run succeeds without verifying; then the quick verify mode meets
# a byte changed after the disc was written, first inside the first 2048 bytes of a file, then
# outside them, and the full mode the latter.
write_config verify "SourcePath=$area/files
File0001=*"
blank_dvd
run verify --no-verify
[ $status -eq 0 ] || fail "verify: the plain run ended with $status"
expect "created 1 of 1 media" "$work/verify.out"

# flip_after_write NAME OFFSET ARGS...: runs quenvar-create and, once big.bin is on the medium,
# changes its source at OFFSET (the disc keeps the old byte).
flip_after_write() {
  local name=$1 offset=$2
  shift 2
  cp "$area/files/big.bin" "$work/big.orig"
  blank_dvd
  "$create" --drive V --set 1:1 "$@" "$work/verify.ini" > "$work/$name.out" 2> "$work/$name.err" &
  local pid=$! waited=0
  until grep -qaF 'END-OF-BIG-FILE' "$work/dvd.disc" 2> /dev/null; do
    sleep 0.05
    waited=$((waited + 1))
    [ $waited -lt 600 ] || { kill $pid; fail "$name: big.bin never reached the medium"; }
  done
  # The source is random: write 'Z' unless the byte is one already, so the change is never a no-op.
  local was new=Z
  was=$(dd if="$area/files/big.bin" bs=1 skip="$offset" count=1 status=none | od -An -c | tr -d ' ')
  [ "$was" = Z ] && new=Y
  printf '%s' "$new" | dd of="$area/files/big.bin" bs=1 seek="$offset" conv=notrunc status=none
  wait $pid
  status=$?
  cp "$work/big.orig" "$area/files/big.bin"
  echo "== $name: exit $status; $(last_line "$work/$name.err")"
}
flip_after_write quick-inside 100 --verify-mode quick
[ $status -eq 1 ] || fail "quick-inside: exit $status"
expect "Now verifying data" "$work/quick-inside.out"
expect "Differences were found" "$work/quick-inside.out"
flip_after_write quick-outside 2000000 --verify-mode quick
[ $status -eq 0 ] || fail "quick-outside: exit $status"
expect "Now verifying data" "$work/quick-outside.out"
flip_after_write full-outside 2000000 --verify-mode full
[ $status -eq 1 ] || fail "full-outside: exit $status"
expect "Differences were found" "$work/full-outside.out"
last_line "$work/full-outside.err" | grep -qF "big.bin" || fail "full-outside: reason"

# Signals in every phase: the run ends within 10 seconds, says so, records nothing and leaves the
# drive unlocked.
# interrupt NAME SIGNAL MARKER ARGS...: sends SIGNAL once MARKER shows in the output.
interrupt() {
  local name=$1 signal=$2 marker=$3
  shift 3
  "$create" --drive V --set 1:1 "$@" > "$work/$name.out" 2> "$work/$name.err" &
  local pid=$! waited=0
  until grep -qF -- "$marker" "$work/$name.out" 2> /dev/null; do
    sleep 0.02
    waited=$((waited + 1))
    kill -0 $pid 2> /dev/null || fail "$name: ended before '$marker'"
    [ $waited -lt 1500 ] || { kill -KILL $pid; fail "$name: '$marker' never came"; }
  done
  local sent=$(date +%s%N)
  kill -"$signal" $pid
  local limit=$((sent + 10000000000))
  while kill -0 $pid 2> /dev/null; do
    [ "$(date +%s%N)" -lt $limit ] || { kill -KILL $pid; fail "$name: still running 10 s after SIG$signal"; }
    sleep 0.05
  done
  wait $pid
  status=$?
  echo "== $name: exit $status after $(( ($(date +%s%N) - sent) / 1000000 )) ms; $(last_line "$work/$name.err")"
  [ $status -eq 1 ] || fail "$name: exit $status"
  last_line "$work/$name.err" | grep -qF "cancelled by SIG$signal" || fail "$name: no line saying so"
  absent "completed successfully" "$work/$name.out"
  "$quillden" virtual eject "$work/dvd.disc" > /dev/null 2>&1 || fail "$name: the drive stayed locked"
}

write_config many "SourcePath=$area/many
File0001=*"
blank_dvd
interrupt adding TERM "Test Disc will be created now." "$work/many.ini"
absent "  -> ok" "$work/adding.out"
not_recorded many

write_config slow "SourcePath=$area/files
File0001=*"
blank_dvd
"$quillden" virtual timing "$work/dvd.disc" 0 0 6000 0 0 > /dev/null || fail "timing"
interrupt writing TERM "Now creating Test Disc" --verify-mode full "$work/slow.ini"
absent "Now verifying" "$work/writing.out"
not_recorded slow

# A verify long enough to be caught: a large file.
head -c 200000000 /dev/zero > "$area/files/large.bin"
blank_dvd
interrupt verifying INT "Now verifying data" --verify-mode full "$work/slow.ini"
rm -f "$area/files/large.bin"
not_recorded slow

"$quillden" virtual create "$work/dvd.disc" none > /dev/null || fail "empty tray"
interrupt prompt TERM "waiting for a medium" --insert wait "$work/small.ini"
not_recorded small

# Waiting for a medium ends when one is inserted.
"$quillden" virtual create "$work/dvd.disc" none > /dev/null
"$create" --drive V --insert wait --no-verify "$work/small.ini" > "$work/wait.out" 2> "$work/wait.err" &
pid=$!
for _ in $(seq 1 200); do grep -qF "waiting for a medium" "$work/wait.out" && break; sleep 0.05; done
blank_dvd
wait $pid || fail "wait: exit $? ($(last_line "$work/wait.err"))"
expect "created 1 of 1 media" "$work/wait.out"
echo "PASS"
