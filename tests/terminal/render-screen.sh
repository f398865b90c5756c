#!/bin/bash
# Draws a terminal screen as tmux captures it with its attributes (`tmux capture-pane -e -p`)
# into a PNG, one cell per character in a monospace font: bold, underline and reverse video,
# and the eight basic colours. Lines (the box-drawing characters, and the letters of the
# terminal's line-drawing set that tmux marks with SO ... SI) are drawn as lines joining their
# neighbours, as a terminal draws them, not as the font's glyphs.
#   render-screen.sh OUTPUT.png [COLUMNS] < capture
# COLUMNS is the terminal's width (default: the longest line), since tmux drops the blanks at
# the ends of the lines.
# Needs ImageMagick's convert and the DejaVu Sans Mono font (Debian's fonts-dejavu-core).
set -euo pipefail

output=${1:?usage: render-screen.sh OUTPUT.png [COLUMNS] < capture}
columns=${2:-0}
font_dir=/usr/share/fonts/truetype/dejavu
regular=$font_dir/DejaVuSansMono.ttf
bold=$font_dir/DejaVuSansMono-Bold.ttf
for font in "$regular" "$bold"; do
  [ -f "$font" ] || { echo "render-screen.sh: $font is missing (fonts-dejavu-core)" >&2; exit 2; }
done

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# One MVG drawing: a background rectangle where a cell is not the screen's background, then
# every visible character or line at its cell, then the underlines. The bytes are read as
# bytes (the C locale), the box-drawing characters by their three bytes of UTF-8.
LC_ALL=C awk -v regular="$regular" -v bold="$bold" -v columns="$columns" -v cell_width=10 -v cell_height=20 -v margin=10 '
  BEGIN {
    split("#000000 #aa0000 #00aa00 #aa5500 #0000aa #aa00aa #00aaaa #aaaaaa", palette, " ")
    background = "#000000"; foreground = "#aaaaaa"; bright = "#ffffff"
    esc = sprintf("%c", 27); so = sprintf("%c", 14); si = sprintf("%c", 15)
    # The arms of each line piece: up, down, left, right.
    split("┌ ┐ └ ┘ ─ │ ├ ┤ ┬ ┴ ┼", boxes, " ")
    split("l k m j q x t u w v n", letters, " ")
    split("dr dl ur ul lr ud udr udl dlr ulr udlr", shapes, " ")
    for (i = 1; i <= 11; i++) { boxArms[boxes[i]] = shapes[i]; letterArms[letters[i]] = shapes[i] }
  }
  # Two pixels wide from the middle of the cell to each edge that an arm reaches.
  function linePieces(arms, x, y, ink,   cx, cy, drawn) {
    cx = x + int(cell_width / 2) - 1; cy = y + int(cell_height / 2) - 1; drawn = ""
    if (index(arms, "u")) drawn = drawn sprintf("fill \"%s\" rectangle %d,%d %d,%d\n", ink, cx, y, cx + 1, cy + 1)
    if (index(arms, "d")) drawn = drawn sprintf("fill \"%s\" rectangle %d,%d %d,%d\n", ink, cx, cy, cx + 1, y + cell_height - 1)
    if (index(arms, "l")) drawn = drawn sprintf("fill \"%s\" rectangle %d,%d %d,%d\n", ink, x, cy, cx + 1, cy + 1)
    if (index(arms, "r")) drawn = drawn sprintf("fill \"%s\" rectangle %d,%d %d,%d\n", ink, cx, cy, x + cell_width - 1, cy + 1)
    return drawn
  }
  function reset() { isBold = 0; isUnder = 0; isReverse = 0; fg = -1; bg = -1 }
  function apply(codes,   n, list, i, c) {
    n = split(codes, list, ";")
    if (n == 0) { reset(); return }
    for (i = 1; i <= n; i++) {
      c = list[i] + 0
      if (c == 0) reset()
      else if (c == 1) isBold = 1
      else if (c == 4) isUnder = 1
      else if (c == 7) isReverse = 1
      else if (c == 22) isBold = 0
      else if (c == 24) isUnder = 0
      else if (c == 27) isReverse = 0
      else if (c >= 30 && c <= 37) fg = c - 30
      else if (c == 39) fg = -1
      else if (c >= 40 && c <= 47) bg = c - 40
      else if (c == 49) bg = -1
    }
  }
  function quoted(ch) {
    if (ch == "\\" || ch == "\"") return "\"\\" ch "\""
    return "\"" ch "\""
  }
  { lines[NR] = $0 }
  END {
    rows = NR
    for (row = 1; row <= rows; row++) {
      reset(); line = lines[row]; column = 0
      while (length(line) > 0) {
        if (substr(line, 1, 2) == esc "[" && match(line, /^\033\[[0-9;]*m/)) {
          apply(substr(line, 3, RLENGTH - 3)); line = substr(line, RLENGTH + 1); continue
        }
        if (substr(line, 1, 1) == so) { alternate = 1; line = substr(line, 2); continue }
        if (substr(line, 1, 1) == si) { alternate = 0; line = substr(line, 2); continue }
        arms = ""
        if (substr(line, 1, 3) in boxArms) {
          arms = boxArms[substr(line, 1, 3)]; ch = ""; line = substr(line, 4)
        } else {
          ch = substr(line, 1, 1); line = substr(line, 2)
          if (alternate && (ch in letterArms)) arms = letterArms[ch]
        }
        ink = fg >= 0 ? palette[fg + 1] : (isBold ? bright : foreground)
        paper = bg >= 0 ? palette[bg + 1] : background
        if (isReverse) { swap = ink; ink = paper; paper = swap }
        x = margin + column * cell_width; y = margin + (row - 1) * cell_height
        if (paper != background)
          cells = cells sprintf("fill \"%s\" rectangle %d,%d %d,%d\n", paper, x, y, x + cell_width - 1, y + cell_height - 1)
        if (arms != "")
          glyphs = glyphs linePieces(arms, x, y, ink)
        else if (ch != " ")
          glyphs = glyphs sprintf("font \"%s\" fill \"%s\" text %d,%d %s\n", isBold ? bold : regular, ink, x, y + cell_height - 5, quoted(ch))
        if (isUnder)
          marks = marks sprintf("fill \"%s\" rectangle %d,%d %d,%d\n", ink, x, y + cell_height - 3, x + cell_width - 1, y + cell_height - 2)
        column++
      }
      if (column > columns) columns = column
    }
    width = 2 * margin + columns * cell_width; height = 2 * margin + rows * cell_height
    printf "viewbox 0 0 %d %d\n", width, height
    printf "fill \"%s\" rectangle 0,0 %d,%d\n", background, width, height
    printf "font-size 16\ntext-antialias 1\n"
    printf "%s%s%s", cells, glyphs, marks
  }' > "$work/screen.mvg"

convert "mvg:$work/screen.mvg" -depth 8 "$output"
