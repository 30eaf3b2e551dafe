#!/usr/bin/env bash
# The window program ends on SIGINT and SIGTERM within 10 seconds, with status 1 and one line on
# stderr saying why: when idle it just closes; while it writes a disc, and while it waits at a
# media prompt, it cancels the job, leaves the drive unlocked and records nothing as created.
#   interrupt_test.sh ORVEX QUENVAR_CREATE QUILLDEN WORK_DIR
set -uo pipefail
orvex=$1 create=$2 quillden=$3 work=$4
rm -rf "$work" && mkdir -p "$work/registry"
export QT_QPA_PLATFORM=offscreen
export QUENVAR_DRIVES="V=virtual:dvd+r:$work/dvd.disc"
export QUENVAR_REGISTRY_ROOT="$work/registry"
export QUENVAR_INSTANCE_LOCK="$work/instance.lock"
export XDG_RUNTIME_DIR="$work"
export LC_ALL=C LANG=C LANGUAGE=
fail() { echo "FAIL: $*"; exit 1; }
last_line() { tail -n 1 "$1"; }

mkdir -p "$work/files"
head -c 3000000 /dev/urandom > "$work/files/big.bin"
printf 'END-OF-BIG-FILE' >> "$work/files/big.bin"
cat > "$work/contents.ini" <<INI
[CONTENTS]
ContentsTitle=Test Media
ContentsID=TEST-01
[DISCSET01]
DiscSetTitle=Test Set
[DISC0101]
DiscTitle=Test Disc
DiscType=DVD
VolumeLabel=TEST
[FILESET010101]
SourcePath=$work/files
File0001=*
INI
printf '[VERIFYSETTINGS]\nVerify=No\n[CONTENTS01]\nIniPath=%s\n' "$work/contents.ini" > "$work/top.ini"

not_recorded() {
  "$create" --list --drive V "$work/top.ini" > "$work/$1.list" || fail "$1: --list"
  grep -qF "[x] Test Media" "$work/$1.list" || fail "$1: the disc was recorded as created"
}

# stop NAME SIGNAL READY EXPECTED ARGS...: starts the program, sends SIGNAL once the command READY
# succeeds, and expects it to end within 10 s with status 1 and EXPECTED on its last line.
stop() {
  local name=$1 signal=$2 ready=$3 expected=$4
  shift 4
  "$orvex" "$@" "$work/top.ini" > "$work/$name.out" 2> "$work/$name.err" &
  local pid=$! waited=0
  until eval "$ready"; do
    sleep 0.05
    waited=$((waited + 1))
    kill -0 $pid 2> /dev/null || fail "$name: ended before the signal ($(last_line "$work/$name.err"))"
    [ $waited -lt 600 ] || { kill -KILL $pid; fail "$name: never ready"; }
  done
  local sent=$(date +%s%N)
  kill -"$signal" $pid
  local limit=$((sent + 10000000000))
  while kill -0 $pid 2> /dev/null; do
    [ "$(date +%s%N)" -lt $limit ] || { kill -KILL $pid; fail "$name: still running 10 s after SIG$signal"; }
    sleep 0.05
  done
  wait $pid
  local status=$?
  echo "== $name: exit $status after $(( ($(date +%s%N) - sent) / 1000000 )) ms; $(last_line "$work/$name.err")"
  [ $status -eq 1 ] || fail "$name: exit $status"
  [ "$(last_line "$work/$name.err")" = "$expected" ] || fail "$name: the last line is not '$expected'"
  "$quillden" virtual eject "$work/dvd.disc" > /dev/null 2>&1 || fail "$name: the drive stayed locked"
  not_recorded "$name"
}

# Idle, once the window is up (the instance lock is taken before it opens).
"$quillden" virtual create "$work/dvd.disc" dvd+r > /dev/null || fail "blank"
stop idle TERM "sleep 1.5; true" "orvex: closed by SIGTERM"

# Writing: closing the disc takes long enough to be interrupted.
"$quillden" virtual create "$work/dvd.disc" dvd+r > /dev/null || fail "blank"
"$quillden" virtual timing "$work/dvd.disc" 0 0 8000 0 0 > /dev/null || fail "timing"
stop writing TERM "grep -qaF END-OF-BIG-FILE '$work/dvd.disc' 2> /dev/null" \
  "orvex: job cancelled by SIGTERM" --create-after 200

# A media prompt is open: an empty tray.
"$quillden" virtual create "$work/dvd.disc" none > /dev/null || fail "empty tray"
stop prompt INT "sleep 3; true" "orvex: job cancelled by SIGINT" --create-after 200
echo "PASS"
