#!/usr/bin/env bash
# Draws Kestrava's artwork with ImageMagick: the icon group (kestrava.ico,
# 13 images from 16 to 256 px), the 540 x 300 start-up picture (splash.bmp,
# 24 bits per pixel) with its double-size drawing for larger screen scales
# (splash-2x.bmp) and the 16 x 16 menu image (menu.png, RGBA).
# The results are committed; run this again after changing the design.
set -euo pipefail
cd "$(dirname "$0")"

BOLD=DejaVu-Sans-Bold
REGULAR=DejaVu-Sans
BLUE_LIGHT='#3A86E0'
BLUE_DARK='#0A3A78'
AMBER='#F5A623'
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# One square image of the icon: a blue tile with a white "K"; from 40 px on
# a green seal with a tick (a valid certificate) sits in its lower right.
draw_icon() {
  local s=$1 out=$2
  local r=$(( s * 22 / 100 )); [ "$r" -lt 3 ] && r=3
  local margin=0; [ "$s" -ge 48 ] && margin=$(( s / 32 ))
  local e=$(( s - 1 - margin ))
  convert -size "${s}x${s}" "gradient:$BLUE_LIGHT-$BLUE_DARK" -alpha set \
    \( -size "${s}x${s}" xc:none -fill white -draw "roundrectangle $margin,$margin $e,$e $r,$r" \) \
    -compose DstIn -composite -compose Over "$work/tile.png"
  # Small sizes: the letter alone, as large as the tile allows.
  local point=$(( (s * 88 + 50) / 100 )) shift=$(( s / 16 ))
  if [ "$s" -ge 40 ]; then point=$(( s * 66 / 100 )); shift=$(( s / 14 )); fi
  convert "$work/tile.png" -font "$BOLD" -pointsize "$point" -fill white \
    -gravity center -annotate "+0-${shift}" K "$work/lettered.png"
  if [ "$s" -ge 40 ]; then
    local d=$(( s * 40 / 100 )) c x y w
    c=$(( d / 2 )); w=$(( d / 9 )); [ "$w" -lt 2 ] && w=2
    x=$(( s - d - margin )); y=$(( s - d - margin ))
    convert -size "${d}x${d}" xc:none \
      -fill '#1E9E4A' -stroke white -strokewidth "$w" -draw "circle $c,$c $c,$(( w ))" \
      -fill none -stroke white -strokewidth "$w" \
      -draw "polyline $(( d * 28 / 100 )),$(( d * 52 / 100 )) $(( d * 44 / 100 )),$(( d * 68 / 100 )) $(( d * 73 / 100 )),$(( d * 35 / 100 ))" \
      "$work/seal.png"
    convert "$work/lettered.png" "$work/seal.png" -geometry "+$x+$y" -composite -depth 8 "$out"
  else
    convert "$work/lettered.png" -depth 8 "$out"
  fi
}

sizes=(16 20 24 32 40 48 56 64 72 80 96 128 256)
images=()
for s in "${sizes[@]}"; do
  draw_icon "$s" "$work/icon-$s.png"
  images+=("$work/icon-$s.png")
done
convert "${images[@]}" -type TrueColorAlpha kestrava.ico

# The menu image: the small icon, filled to its corners, because the program
# turns transparent parts black.
convert -size 16x16 "gradient:$BLUE_LIGHT-$BLUE_DARK" -font "$BOLD" -pointsize 13 -fill white \
  -gravity center -annotate +0+0 K -depth 8 -define png:color-type=6 PNG32:menu.png

# The start-up picture at a scale: 1 gives the 540 x 300 picture, 2 the
# 1080 x 600 one that the program scales down for screens between 100 % and
# 200 % and up beyond. The window's border hides the last column and row.
draw_splash() {
  local k=$1 out=$2
  draw_icon $((128 * k)) "$work/splash-icon.png"
  convert -size $((300 * k))x$((540 * k)) "gradient:#123E7C-#071B38" -rotate 90 \
    -fill '#FFFFFF10' -stroke none -draw "circle $((470 * k)),$((40 * k)) $((470 * k)),$((250 * k))" \
    -fill '#FFFFFF0A' -draw "circle $((520 * k)),$((300 * k)) $((520 * k)),$((120 * k))" \
    "$work/splash-icon.png" -geometry +$((42 * k))+$((66 * k)) -composite \
    -font "$BOLD" -pointsize $((50 * k)) -fill white -annotate +$((196 * k))+$((122 * k)) Kestrava \
    -fill "$AMBER" -stroke none -draw "rectangle $((199 * k)),$((138 * k)) $((320 * k - 1)),$((142 * k - 1))" \
    -font "$REGULAR" -pointsize $((15 * k)) -fill '#D6E4F5' \
    -annotate +$((198 * k))+$((170 * k)) "Продление квалифицированного" \
    -annotate +$((198 * k))+$((190 * k)) "сертификата на JaCarta ГОСТ" \
    -fill '#FFFFFF1C' -draw "rectangle 0,$((250 * k)) $((540 * k)),$((300 * k))" \
    -font "$REGULAR" -pointsize $((12 * k)) -fill '#9FB6D6' \
    -annotate +$((42 * k))+$((280 * k)) "Версия 1.0" \
    -gravity NorthEast -annotate +$((42 * k))+$((268 * k)) "ГОСТ Р 34.10-2012" \
    -alpha off -type TrueColor BMP3:"$out"
}
draw_splash 1 splash.bmp
draw_splash 2 splash-2x.bmp
