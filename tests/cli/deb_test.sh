#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds the .deb with CPack and checks what Debian expects of it: the files it installs, the
# copyright file and changelog, manual pages, stripped programs, no ldconfig trigger for the
# private folder, the collector's service (disabled, its own system user), a real maintainer
# address and an installed size under 7 MB.
set -euo pipefail
build=$1
cd "$build"
rm -rf packages deb-root
cpack -G DEB >cpack.log 2>&1 || { cat cpack.log; exit 1; }
deb=$(ls packages/*.deb)
dpkg-deb --info "$deb" | tee deb-info.txt
dpkg-deb --contents "$deb" | tee deb-contents.txt
fail() { echo "$deb: $*" >&2; exit 1; }

for f in ./usr/bin/journal-read ./usr/bin/journal-reader ./usr/bin/journal-sim \
         ./usr/share/journal-reader/main.ini ./usr/share/journal-reader/sim/rt10.sim \
         ./usr/share/applications/journal-reader.desktop \
         ./usr/share/doc/journal-reader/copyright ./usr/share/doc/journal-reader/changelog.Debian.gz \
         ./usr/share/man/man1/journal-reader.1.gz ./usr/share/man/man1/journal-read.1.gz \
         ./usr/share/man/man1/journal-sim.1.gz ./usr/share/man/man1/journal-collect.1.gz \
         ./usr/bin/journal-collect ./usr/lib/systemd/system/journal-collect.service; do
    grep -q " $f\( ->\|$\)" deb-contents.txt || fail "missing $f"
done
grep -q '/journal-reader/OmbrelDll.so$' deb-contents.txt || fail "missing OmbrelDll.so"

mkdir deb-root
dpkg-deb --raw-extract "$deb" deb-root
[ ! -e deb-root/DEBIAN/triggers ] && ! grep -q ldconfig deb-root/DEBIAN/postinst ||
    fail "the private folder needs no ldconfig, yet the package runs it"
# The service runs as a system user of its own, which the package creates but never enables.
grep -q '^User=journal-collect$' deb-root/usr/lib/systemd/system/journal-collect.service ||
    fail "the collector's service does not run as journal-collect"
grep -q 'adduser --system .*journal-collect' deb-root/DEBIAN/postinst || fail "no journal-collect user"
! grep -qE 'systemctl .*(enable|start)|deb-systemd-helper' deb-root/DEBIAN/postinst ||
    fail "the collector's service is enabled or started on installation"
dpkg-deb -f "$deb" Depends | grep -q adduser || fail "no Depends on adduser"
unstripped=$(find deb-root/usr -type f -exec file {} + | grep 'ELF.*not stripped' || true)
[ -z "$unstripped" ] || fail "unstripped: $unstripped"
grep -q '^ Maintainer: .*@example.org>$' deb-info.txt || fail "no project maintainer address"
size=$(sed -n 's/^ Installed-Size: //p' deb-info.txt)
# Each program links the reading logic statically; the fourth, journal-collect, took the package
# from 4.5 to 6.1 MB installed.
[ "$size" -lt 7168 ] || fail "installed size $size KiB, not under 7 MB"
summary=$(sed -n 's/^ Description: //p' deb-info.txt)
[ ${#summary} -le 80 ] || fail "description line of ${#summary} characters"
version=$(sed -n 's/^ Version: //p' deb-info.txt)
zcat deb-root/usr/share/doc/journal-reader/changelog.Debian.gz | head -1 | grep -qF "($version)" ||
    fail "the changelog does not name version $version"
dpkg-deb -f "$deb" Depends | grep -q qt6-translations-l10n || fail "no Depends on Qt's translations"
dpkg-deb -f "$deb" Depends | grep -q libqt6charts6 || fail "no Depends on Qt Charts"
dpkg-deb -f "$deb" Depends | grep -q libqt6sql6-sqlite || fail "no Depends on the SQLite driver"
dpkg-deb -f "$deb" Recommends | grep -q libqt6sql6-psql || fail "no Recommends of the PostgreSQL driver"
grep -q '^License: Expat' deb-root/usr/share/doc/journal-reader/copyright || fail "no license"
rm -rf deb-root
echo "package $deb ($size KiB installed): ok"
