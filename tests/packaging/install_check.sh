#!/usr/bin/env bash
# Installs the Debian packages of PACKAGE_DIR into a fresh Debian 12 root (debootstrap, minbase),
# checks what a user and a developer would do with them there, removes them and checks that
# nothing of theirs is left; then runs lintian and the desktop and AppStream validators.
# Needs root and the Debian mirror. Exits non-zero at the first failed check.
set -euo pipefail
debs=$(cd "$1" && pwd)
say() { printf '== %s\n' "$*"; }
fail() { printf 'FAILED: %s\n' "$*" >&2; exit 1; }
started=$(date +%s)

# The mirror the host installs from (deb822 or one-line sources), else Debian's own.
mirror=$(sed -n 's/^URIs: *\([^ ]*debian\/*\)$/\1/p' /etc/apt/sources.list.d/*.sources 2>/dev/null | head -n 1)
[[ -n "$mirror" ]] || mirror=$(awk '$1 == "deb" && $2 ~ /debian\/?$/ {print $2; exit}' /etc/apt/sources.list 2>/dev/null)
[[ -n "$mirror" ]] || mirror=http://deb.debian.org/debian

root=$(mktemp -d /var/tmp/quenvar-root.XXXXXX)
chmod 755 "$root"  # apt's download user must reach its folders inside
cleanup() {
  umount "$root/proc" 2>/dev/null || true
  rm -rf "$root"
}
trap cleanup EXIT

say "debootstrap bookworm (minbase) from $mirror"
debootstrap --variant=minbase bookworm "$root" "$mirror" > "$root.log" 2>&1 || { tail -n 20 "$root.log"; fail debootstrap; }
rm -f "$root.log"
mount -t proc proc "$root/proc"
in_root() { chroot "$root" env DEBIAN_FRONTEND=noninteractive LC_ALL=C.UTF-8 PATH=/usr/sbin:/usr/bin:/sbin:/bin "$@"; }

say "installing $(ls "$debs"/*.deb | xargs -n1 basename | tr '\n' ' ')"
mkdir -p "$root/tmp/debs"
cp "$debs"/*.deb "$root/tmp/debs/"
in_root apt-get update -qq
in_root sh -c 'apt-get install -y -qq --no-install-recommends /tmp/debs/*.deb' > /dev/null
for package in libquillden0 libquillden-dev quillden quenvar; do
  in_root dpkg-query -W -f='${Status}\n' "$package" | grep -q 'install ok installed' || fail "$package not installed"
done

say "the programs run from the installed packages"
in_root quillden --version | grep -q '^quillden ' || fail "quillden --version"
in_root quenvar-create --help | grep -q -- '--drive' || fail "quenvar-create --help"
in_root orvex --help | grep -q 'CONFIGURATION' || fail "orvex --help"
for page in quillden quenvar-create orvex; do
  [[ -s "$root/usr/share/man/man1/$page.1.gz" ]] || fail "no manual page for $page"
done
[[ -s "$root/usr/share/bash-completion/completions/quillden" ]] || fail "no bash completion"
# The installed sample recovery area works: a virtual recorder records its CD set.
in_root sh -c 'cd /tmp && QUENVAR_DRIVES=V=virtual:cd-r:/tmp/v.disc QUENVAR_REGISTRY_ROOT=/tmp/reg \
  quenvar-create --list /usr/share/quenvar/sample-recovery/Quenvar.ini' | grep -q 'System Recovery Media' ||
  fail "quenvar-create does not list the installed sample recovery area"

say "the menu entry starts the program through pkexec with the policy's program"
desktop=$root/usr/share/applications/org.quenvar.Quenvar.desktop
exec_line=$(sed -n 's/^Exec=//p' "$desktop")
[[ "$exec_line" == "pkexec /usr/bin/orvex "* ]] || fail "Exec line: $exec_line"
grep -q '<annotate key="org.freedesktop.policykit.exec.path">/usr/bin/orvex</annotate>' \
  "$root/usr/share/polkit-1/actions/org.quenvar.orvex.policy" || fail "polkit action names another program"
configuration=${exec_line#pkexec /usr/bin/orvex }
[[ -f "$root$configuration" ]] || fail "the menu entry's configuration $configuration is not installed"
[[ -f "$root/usr/share/icons/hicolor/scalable/apps/org.quenvar.Quenvar.svg" ]] || fail "no icon"

say "a program builds against the development package (pkg-config and CMake)"
in_root apt-get install -y -qq --no-install-recommends gcc libc6-dev make pkg-config cmake > /dev/null
in_root sh -c 'cp -r /usr/share/doc/libquillden-dev/examples /tmp/example && cd /tmp/example && make -s &&
  ./make_iso /usr/share/quenvar/sample-recovery/area/tools /tmp/example.iso TOOLS' | grep -q written ||
  fail "the example program"
cat > "$root/tmp/example/CMakeLists.txt" <<'EOF'
cmake_minimum_required(VERSION 3.16)
project(make_iso_cmake C)
find_package(Quillden 0.1 REQUIRED)
add_executable(make_iso_cmake make_iso.c)
target_link_libraries(make_iso_cmake PRIVATE Quillden::quillden)
EOF
in_root sh -c 'cd /tmp/example && cmake -S . -B b > /dev/null && cmake --build b > /dev/null &&
  ./b/make_iso_cmake /usr/share/quenvar/sample-recovery/area/tools /tmp/example2.iso' | grep -q written ||
  fail "find_package(Quillden)"
cmp -s "$root/tmp/example.iso" "$root/tmp/example2.iso" || true  # dates differ; both were written

say "the packages remove cleanly"
files=$(in_root dpkg -L libquillden0 libquillden-dev quillden quenvar | sort -u)
in_root apt-get purge -y -qq quenvar quillden libquillden-dev libquillden0 > /dev/null
left=""
while IFS= read -r path; do
  [[ -z "$path" || -d "$root$path" ]] && continue
  [[ -e "$root$path" || -L "$root$path" ]] && left+="$path "
done <<< "$files"
[[ -z "$left" ]] || fail "left after purge: $left"
for package in libquillden0 libquillden-dev quillden quenvar; do
  ! in_root dpkg-query -W -f='${Status}\n' "$package" 2>/dev/null | grep -q installed || fail "$package still installed"
done

say "lintian"
lintian --fail-on error --tag-display-limit 0 "$debs"/*.deb | tee /tmp/quenvar-lintian.txt
say "lintian: $(grep -c '^E:' /tmp/quenvar-lintian.txt || true) errors, $(grep -c '^W:' /tmp/quenvar-lintian.txt || true) warnings"

say "desktop entry and AppStream data"
extract=$(mktemp -d)
dpkg-deb -x "$debs"/quenvar_*.deb "$extract"
desktop-file-validate "$extract/usr/share/applications/org.quenvar.Quenvar.desktop"
appstreamcli validate --no-net "$extract/usr/share/metainfo/org.quenvar.Quenvar.metainfo.xml"
rm -rf "$extract"

say "packages: $(cd "$debs" && for d in *.deb; do printf '%s %s KiB; ' "$d" $(( $(stat -c %s "$d") / 1024 )); done)"
say "installation check passed in $(( $(date +%s) - started )) s"
