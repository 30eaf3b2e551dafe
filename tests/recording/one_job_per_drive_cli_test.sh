#!/bin/sh
# One drive, one job, through the quillden tool on virtual drives:
#  - two burns started together on one drive: exactly one records, the other is refused as busy
#    (0x08000019), and the disc holds the whole of one run's file;
#  - a burn killed half-way, then a short one: the backing file (the disc's image) ends with the
#    short one's data, no stale blocks of the killed run behind it;
#  - a burn interrupted with Ctrl-C: the tool says what the medium holds, and that agrees with what
#    the drive reports afterwards.
set -u
cli="$1"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*"; exit 1; }

head -c 60000000 /dev/urandom > "$work/a.bin"
head -c 60000000 /dev/urandom > "$work/b.bin"
printf 'a short second run\n' > "$work/small.txt"
for d in together killed cancel; do
  "$cli" virtual create "$work/$d.disc" dvd+r >/dev/null || fail "creating $d"
  "$cli" virtual timing "$work/$d.disc" 0 0 0 0 0 >/dev/null || fail "timing $d"
done
# Closing the cancel drive's disc takes 3 s, so Ctrl-C comes while every block is written.
"$cli" virtual timing "$work/cancel.disc" 0 0 3000 0 0 >/dev/null || fail "timing cancel"

export QUENVAR_DRIVES="P=virtual:dvd+r:$work/together.disc;K=virtual:dvd+r:$work/killed.disc;C=virtual:dvd+r:$work/cancel.disc"

# Two burns together.
"$cli" burn P: -q --graft data.bin="$work/a.bin" > "$work/a.out" 2>&1 &
pa=$!
"$cli" burn P: -q --graft data.bin="$work/b.bin" > "$work/b.out" 2>&1 &
pb=$!
ra=0; wait $pa || ra=$?
rb=0; wait $pb || rb=$?
cat "$work/a.out" "$work/b.out"
if [ $ra -eq 0 ] && [ $rb -ne 0 ]; then
  winner=a loser=b
elif [ $rb -eq 0 ] && [ $ra -ne 0 ]; then
  winner=b loser=a
else
  fail "two burns on one drive ended with $ra and $rb; exactly one must record"
fi
grep -q '^recorded$' "$work/$winner.out" || fail "the recording run did not say recorded"
grep -q '0x08000019' "$work/$loser.out" || fail "the refused run was not refused as busy"
grep -q '^recorded$' "$work/$loser.out" && fail "the refused run said recorded"
"$cli" cat P: data.bin > "$work/disc.bin" || fail "reading the file back"
cmp "$work/disc.bin" "$work/$winner.bin" || fail "the disc does not hold the recording run's file"

# A burn killed while it writes, then a short one.
"$cli" burn K: -q --graft big.bin="$work/a.bin" >/dev/null 2>&1 &
pk=$!
i=0
while [ "$(stat -c %s "$work/killed.disc" 2>/dev/null || echo 0)" -lt 8000000 ]; do
  i=$((i + 1))
  [ $i -lt 600 ] || fail "the burn to be killed never wrote"
  kill -0 $pk 2>/dev/null || fail "the burn to be killed ended by itself"
  sleep 0.05
done
kill -KILL $pk
wait $pk 2>/dev/null
"$cli" burn K: -q --graft small.txt="$work/small.txt" > "$work/k.out" 2>&1 || { cat "$work/k.out"; fail "the short burn"; }
used=$("$cli" media K: | awk '$1 == "used" { print $2 }')
size=$(stat -c %s "$work/killed.disc")
[ -n "$used" ] || fail "no used size"
[ "$size" -le $((used * 2048)) ] ||
  fail "the backing file holds $((size / 2048)) blocks, the disc records $used: stale blocks remain"
"$cli" cat K: small.txt | cmp - "$work/small.txt" || fail "the short run's file"

# Ctrl-C once every block of a burn is written, while the disc is being closed.
"$cli" burn C: --graft big.bin="$work/b.bin" > "$work/c.out" 2> "$work/c.err" &
pc=$!
i=0
while [ "$(stat -c %s "$work/cancel.disc" 2>/dev/null || echo 0)" -lt 60000000 ]; do
  i=$((i + 1))
  [ $i -lt 1200 ] || fail "the burn to be cancelled never wrote its file"
  kill -0 $pc 2>/dev/null || break
  sleep 0.05
done
kill -INT $pc 2>/dev/null
rc=0; wait $pc || rc=$?
cat "$work/c.out" "$work/c.err" | tr '\r' '\n' | grep -v '^ *$' | tail -3
"$cli" media C: > "$work/c.media" || fail "the medium after the cancel cannot be read"
status=$(awk '$1 == "status" { print $3 }' "$work/c.media")
used=$(awk '$1 == "used" { print $2 }' "$work/c.media")
if [ $rc -eq 0 ]; then
  grep -q '^recorded$' "$work/c.out" || fail "exit 0 without 'recorded'"
  [ "$status" = "(closed)" ] || fail "recorded, but the medium is $status"
else
  grep -q 'cancelled (0x08000032)' "$work/c.err" || fail "the interrupted burn did not say cancelled"
  case "$status" in
    "(blank)") grep -q 'the medium is blank' "$work/c.err" || fail "the medium is blank but the tool said otherwise" ;;
    "(appendable)") grep -q "the medium is appendable: $used blocks recorded" "$work/c.err" ||
      fail "the medium is appendable with $used blocks but the tool said otherwise" ;;
    "(closed)") grep -q "the medium is complete (closed): $used blocks recorded" "$work/c.err" ||
      fail "the medium is closed with $used blocks but the tool said otherwise" ;;
    *) fail "unexpected medium status $status" ;;
  esac
fi
echo ok
