#!/usr/bin/env bash
# Runs a command on a virtual X display of the given dpi, and removes the display afterwards.
# 2880x2880 pixels are a whole number of millimetres at 96, 144 and 192 dpi, so Qt reads the
# exact dpi back.
#   with_xvfb.sh DPI COMMAND [ARGS...]
set -euo pipefail
dpi=$1
shift
command -v Xvfb >/dev/null || { echo "SKIP: Xvfb is not installed"; exit 77; }
fd_file=$(mktemp)
Xvfb -displayfd 3 -dpi "$dpi" -screen 0 2880x2880x24 -nolisten tcp 3>"$fd_file" >/dev/null 2>&1 &
xvfb=$!
trap 'kill "$xvfb" 2>/dev/null; wait "$xvfb" 2>/dev/null; rm -f "$fd_file"' EXIT
for _ in $(seq 100); do [ -s "$fd_file" ] && break; sleep 0.1; done
[ -s "$fd_file" ] || { echo "Xvfb did not start"; exit 1; }
DISPLAY=":$(head -n1 "$fd_file")" QT_QPA_PLATFORM=xcb XVFB_DPI="$dpi" "$@"
