#!/usr/bin/env bash
# Installs the built program into a temporary prefix, checks what lands where, validates the menu
# entry and the AppStream data, and builds the .deb and checks its contents and dependencies.
set -euo pipefail
build="$1"
tmp="$(mktemp -d)"
trap 'rm -rf "$tmp"' EXIT

cmake --install "$build" --prefix "$tmp/usr" > /dev/null
for f in bin/RostrelUploader bin/rostrel-uploader-launch share/applications/rostrel-uploader.desktop \
    share/metainfo/io.github.varnhold.RostrelUploader.metainfo.xml \
    share/icons/hicolor/16x16/apps/rostrel-uploader.png share/icons/hicolor/32x32/apps/rostrel-uploader.png \
    share/icons/hicolor/48x48/apps/rostrel-uploader.png share/icons/hicolor/scalable/apps/rostrel-uploader.svg \
    share/doc/rostrel-uploader/copyright; do
    [ -e "$tmp/usr/$f" ] || { echo "missing after install: $f"; exit 1; }
done
desktop-file-validate "$tmp/usr/share/applications/rostrel-uploader.desktop"
appstreamcli validate --no-net --pedantic "$tmp/usr/share/metainfo/io.github.varnhold.RostrelUploader.metainfo.xml" \
    | tee "$tmp/as.log"
grep -qiE '^E:|error' "$tmp/as.log" && exit 1

# The menu's launcher starts the program in a folder of the player's own.
mkdir -p "$tmp/home" "$tmp/fakebin"
printf '#!/bin/sh\npwd > "%s/started-in"\n' "$tmp" > "$tmp/fakebin/RostrelUploader"
chmod +x "$tmp/fakebin/RostrelUploader"
cp "$tmp/usr/bin/rostrel-uploader-launch" "$tmp/fakebin/"
HOME="$tmp/home" XDG_DATA_HOME= "$tmp/fakebin/rostrel-uploader-launch"
[ "$(cat "$tmp/started-in")" = "$tmp/home/.local/share/RostrelUploader" ] || { echo "launcher folder wrong"; exit 1; }

(cd "$build" && cpack -G DEB -B "$tmp/deb" > "$tmp/cpack.log" 2>&1) || { cat "$tmp/cpack.log"; exit 1; }
deb="$(ls "$tmp"/deb/*.deb)"
dpkg-deb -c "$deb" > "$tmp/contents"
grep -q './usr/bin/RostrelUploader' "$tmp/contents" || { echo "deb lacks /usr/bin/RostrelUploader"; exit 1; }
grep -q './usr/share/applications/rostrel-uploader.desktop' "$tmp/contents" || { echo "deb lacks the menu entry"; exit 1; }
grep -q './usr/share/doc/rostrel-uploader/copyright$' "$tmp/contents" || { echo "deb lacks its copyright file"; exit 1; }
dpkg-deb -f "$deb" Recommends | grep -q 'fonts-liberation' || { echo "deb does not recommend fonts-liberation"; exit 1; }
depends="$(dpkg-deb -f "$deb" Depends)"
echo "Depends: $depends"
echo "$depends" | grep -q 'libqt6widgets6' || { echo "deb does not declare its Qt dependency"; exit 1; }
echo "install and package OK"
