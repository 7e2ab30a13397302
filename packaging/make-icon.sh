#!/usr/bin/env bash
# Renders the 128x128 PNG of the application icon from its SVG with
# ImageMagick. The result is committed; run this after changing the drawing.
set -euo pipefail
cd "$(dirname "$0")"
IM=$(command -v magick || command -v convert)
id=org.brantolexfixer.BrantolexFixer
"$IM" -background none -density 384 "$id.svg" -resize 128x128 \
    -strip -define png:exclude-chunks=date,time "PNG32:$id.png"
