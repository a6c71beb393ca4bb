#!/usr/bin/env bash
# Renders the mascot drawings to the 280 × 280 PNGs the program compiles in
# (shown at 76 and 140 points, so 2× displays stay sharp). Needs rsvg-convert
# (Debian package librsvg2-bin). Run compose-svg.py first after changing it.
set -euo pipefail
cd "$(dirname "$0")/../../resources/mascot"
for svg in Vors*.svg; do
  rsvg-convert --width 280 --height 280 --format png --output "${svg%.svg}.png" "$svg"
done
