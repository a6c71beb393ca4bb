#!/usr/bin/env bash
# Times `verbulo --version` and `--help` as whole processes, without a display, then
# `--toggle` as the desktop's shortcut runs it on every press, with a running instance to
# answer (under scripts/headless-session, or any session with a display and a bus), and
# reports the package's size and installed size.
# Usage: bench/command-line.sh <build directory> [an earlier verbulo to compare --toggle with]
set -euo pipefail
build_dir=${1:-build}
binary=$build_dir/bin/verbulo
env -i PATH=/usr/bin:/bin hyperfine -N --warmup 3 --runs 30 "$binary --version" "$binary --help"

scratch=$(mktemp -d)
instance=
trap '[ -z "$instance" ] || kill "$instance"; rm -rf "$scratch"' EXIT
if [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ] && [ -n "${DBUS_SESSION_BUS_ADDRESS:-}" ]; then
  XDG_CONFIG_HOME=$scratch/config "$binary" 2>/dev/null &
  instance=$!
  until busctl --user status com.plumrest.Vorsik >/dev/null 2>&1 \
    || dbus-send --session --print-reply --dest=com.plumrest.Vorsik /com/plumrest/Vorsik \
      org.freedesktop.DBus.Peer.Ping >/dev/null 2>&1; do
    sleep 0.1
  done
  hyperfine -N --warmup 3 --runs 30 "$binary --toggle" ${2:+"$2 --toggle"}
else
  echo "--toggle: skipped, no display or session bus (run under scripts/headless-session)"
fi

cpack --config "$build_dir/CPackConfig.cmake" -B "$scratch" >/dev/null
package=$(echo "$scratch"/verbulo_*_amd64.deb)
echo "package: $(stat -c %s "$package") bytes, installed: $(dpkg-deb -f "$package" Installed-Size) KiB"
