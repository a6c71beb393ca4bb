#!/usr/bin/env bash
# Validates the metadata and manual, builds the Debian package, lints it and
# checks that its files land where the desktop looks for them.
set -euo pipefail
source_dir=$1 build_dir=$2
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

appstreamcli validate --no-net "$source_dir/resources/metainfo/com.plumrest.Vorsik.metainfo.xml"
warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$source_dir/resources/man/verbulo.1" 2>&1 >/dev/null)
[ -z "$warnings" ] || { echo "$warnings"; exit 1; }

cpack --config "$build_dir/CPackConfig.cmake" -B "$scratch" >/dev/null
package=$(echo "$scratch"/verbulo_*_amd64.deb)
lintian --fail-on error,warning "$package"
dpkg-deb -f "$package" Depends | grep -q 'libqt6widgets6'

dpkg -x "$package" "$scratch/root"
for file in usr/bin/verbulo usr/share/applications/com.plumrest.Vorsik.desktop \
  usr/share/metainfo/com.plumrest.Vorsik.metainfo.xml usr/share/man/man1/verbulo.1.gz \
  usr/share/icons/hicolor/scalable/apps/com.plumrest.Vorsik.svg \
  usr/share/icons/hicolor/256x256/apps/com.plumrest.Vorsik.png \
  etc/xdg/autostart/com.plumrest.Vorsik.desktop usr/share/doc/verbulo/copyright; do
  [ -f "$scratch/root/$file" ] || { echo "missing in the package: $file"; exit 1; }
done
"$scratch/root/usr/bin/verbulo" --version
# Without a display the program says so: its own message proves every library was found.
without_display=$(env -i "$scratch/root/usr/bin/verbulo" 2>&1) && exit 1
grep -q 'no graphical display found' <<<"$without_display"

