#!/bin/sh
# A plain reading drive of the older kind: a virtual drive declared to read CD and DVD and write
# nothing answers GET CONFIGURATION with its profile list alone and refuses READ TRACK INFORMATION
# (5/20/00). media, ls, cat, compare, image create and rip still work on it, from the table of
# contents and READ CAPACITY; an audio CD recorded elsewhere is ripped through it.
set -u
cli="$1"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*"; exit 1; }

mkdir -p "$work/src/docs"
printf 'read on an old drive\n' > "$work/src/docs/a.txt"
head -c 300001 /dev/urandom > "$work/src/big.bin"
"$cli" mkiso -o "$work/x.iso" -V OLD_DRIVE "$work/src" >/dev/null || fail "mkiso"
blocks=$(( $(stat -c %s "$work/x.iso") / 2048 ))
"$cli" virtual load "$work/rom.disc" "$work/x.iso" --kind cd-rom >/dev/null || fail "loading the CD-ROM"
"$cli" virtual load "$work/dvd.disc" "$work/x.iso" --kind dvd-rom >/dev/null || fail "loading the DVD-ROM"
"$cli" virtual create "$work/audio.disc" cd-r >/dev/null || fail "creating the CD-R"
"$cli" virtual timing "$work/audio.disc" 0 0 0 0 0 >/dev/null || fail "timing"
export QUENVAR_DRIVES="R=virtual(reads=cd|dvd):cd-rom:$work/rom.disc;S=virtual(reads=cd|dvd):dvd-rom:$work/dvd.disc;Q=virtual:cd-r:$work/audio.disc;T=virtual(reads=cd):cd-r:$work/audio.disc"

"$cli" drives > "$work/drives.txt" 2>&1
grep -A2 '^R:' "$work/drives.txt" | grep -q 'writes: *$\|writes: *none\|writes: *-' ||
  { cat "$work/drives.txt"; fail "the reading drive claims to write"; }

for d in R S; do
  "$cli" media $d: > "$work/media-$d.txt" 2>&1 || { cat "$work/media-$d.txt"; fail "media on $d:"; }
  grep -q '^status *0 (closed)' "$work/media-$d.txt" || { cat "$work/media-$d.txt"; fail "$d: not closed"; }
  grep -q "^used *$blocks\$" "$work/media-$d.txt" || { cat "$work/media-$d.txt"; fail "$d: used is not $blocks"; }
  "$cli" ls $d: > "$work/ls-$d.txt" 2>&1 || { cat "$work/ls-$d.txt"; fail "ls on $d:"; }
  grep -q 'big.bin' "$work/ls-$d.txt" || fail "ls on $d: misses big.bin"
  "$cli" cat $d: docs/a.txt | cmp - "$work/src/docs/a.txt" || fail "cat on $d:"
  "$cli" cat $d: big.bin | cmp - "$work/src/big.bin" || fail "cat big.bin on $d:"
  "$cli" compare $d: "$work/x.iso" > "$work/cmp-$d.txt" 2>&1 || { cat "$work/cmp-$d.txt"; fail "compare on $d:"; }
  "$cli" image create $d: "$work/copy-$d.wvm" > "$work/img-$d.txt" 2>&1 ||
    { cat "$work/img-$d.txt"; fail "image create on $d:"; }
  "$cli" compare $d: "$work/copy-$d.wvm" > "$work/cmp2-$d.txt" 2>&1 ||
    { cat "$work/cmp2-$d.txt"; fail "the image of $d: differs from the disc"; }
done
"$cli" rip R: 1 "$work/track1.bin" > "$work/rip.txt" 2>&1 || { cat "$work/rip.txt"; fail "rip on R:"; }
cmp -n $((blocks * 2048)) "$work/track1.bin" "$work/x.iso" || fail "the ripped data track differs"

# An audio CD recorded on a recorder, ripped through the reading drive.
python3 - "$work/tone.wav" <<'PY' || fail "making the WAVE file"
import math, struct, sys, wave
with wave.open(sys.argv[1], "wb") as w:
    w.setnchannels(2); w.setsampwidth(2); w.setframerate(44100)
    w.writeframes(b"".join(struct.pack("<hh", int(8000 * math.sin(i / 20.0)), int(8000 * math.cos(i / 30.0)))
                           for i in range(44100 * 5)))
PY
"$cli" audio Q: "$work/tone.wav" > "$work/audio.txt" 2>&1 || { cat "$work/audio.txt"; fail "recording the audio CD"; }
"$cli" media T: > "$work/media-T.txt" 2>&1 || { cat "$work/media-T.txt"; fail "media of the audio CD on T:"; }
"$cli" rip T: 1 "$work/tone-ripped.wav" > "$work/rip-audio.txt" 2>&1 || { cat "$work/rip-audio.txt"; fail "rip on T:"; }
python3 - "$work/tone.wav" "$work/tone-ripped.wav" <<'PY' || fail "the ripped audio differs"
import sys, wave
a = wave.open(sys.argv[1]).readframes(10**9)
b = wave.open(sys.argv[2]).readframes(10**9)
sys.exit(0 if b[:len(a)] == a and not any(b[len(a):]) else 1)
PY
echo ok
