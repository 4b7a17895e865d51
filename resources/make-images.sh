#!/usr/bin/env bash
# Draws the panel's button and tree images (16 x 16, 24-bit, magenta = transparent): bash resources/make-images.sh
cd "$(dirname "$0")"
B="-type TrueColor -alpha off"
A="+antialias"
convert -size 16x16 xc:magenta $A -fill '#c62828' -draw 'rectangle 3,3 12,12' $B BMP3:stop.bmp
convert -size 16x16 xc:magenta $A -fill '#2e7d32' -draw 'polygon 4,2 13,8 4,14' $B BMP3:start.bmp
convert -size 16x16 xc:magenta $A -fill '#1565c0' -draw 'circle 8,8 8,1' -fill white -font DejaVu-Sans-Bold -pointsize 12 -gravity center -annotate +0+0 '?' $B BMP3:help.bmp
convert -size 16x16 xc:magenta $A -fill '#6d4c41' -draw 'rectangle 2,1 10,14' -fill '#ef6c00' -draw 'polygon 8,5 14,8 8,11' $B BMP3:exit.bmp
convert -size 16x16 xc:magenta $A -fill '#f9a825' -draw 'circle 5,8 5,4' -draw 'rectangle 8,7 15,9' -draw 'rectangle 13,9 14,12' $B BMP3:login.bmp
convert -size 16x16 xc:magenta $A -fill '#757575' -draw 'circle 5,8 5,4' -draw 'rectangle 8,7 15,9' -fill '#c62828' -draw 'line 1,14 14,1' $B BMP3:logout.bmp
colors=('#1565c0' '#2e7d32' '#c62828' '#6a1b9a' '#ef6c00' '#00838f' '#5d4037' '#455a64')
args=()
for i in $(seq 0 15); do
  x=$((i*16)); c=${colors[$((i % 8))]}
  if [ $i -lt 8 ]; then d="circle $((x+8)),8 $((x+8)),2"; else d="rectangle $((x+3)),3 $((x+12)),12"; fi
  args+=(-fill "$c" -draw "$d")
done
# 16: closed folder, 17: open folder
args+=(-fill '#fbc02d' -draw 'rectangle 257,4 270,13' -draw 'rectangle 257,2 262,4')
args+=(-fill '#f9a825' -draw 'rectangle 273,4 286,13' -fill '#fff176' -draw 'polygon 275,13 278,7 287,7 284,13')
convert -size 288x16 xc:magenta $A "${args[@]}" $B BMP3:tree.bmp
