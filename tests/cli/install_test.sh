#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Installs the build tree into a staging folder and checks the files an installation needs; then
# runs the staged journal-read, which must seed the user's main.ini from the installed default
# and find the installed device files, and a device file of the user's own beside their main.ini.
set -euo pipefail
build=$1
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT

DESTDIR="$stage" cmake --install "$build" --prefix /usr >"$stage.log" 2>&1 || { cat "$stage.log"; exit 1; }
rm -f "$stage.log"
(cd "$stage" && find . \( -type f -o -type l \) | sort)

expect() {
    for f in "$@"; do
        [ -e "$stage/usr/$f" ] || { echo "missing: /usr/$f" >&2; exit 1; }
    done
}
programs=lib/$(dpkg-architecture -qDEB_HOST_MULTIARCH)/journal-reader
expect "$programs/journal-reader" "$programs/journal-read" "$programs/journal-sim" \
    "$programs/journal-collect" "$programs/OmbrelDll.so" \
    bin/journal-reader bin/journal-read bin/journal-sim bin/journal-collect \
    lib/systemd/system/journal-collect.service \
    share/journal-reader/main.ini share/journal-reader/devices/rt10.ini \
    share/applications/journal-reader.desktop \
    share/icons/hicolor/scalable/apps/journal-reader.svg
if [ -e "$build/bin/journal-exchange-server" ]; then
    expect "$programs/journal-exchange-server"
fi

# The staged program is an installed one: its folder holds no main.ini.
config=$(mktemp -d)
trap 'rm -rf "$stage" "$config"' EXIT
XDG_CONFIG_HOME="$config" "$stage/usr/bin/journal-read" --list >"$config/list.txt"
grep -q $'^1\tРегулятор РТ-10$' "$config/list.txt" || { cat "$config/list.txt"; exit 1; }
[ "$(grep -c $'^[0-9]*\t' "$config/list.txt")" -eq 6 ] || { cat "$config/list.txt"; exit 1; }
cmp "$config/journal-reader/main.ini" "$stage/usr/share/journal-reader/main.ini"

# A device of the user's own: its file beside the user's main.ini, named by a relative entry.
printf '[settings]\r\nname=Own device\r\narchtypecount=1\r\nArchName1=Events\r\n' \
    >"$config/journal-reader/own.ini"
sed -i 's/^CountDev=6\r$/CountDev=7\r\nDev7=own.ini\r/' "$config/journal-reader/main.ini"
XDG_CONFIG_HOME="$config" "$stage/usr/bin/journal-read" --list >"$config/list.txt"
grep -q $'^7\tOwn device$' "$config/list.txt" || { cat "$config/list.txt"; exit 1; }
echo "installation and first start: ok"
