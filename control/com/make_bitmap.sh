#!/usr/bin/env bash
# Writes bitmap resource 202, the control's picture for toolboxes and design
# surfaces: 32 x 32 pixels, 24 bits per pixel, a token on a grey ground.
# Made at build time so the repository holds no binary file.
#   make_bitmap.sh OUTPUT.bmp
set -euo pipefail
out=${1:?usage: make_bitmap.sh OUTPUT.bmp}
size=32
row_bytes=$((size * 3)) # a multiple of 4: rows need no padding
pixels=$((row_bytes * size))

le16() { printf '\\x%02x\\x%02x' $(($1 & 255)) $((($1 >> 8) & 255)); }
le32() { printf '\\x%02x\\x%02x\\x%02x\\x%02x' $(($1 & 255)) $((($1 >> 8) & 255)) $((($1 >> 16) & 255)) $((($1 >> 24) & 255)); }

# Sets px to the colour of pixel (x, y), y counted from the top, as
# "\xBB\xGG\xRR" (a variable, not output: a subshell per pixel is slow).
pixel() {
  local x=$1 y=$2
  local dx=$((x - 10)) dy=$((y - 15))
  if ((x == 0 || y == 0 || x == size - 1 || y == size - 1)); then
    px='\x40\x40\x40' # frame
  elif ((dx * dx + dy * dy <= 16)); then
    px='\x20\xb0\xe0' # the token's contact: gold
  elif ((x >= 4 && x <= 27 && y >= 9 && y <= 21)); then
    if ((x >= 18 && x <= 25 && (y == 12 || y == 15 || y == 18))); then
      px='\xf0\xf0\xf0' # label lines
    else
      px='\x80\x30\x10' # body: dark blue
    fi
  else
    px='\xc0\xc0\xc0' # ground
  fi
}

{
  data="BM$(le32 $((54 + pixels)))$(le32 0)$(le32 54)"
  data+="$(le32 40)$(le32 $size)$(le32 $size)$(le16 1)$(le16 24)$(le32 0)$(le32 $pixels)"
  data+="$(le32 2835)$(le32 2835)$(le32 0)$(le32 0)"
  printf "$data"
  # Rows are stored bottom-up.
  for ((y = size - 1; y >= 0; y--)); do
    row=""
    for ((x = 0; x < size; x++)); do
      pixel $x $y
      row+=$px
    done
    printf "$row"
  done
} >"$out.tmp"
mv "$out.tmp" "$out"
