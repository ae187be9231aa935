#!/bin/sh
# Draws the About box's banner, src/dialogs/win32/AboutBanner.jpg: a 580 x 200 JPEG with a
# disc on a dark background and the plugin's name. The build embeds the committed JPEG, so
# this is run only to change the picture. Needs ImageMagick's convert
# (apt-get install -y --no-install-recommends imagemagick) and the DejaVu fonts.
set -eu

out=${1:-"$(dirname "$0")/../src/dialogs/win32/AboutBanner.jpg"}
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

# The disc: a silver face with a faint rainbow sheen, a clear ring round the hub, a hole.
convert -size 180x180 xc:none \
  -fill '#b9c2cf' -draw 'circle 90,90 90,4' \
  \( -size 180x180 radial-gradient:'#f4f7fb'-'#7f8a9b' \) -compose src-in -composite \
  \( -size 180x180 xc:none -fill 'rgba(255,80,200,0.30)' -draw 'arc 8,8 172,172 200,250' \
     -fill 'rgba(80,255,220,0.30)' -draw 'arc 8,8 172,172 20,70' \) -compose over -composite \
  -fill none -stroke 'rgba(40,50,70,0.35)' -strokewidth 1 \
  -draw 'circle 90,90 90,14' -draw 'circle 90,90 90,60' \
  -stroke none -fill 'rgba(225,235,245,0.85)' -draw 'circle 90,90 90,62' \
  -fill '#9aa5b5' -draw 'circle 90,90 90,74' \
  -fill '#0e1526' -draw 'circle 90,90 90,80' \
  "$tmp/disc.png"

convert -size 580x200 gradient:'#1c2b4c'-'#070b16' \
  \( -size 580x200 xc:none -fill 'rgba(0,229,255,0.10)' -draw 'rectangle 222,176 560,177' \) \
  -compose over -composite \
  "$tmp/disc.png" -geometry +22+10 -compose over -composite \
  -font DejaVu-Sans-Bold -pointsize 50 -fill '#00e5ff' -annotate +222+104 'Korvane' \
  -font DejaVu-Sans-Bold -pointsize 50 -fill '#e8eef7' -annotate +222+162 'CDVD' \
  -font DejaVu-Sans -pointsize 15 -fill '#8fa3c0' -annotate +396+160 'disc plugin' \
  -strip -quality 90 -sampling-factor 4:2:0 "$out"

echo "wrote $out"
