#!/usr/bin/env bash
# Draws the demo site's images with ImageMagick (Debian: imagemagick, fonts-dejavu-core).
# The results are committed; run this only to change them.
#   real images   examples/site/images/{harbour.jpg,balloon.gif,meadow.png,lighthouse.bmp}  320x200
#   placeholders  examples/site/refwarden.{jpg,gif,png,bmp}                                 240x150
set -euo pipefail
cd "$(dirname "$0")/site"
FONT=DejaVu-Sans-Bold

# Scenes drawn from shapes, each with its name and format written in a corner.
LABEL=(-gravity southeast -font "$FONT" -pointsize 18 -fill white -annotate +10+8)

convert -size 320x200 gradient:'#ffb347-#ff5e62' \
  -fill '#fff3b0' -draw 'circle 160,120 160,85' \
  -fill '#1d3557' -draw 'rectangle 0,140 320,200' \
  -fill '#457b9d' -draw 'polygon 60,140 90,100 120,140' -draw 'polygon 200,140 240,90 280,140' \
  "${LABEL[@]}" "harbour  JPG" -quality 85 images/harbour.jpg

convert -size 320x200 xc:'#a8dadc' \
  -fill '#e63946' -draw 'circle 160,80 160,30' \
  -fill '#6d4c41' -draw 'rectangle 148,128 172,150' \
  -stroke '#6d4c41' -strokewidth 2 -draw 'line 125,110 150,130' -draw 'line 195,110 170,130' \
  -stroke none -fill '#2a9d8f' -draw 'rectangle 0,175 320,200' \
  "${LABEL[@]}" "balloon  GIF" images/balloon.gif

convert -size 320x200 gradient:'#87ceeb-#e0f7fa' \
  -fill '#52b788' -draw 'ellipse 160,230 260,90 180,360' \
  -fill '#ffd166' -draw 'circle 60,150 60,142' -draw 'circle 110,170 110,162' -draw 'circle 230,160 230,152' \
  -fill white -draw 'ellipse 240,40 40,14 0,360' \
  "${LABEL[@]}" "meadow  PNG" -depth 8 images/meadow.png

convert -size 320x200 gradient:'#0b132b-#3a506b' \
  -fill '#f1faee' -draw 'polygon 150,170 170,170 166,60 154,60' \
  -fill '#e63946' -draw 'rectangle 152,60 168,72' \
  -fill '#ffe66d' -draw 'polygon 160,66 320,30 320,100' \
  -fill '#1c2541' -draw 'rectangle 0,170 320,200' \
  "${LABEL[@]}" "lighthouse  BMP" -colors 64 -type Palette BMP3:images/lighthouse.bmp

# The placeholders the filter sends hot-linkers to: smaller, and saying why.
for ext in jpg gif png bmp; do
  out=refwarden.$ext
  [[ $ext == bmp ]] && out=BMP3:refwarden.bmp
  convert -size 240x150 xc:'#f4f4f4' \
    -fill none -stroke '#c1121f' -strokewidth 6 -draw 'rectangle 3,3 236,146' \
    -stroke none -fill '#c1121f' -font "$FONT" -pointsize 22 -gravity north -annotate +0+28 'Image protected' \
    -fill '#333333' -font DejaVu-Sans -pointsize 13 -annotate +0+70 'This picture may only be shown' \
    -annotate +0+88 'on the site it belongs to.' \
    -fill '#888888' -pointsize 11 -annotate +0+118 "refwarden  ·  $ext" \
    -depth 8 $([[ $ext == bmp ]] && echo -colors 32 -type Palette) "$out"
done
