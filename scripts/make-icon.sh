#!/usr/bin/env bash
# Makes assets/tevgen.ico, the Windows program's icon, from assets/tevgen.svg
# in the sizes Windows shows (16 to 256 pixels, with 20 and 40 for 125% and
# 250% scaling). The .ico is committed, so that a build needs neither tool;
# run this after changing the drawing.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh librsvg2-bin icoutils

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
pngs=()
for size in 16 20 24 32 40 48 64 256; do
  rsvg-convert -w "$size" -h "$size" assets/tevgen.svg -o "$work/$size.png"
  pngs+=("$work/$size.png")
done
# The 256-pixel image is stored as PNG, the others as bitmaps.
icotool -c -o assets/tevgen.ico --raw="$work/256.png" "${pngs[@]:0:7}"
echo "assets/tevgen.ico: $(stat -c %s assets/tevgen.ico) bytes"
