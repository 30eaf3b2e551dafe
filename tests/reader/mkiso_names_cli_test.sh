#!/bin/sh
# Names that quillden mkiso writes onto a disc, checked with readers someone else wrote (bsdtar and
# 7-Zip): a graft may name a file differently from its source, in letter case alone too, and no
# graft may put a "." or ".." folder on the disc.
set -u
cli="$1"
for tool in bsdtar 7z; do
  command -v "$tool" >/dev/null 2>&1 || { echo "$tool is not installed; skipped"; exit 0; }
done
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
mkdir -p "$work/x" "$work/y"
printf 'new\n' > "$work/x/new.txt"
printf 'bee\n' > "$work/x/b.txt"
printf 'zed\n' > "$work/y/z.txt"
printf 'f\n' > "$work/f.txt"

# A change of letter case alone, a rename onto a name that another graft's source has, and a file
# placed inside a folder under a new name.
"$cli" mkiso -q -V NAMES -o "$work/names.iso" --graft NEW.TXT="$work/x/new.txt" \
  --graft b.txt="$work/y/z.txt" --graft a.txt="$work/x/b.txt" --graft deep/Renamed.Txt="$work/x/new.txt" \
  > "$work/out" 2>&1 || fail "mkiso with renaming grafts: $(cat "$work/out")"
listing=$(bsdtar -tf "$work/names.iso" | sed 's|^\./||; s|/$||' | grep -vx '\.\|deep' | sort)
expected='NEW.TXT
a.txt
b.txt
deep/Renamed.Txt'
[ "$listing" = "$expected" ] || fail "bsdtar lists: $listing"
7z l -ba "$work/names.iso" > "$work/7z" 2>&1 || fail "7z cannot list the image: $(cat "$work/7z")"
for name in NEW.TXT a.txt b.txt Renamed.Txt; do
  grep -q "$name\$" "$work/7z" || fail "7z does not list $name: $(cat "$work/7z")"
done
grep -q 'quillden graft' "$work/7z" && fail "a staging folder reached the image"
mkdir "$work/out.d"
bsdtar -xf "$work/names.iso" -C "$work/out.d" || fail "bsdtar cannot extract the image"
cmp -s "$work/out.d/NEW.TXT" "$work/x/new.txt" || fail "NEW.TXT differs from its source"
cmp -s "$work/out.d/a.txt" "$work/x/b.txt" || fail "a.txt differs from its source"
cmp -s "$work/out.d/b.txt" "$work/y/z.txt" || fail "b.txt differs from its source"
cmp -s "$work/out.d/deep/Renamed.Txt" "$work/x/new.txt" || fail "deep/Renamed.Txt differs from its source"

# Two grafts onto one name (in any letter case) are still refused.
"$cli" mkiso -q -o "$work/dup.iso" --graft a.txt="$work/x/new.txt" --graft A.TXT="$work/x/b.txt" \
  > "$work/out" 2>&1 && fail "two grafts onto one name were accepted"
grep -q 'already exists\|0x08000021' "$work/out" || fail "duplicate graft said: $(cat "$work/out")"

# "." and ".." never become folders of the disc.
for target in ../../etc/ ./f.txt a/../f.txt a/./ ..; do
  rm -f "$work/dots.iso"
  "$cli" mkiso -q -o "$work/dots.iso" --graft "$target=$work/f.txt" > "$work/out" 2>&1 &&
    fail "graft $target was accepted"
  grep -q "named '\.\.*'" "$work/out" || fail "graft $target said: $(cat "$work/out")"
  [ -e "$work/dots.iso" ] && fail "graft $target left an image behind"
done
[ "$failures" -eq 0 ] || exit 1
echo ok
