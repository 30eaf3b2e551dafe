#!/bin/sh
# quillden image create / image write / copy / compare on virtual drives: a data disc is read into a
# disc image file, the image is recorded onto a second blank disc, the disc is copied drive to
# drive onto a third, and every copy compares equal with its source. The refusals must leave the
# files and discs they refuse as they were.
set -eu
cli="$1"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAILED: $*"; exit 1; }

mkdir -p "$work/files/sub"
head -c 1500000 /dev/urandom > "$work/files/big.bin"
printf 'hello\n' > "$work/files/sub/small.txt"

drives=""
for d in S T U V W; do
  "$cli" virtual create "$work/$d.disc" dvd-r >/dev/null
  "$cli" virtual timing "$work/$d.disc" 0 0 0 0 0 >/dev/null
  drives="$drives$d=virtual:dvd-r:$work/$d.disc;"
done
for d in C D E; do
  "$cli" virtual create "$work/$d.disc" cd-r >/dev/null
  "$cli" virtual timing "$work/$d.disc" 0 0 0 0 0 >/dev/null
  drives="$drives$d=virtual:cd-r:$work/$d.disc;"
done
export QUENVAR_DRIVES="$drives"

"$cli" burn S: -q -V SOURCE --graft /="$work/files" >/dev/null

# Disc -> image file -> second disc.
"$cli" image create S: -q "$work/s.wvm" > "$work/out.txt"
grep -q "^created .*s.wvm from the disc in S: (1 track" "$work/out.txt" || fail "create message: $(cat "$work/out.txt")"
"$cli" image info "$work/s.wvm" | grep -q "multi-track image" || fail "image info"
# An existing file is not replaced without --force.
cp "$work/s.wvm" "$work/keep.wvm"
if "$cli" image create S: -q "$work/s.wvm" 2>"$work/err.txt"; then fail "create replaced a file"; fi
grep -q "exists" "$work/err.txt" || fail "no word on the existing file"
cmp "$work/s.wvm" "$work/keep.wvm" || fail "refused create changed the file"
"$cli" image create S: -q --force "$work/s.wvm" >/dev/null
cmp "$work/s.wvm" "$work/keep.wvm" || fail "the same disc gave a different image"

"$cli" image write T: -q "$work/s.wvm" > "$work/out.txt"
grep -q "^recorded .*s.wvm onto the media in T:" "$work/out.txt" || fail "write message"
"$cli" compare T: -q "$work/s.wvm" >/dev/null || fail "T: differs from the image"
"$cli" compare T: -q S: >/dev/null || fail "T: differs from S:"
"$cli" cat T: big.bin | cmp - "$work/files/big.bin" || fail "big.bin on T:"

# Drive -> drive.
"$cli" copy S: U: -q > "$work/out.txt"
grep -q "^copied the disc in S: onto the media in U:" "$work/out.txt" || fail "copy message"
"$cli" compare U: -q S: >/dev/null || fail "U: differs from S:"
"$cli" compare U: -q "$work/s.wvm" >/dev/null || fail "U: differs from the image"
# A disc that holds data is not a copy target; the refusal says why.
if "$cli" copy S: U: -q 2>"$work/err.txt"; then fail "copy onto a used disc"; fi
grep -q "0x08000036" "$work/err.txt" || fail "copy refusal: $(cat "$work/err.txt")"
if "$cli" copy S: S: -q 2>/dev/null; then fail "copy onto itself"; fi
# A blank source has nothing to copy or to read into a file, and leaves no file behind.
if "$cli" copy W: V: -q 2>"$work/err.txt"; then fail "copy of a blank disc"; fi
if "$cli" image create W: -q "$work/blank.wvm" 2>"$work/err.txt"; then fail "image of a blank disc"; fi
grep -q "0x08000043" "$work/err.txt" || fail "blank source: $(cat "$work/err.txt")"
[ ! -e "$work/blank.wvm" ] || fail "an image file of a blank disc was left"

# A truncated disc image is refused before the media is touched, never recorded as a plain image.
head -c 100000 "$work/s.wvm" > "$work/cut.wvm"
if "$cli" image write V: -q "$work/cut.wvm" 2>"$work/err.txt"; then fail "a truncated image was recorded"; fi
grep -q "damaged or truncated" "$work/err.txt" || fail "truncated image: $(cat "$work/err.txt")"
"$cli" media V: | grep -qi "blank" || fail "V: was touched"

# A plain image of 2048-byte sectors, recorded and compared.
"$cli" mkiso -q -V PLAIN -o "$work/plain.iso" "$work/files" >/dev/null 2>&1
"$cli" image write V: -q "$work/plain.iso" >/dev/null
"$cli" compare V: -q "$work/plain.iso" >/dev/null || fail "V: differs from the plain image"

# A CD-R of two sessions, the first left open: the image and the copy keep both sessions.
"$cli" burn C: -q --write-type 1 -V FIRST --graft /="$work/files/sub" >/dev/null
"$cli" burn C: -q --append --graft more="$work/files" >/dev/null
"$cli" image create C: -q "$work/c.wvm" >/dev/null
"$cli" image info "$work/c.wvm" | grep -q "tracks: *2" || fail "two sessions in the image"
"$cli" image write D: -q --write-type 2 "$work/c.wvm" >/dev/null
"$cli" compare D: -q C: >/dev/null || fail "D: differs from C:"
"$cli" copy C: E: -q >/dev/null
"$cli" compare E: -q "$work/c.wvm" >/dev/null || fail "E: differs from the image"
"$cli" cat E: more/big.bin | cmp - "$work/files/big.bin" || fail "big.bin in the second session of E:"
# A copy source that is refused says which reason applies, with the result code and the last
# command error (it used to blame a multi-session mode 2 CD for every refusal).
# A disc whose UDF partition names a packet-writing driver (anchor at 256, partition descriptor
# at 258, terminator at 259).
dd if=/dev/zero of="$work/packet.iso" bs=2048 count=300 2>/dev/null
put() { printf "$2" | dd of="$work/packet.iso" bs=1 seek="$1" conv=notrunc 2>/dev/null; }
put $((256 * 2048)) '\002'
put $((256 * 2048 + 16)) '\000\040\000\000'
put $((256 * 2048 + 20)) '\002\001\000\000'
put $((258 * 2048)) '\005'
put $((258 * 2048 + 197)) '*Microsoft Windows'
put $((259 * 2048)) '\010'
for d in X Y; do
  "$cli" virtual create "$work/$d.disc" dvd-r >/dev/null
  "$cli" virtual timing "$work/$d.disc" 0 0 0 0 0 >/dev/null
done
export QUENVAR_DRIVES="$QUENVAR_DRIVES""X=virtual:dvd-r:$work/X.disc;Y=virtual:dvd-r:$work/Y.disc;"
"$cli" image write X: -q "$work/packet.iso" >/dev/null
if "$cli" copy X: Y: -q 2>"$work/err.txt"; then fail "a packet writer's disc was copied"; fi
grep -q "packet-writing driver.*(0x08000033, last command error 0x" "$work/err.txt" || fail "packet refusal: $(cat "$work/err.txt")"
if grep -q "mode 2" "$work/err.txt"; then fail "packet refusal blames mode 2: $(cat "$work/err.txt")"; fi
echo "image CLI: all checks passed"
