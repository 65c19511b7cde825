#!/usr/bin/env bash
# The Debian package as an office gets it: built by scripts/package.sh,
# installed with apt, its documents and man pages in Debian's layout, both
# programs started by an ordinary user without a display, the menu entry
# validated, then removed without leaving a file.
# Needs root and apt; scripts/test.sh runs it when VELTROW_PACKAGE_TEST=1.
set -euo pipefail
cd "$(dirname "$0")/../.."

fail() { echo "package test: $*" >&2; exit 1; }
[ "$(id -u)" -eq 0 ] || fail "needs root (apt install and remove)"
apt=(apt-get -y -qq -o DPkg::Lock::Timeout=300)

started=$SECONDS
bash scripts/package.sh
built=$SECONDS
deb="$(ls veltrow_*.deb)"
version="$(dpkg-deb -f "$deb" Version)"
depends="$(dpkg-deb -f "$deb" Depends)"
# dpkg-shlibdeps found the libraries; the rest is named by hand.
for dep in libqt6widgets6 libqt6keychain1 libssl3 qt6-qpa-plugins fonts-ipafont-gothic qt6-translations-l10n; do
  grep -q "\b$dep\b" <<<"$depends" || fail "Depends lacks $dep: $depends"
done

DEBIAN_FRONTEND=noninteractive "${apt[@]}" install "./$deb" >/dev/null
# A failed check below leaves no package behind for the next run.
installed_now() { dpkg-query -W -f='${Status}' veltrow 2>/dev/null | grep -q 'ok installed'; }
trap 'if installed_now; then "${apt[@]}" remove veltrow >/dev/null; fi' EXIT
installed="$(dpkg-query -L veltrow)"
doc=/usr/share/doc/veltrow
man1=/usr/share/man/man1
for f in /usr/bin/veltrow /usr/bin/veltrow-send /usr/share/applications/veltrow.desktop \
         /usr/share/icons/hicolor/scalable/apps/veltrow.svg $doc/README.md.gz $doc/copyright $doc/changelog.gz \
         $man1/veltrow.1.gz $man1/veltrow-send.1.gz; do
  grep -qx "$f" <<<"$installed" || fail "$f is not in the package"
done

# Debian's layout: a machine-readable copyright file, uncompressed; the
# changelog of this version; man pages that render without a warning and
# name every option the program's --help names. Read from the package
# itself: a system may keep dpkg from installing documents.
unpacked="$(mktemp -d)"
trap 'rm -rf "$unpacked"; if installed_now; then "${apt[@]}" remove veltrow >/dev/null; fi' EXIT
dpkg-deb -x "$deb" "$unpacked"
doc="$unpacked$doc"
man1="$unpacked$man1"
[ "$(head -1 $doc/copyright)" = "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/" ] \
  || fail "$doc/copyright is not in the machine-readable format"
grep -q '^License: ' $doc/copyright || fail "$doc/copyright names no license"
logged="$(zcat $doc/changelog.gz | dpkg-parsechangelog -l - -S Version)" || fail "$doc/changelog.gz does not parse"
[ "$logged" = "$version" ] || fail "the changelog's last version is $logged, the package is $version"
# The first line alone; grep -q would end zcat early and pipefail take that for a failure.
[ "$(zcat $doc/README.md.gz | sed -n 1p)" = "# Veltrow" ] || fail "$doc/README.md.gz is not the README"
for program in veltrow veltrow-send; do
  page=$man1/$program.1.gz
  warnings="$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -E UTF-8 -l -Tutf8 -Z $page 2>&1 >/dev/null)"
  [ -z "$warnings" ] || fail "$page draws warnings: $warnings"
  text="$(zcat $page | sed 's/\\-/-/g')"
  for option in $(env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "$program" --help | grep -o -- '--[a-z][a-z-]*[a-z]' | sort -u); do
    grep -q -- "$option" <<<"$text" || fail "$page does not describe $option"
  done
done

user=veltrow-package-test
id -u "$user" >/dev/null 2>&1 || useradd --create-home --shell /bin/sh "$user"
for program in veltrow veltrow-send; do
  said="$(env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM runuser -u "$user" -- "$program" --version)" \
    || fail "$program --version failed as $user"
  grep -q " $version\$" <<<"$said" || fail "$program --version said '$said', the package is $version"
done

# veltrow-send as that user from the home folder, which holds no 設定.txt:
# the first start makes ~/Veltrow (whose empty server stops the send), and
# settings put there are the ones the dry run composes with.
as_user() { env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM runuser -u "$user" -- sh -c "cd && $1"; }
home="$(getent passwd "$user" | cut -d: -f6)"
rm -rf "$home/Veltrow"
as_user 'printf "a@example.jp\n山田 花子 <hanako@example.jp>\n" > list.txt && printf "本文\n" > body.txt'
send='veltrow-send --dry-run --to list.txt --subject お知らせ --body body.txt'
status=0
as_user "$send" >/dev/null 2>&1 || status=$?
[ "$status" -eq 2 ] || fail "the first dry run without a server ended with $status, not 2"
[ "$(stat -c %U "$home/Veltrow")" = "$user" ] || fail "~/Veltrow was not made by the user's first start"
as_user 'printf "127.0.0.1\r\n25\r\n\r\n係\r\nsender@example.jp\r\n" > Veltrow/設定.txt'
composed="$(as_user "$send" 2>/dev/null)" || fail "the dry run as $user failed"
grep -q '^From: .*<sender@example.jp>' <<<"$composed" || fail "the dry run did not use ~/Veltrow/設定.txt: $composed"
grep -qx 'To: a@example.jp' <<<"$composed" || fail "the dry run composed no message to the list: $composed"

# Its hints too (several main categories show the entry twice).
verdict="$(desktop-file-validate /usr/share/applications/veltrow.desktop 2>&1)" || fail "invalid menu entry: $verdict"
[ -z "$verdict" ] || fail "the menu entry draws remarks: $verdict"
grep -qx 'Exec=veltrow --menu' /usr/share/applications/veltrow.desktop || fail "the menu entry does not start with --menu"
# Every entry gets a message of its own, not the same mail.
if grep -q '^Comment.*同じメール' /usr/share/applications/veltrow.desktop; then fail "the menu entry's comment says the same mail"; fi
grep -q '^Comment\[ja\]=.*個別のメール' /usr/share/applications/veltrow.desktop || fail "the menu entry's comment does not say personal"
/usr/bin/python3 -c 'import sys, xml.etree.ElementTree as t; sys.exit(t.parse(sys.argv[1]).getroot().tag != "{http://www.w3.org/2000/svg}svg")' \
  /usr/share/icons/hicolor/scalable/apps/veltrow.svg || fail "the icon is no SVG"

"${apt[@]}" remove veltrow >/dev/null
if installed_now; then fail "veltrow is still installed"; fi
# The folders are shared with other packages; the files must go.
while read -r f; do
  if [ -e "$f" ] && [ ! -d "$f" ]; then fail "$f stayed after apt remove"; fi
done <<<"$installed"
echo "package test: passed (package built in $((built - started)) s, install and removal $((SECONDS - built)) s)"
