#!/usr/bin/env bash
# Direct insertion over the accessibility bus against the clipboard paste, in the test windows and,
# where installed, gedit, Firefox ESR and LibreOffice Writer. Prints a Markdown table.
# Usage: bench/direct-insertion-apps.sh [build directory] [test windows|editors|firefox|writer ...]
# Needs python3-gi, gir1.2-atspi-2.0, xdotool and xclip; starts its own scripts/headless-session.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build_dir=$(realpath "${1:-build}")
shift || true
exec "$here/../scripts/headless-session" /usr/bin/python3 "$here/direct-insertion-apps.py" \
  "$build_dir/tests/support/insertiontargetwindow" "$here/../tests/support/gtktargetwindow.py" "$@"
