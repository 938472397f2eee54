#!/usr/bin/env bash
# Builds the .deb with CPack and lists what it installs.
set -euo pipefail
build=$1
cd "$build"
rm -rf packages
cpack -G DEB >cpack.log 2>&1 || { cat cpack.log; exit 1; }
deb=$(ls packages/*.deb)
dpkg-deb --info "$deb"
dpkg-deb --contents "$deb" | tee deb-contents.txt
for f in ./usr/bin/journal-read ./usr/bin/journal-reader ./usr/share/journal-reader/main.ini \
         ./usr/share/applications/journal-reader.desktop; do
    grep -q " $f" deb-contents.txt || { echo "missing in the package: $f" >&2; exit 1; }
done
grep -q 'OmbrelDll.so$' deb-contents.txt
dpkg-deb -f "$deb" Depends | grep -q qt6-translations-l10n || { echo "no Depends on Qt's translations" >&2; exit 1; }
echo "package $deb: ok"
