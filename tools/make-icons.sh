#!/usr/bin/env bash
# Regenerates the three images of the icon bundle in ui/icons/ with
# ImageMagick. The results are committed; run this after changing a drawing.
set -euo pipefail
cd "$(dirname "$0")/../ui/icons"
IM=$(command -v magick || command -v convert)
# No time stamps or other metadata, so a rerun gives the same bytes.
stable=(-strip -define png:exclude-chunks=date,time)

# Window icon: a MIDI DIN socket seen from the front, 60x60, 8-bit RGBA.
"$IM" -size 60x60 xc:none \
    -fill '#2b2f36' -stroke '#101216' -strokewidth 2 -draw 'circle 30,30 30,3' \
    -fill '#c9ced6' -stroke none -draw 'circle 30,30 30,9' \
    -fill '#2b2f36' -draw 'rectangle 26,7 34,13' \
    -fill '#101216' \
    -draw 'circle 30,44 30,47' \
    -draw 'circle 17,38 17,41' -draw 'circle 43,38 43,41' \
    -draw 'circle 14,25 14,28' -draw 'circle 46,25 46,28' \
    -fill '#e0322b' -draw 'circle 30,26 30,30' \
    "${stable[@]}" PNG32:midi-connector.png

# Wide picture of a five-pin socket with a plug lead, 170x59, 4-bit palette.
"$IM" -size 170x59 xc:'#f4f1ea' \
    -fill '#8a8f98' -stroke '#3a3d42' -strokewidth 2 -draw 'roundrectangle 4,6 66,52 8,8' \
    -fill '#2b2f36' -draw 'circle 35,29 35,6' \
    -fill '#c9ced6' -stroke none -draw 'circle 35,29 35,11' \
    -fill '#2b2f36' -draw 'rectangle 32,9 38,14' \
    -fill '#101216' \
    -draw 'circle 35,41 35,43' -draw 'circle 24,36 24,38' -draw 'circle 46,36 46,38' \
    -draw 'circle 21,25 21,27' -draw 'circle 49,25 49,27' \
    -fill '#3a3d42' -draw 'rectangle 78,22 120,36' \
    -fill '#1d5fa8' -draw 'roundrectangle 118,16 150,42 5,5' \
    -fill '#101216' -draw 'rectangle 150,26 168,32' \
    -fill '#3a3d42' -pointsize 9 -draw "text 82,50 'DIN 5'" \
    +dither -colors 16 -type Palette -define png:bit-depth=4 -define png:color-type=3 \
    "${stable[@]}" PNG8:din5-buchse.png

# Busy indicator: eight dots on a ring, the bright one moving one step per
# frame; 31x31, 8 frames of 100 ms, looping forever.
frames=()
for step in 0 1 2 3 4 5 6 7; do
    args=()
    for dot in 0 1 2 3 4 5 6 7; do
        read -r x y < <(awk -v d="$dot" 'BEGIN { a = d * 3.14159265 / 4;
            printf "%d %d\n", 15.5 + 10 * sin(a), 15.5 - 10 * cos(a) }')
        age=$(( (step - dot + 8) % 8 ))
        grey=$(( 40 + age * 26 ))
        args+=(-fill "rgb($grey,$grey,$grey)" -draw "circle $x,$y $x,$((y + 3))")
    done
    frame=$(mktemp --suffix=.png)
    "$IM" -size 31x31 xc:white "${args[@]}" "$frame"
    frames+=("$frame")
done
"$IM" -delay 10 -loop 0 "${frames[@]}" -strip GIF:loading.gif
rm -f "${frames[@]}"
