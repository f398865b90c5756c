#!/bin/sh
# The interactive window of the Linux build in a real terminal: a two-processor machine with the
# uniprocessor HAL is upgraded with the recovery entry through the keyboard, and the machine
# image is checked afterwards. The frames are then looked at on terminals of every kind: drawn
# with the Unicode box-drawing characters, with the terminal's own line-drawing set, and in
# ASCII where the terminal can draw no lines. With a PNG path, the main window as it first
# appears is drawn into that picture (render-screen.sh).
#   Usage: tmux-test.sh <halshift binary> [picture.png]
# HALSHIFT_EXAMPLES names the directory of the complete example images (the build's
# examples/ directory); by default build/linux/examples of the source tree.
set -u

binary=${1:?usage: tmux-test.sh <halshift binary> [picture.png]}
picture=${2:-}
if ! command -v tmux >/dev/null 2>&1; then
  echo "SKIP: tmux is not installed"
  exit 77
fi
source_dir=${HALSHIFT_SOURCE_DIR:-$(dirname "$0")/../..}
example="${HALSHIFT_EXAMPLES:-$source_dir/build/linux/examples}/smp-uniprocessor-hal"
[ -f "$example/drives/C/WINNT/System32/HAL.DLL" ] ||
  { echo "FAIL: no complete example image at $example (build the halshift_examples target)"; exit 1; }

work=$(mktemp -d)
# A server of our own, so nothing of anybody else's tmux is touched; its socket goes with the
# work directory.
socket="$work/tmux"
session=""
cleanup() {
  tmux -S "$socket" kill-server >/dev/null 2>&1
  rm -rf "$work"
}
trap cleanup EXIT INT TERM

# The screen as a person looking at the pane sees it. tmux keeps the cells that came in the
# terminal's line-drawing set (after SO, or ESC ( 0) as their letters ("lqqk") and marks them
# with SO ... SI in `capture-pane -e`; it shows them as lines, and so does this. Colours and
# other attributes are dropped.
screen() {
  tmux -S "$socket" capture-pane -e -p -t "$session" | LC_ALL=C awk '
    BEGIN {
      so = sprintf("%c", 14); si = sprintf("%c", 15)
      split("j k l m n q t u v w x", letters, " ")
      split("┘ ┐ ┌ └ ┼ ─ ├ ┤ ┴ ┬ │", lines, " ")
      for (i = 1; i <= 11; i++) line[letters[i]] = lines[i]
    }
    {
      rest = $0; shown = ""
      while (rest != "") {
        if (match(rest, /^\033\[[0-9;]*m/)) { rest = substr(rest, RLENGTH + 1); continue }
        c = substr(rest, 1, 1); rest = substr(rest, 2)
        if (c == so) { alternate = 1; continue }
        if (c == si) { alternate = 0; continue }
        shown = shown ((alternate && (c in line)) ? line[c] : c)
      }
      sub(/ +$/, "", shown)
      print shown
    }'
}

# The pane's characters as tmux holds them, without attributes.
cells() { tmux -S "$socket" capture-pane -p -t "$session"; }

fail() {
  echo "FAIL: $*"
  echo "--- screen ---"
  screen 2>/dev/null
  exit 1
}

# Polls the screen until it shows the text, for at most 10 seconds.
wait_for() {
  tries=0
  while ! screen | grep -qF -- "$1"; do
    tries=$((tries + 1))
    [ "$tries" -le 100 ] || fail "$session: the screen never showed: $1"
    sleep 0.1
  done
}

keys() { tmux -S "$socket" send-keys -t "$session" "$@"; }

# Starts halshift on a fresh copy of the example machine in a new 80x25 session of its own,
# with the environment assignments given (TERM, the locale, ...).
start() {
  session=$1
  shift
  cp -R "$example" "$work/$session"
  tmux -S "$socket" -f /dev/null new-session -d -s "$session" -x 80 -y 25 \
    "env $* HALSHIFT_MACHINE='$work/$session' '$binary'; echo \$? > '$work/$session.exit'; sleep 60"
}

# Checks the main window's frames and the system menu's separator as a person sees them,
# drawn as expected: "unicode" (box-drawing characters in the pane), "line-set" (the terminal's
# own line-drawing set) or "ascii" ('+', '-', '|'). In no case may letters of the line-drawing
# set ("lqqk") show. Leaves the main window as it was.
check_frames() {
  drawn=$1
  case $drawn in
    ascii) top_left="+"; top_right="+"; bottom_left="+"; bottom_right="+"; rule="-"; edge="|"
           left_tee="+"; right_tee="+" ;;
    *) top_left="┌"; top_right="┐"; bottom_left="└"; bottom_right="┘"; rule="─"; edge="│"
       left_tee="├"; right_tee="┤" ;;
  esac
  for text in "$top_left$rule Orvane Hardware Abstraction Layer Utility $rule$rule" \
              "$edge $top_left$rule HAL State $rule$rule" "$edge $top_left$rule HAL Recovery $rule$rule" \
              "$edge $edge  Current HAL :" "$rule$rule$top_right $edge" "$edge $bottom_left$rule$rule" \
              "$rule$rule$bottom_right $edge" "$bottom_left$rule$rule$rule" "$rule$rule$bottom_right"; do
    wait_for "$text"
  done
  screen | grep -qE 'qqq|lq |mqq' && fail "$session: letters of the line-drawing set show"
  if [ "$drawn" = ascii ]; then
    cells | grep -qE '─|│|┌' && fail "$session: box-drawing characters on a terminal without them"
  else
    screen | grep -q '[+|]' && fail "$session: ASCII pieces of frames among the lines"
  fi
  # tmux marks the cells that came in the terminal's line-drawing set with SO.
  if tmux -S "$socket" capture-pane -e -p -t "$session" | grep -q "$(printf '\016')"; then
    [ "$drawn" = line-set ] || fail "$session: drawn with the terminal's line-drawing set"
  else
    [ "$drawn" = line-set ] && fail "$session: not drawn with the terminal's line-drawing set"
  fi
  if [ "$drawn" = unicode ]; then
    cells | grep -qF "┌─ Orvane Hardware" || fail "$session: the pane holds no box-drawing characters"
  fi
  keys M-Space
  wait_for "About halshift..."
  # The separator below Close runs from edge to edge of the menu and meets it in tees.
  separator=$left_tee
  for _ in 1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16 17 18 19; do separator=$separator$rule; done
  separator=$separator$right_tee
  screen | grep -A 1 -F "$edge Close " | tail -n 1 | grep -qF -- "$separator" ||
    fail "$session: the menu's separator does not read $separator"
  keys Escape
  tries=0
  while screen | grep -qF "About halshift..."; do
    tries=$((tries + 1))
    [ "$tries" -le 100 ] || fail "$session: the system menu did not close"
    sleep 0.1
  done
}

# On a terminal with line drawing in a UTF-8 locale (tmux's own terminal type) the whole job.
start lines TERM=tmux-256color LC_ALL=C.UTF-8
check_frames unicode
echo "--- main window ---"
screen
for text in "Current HAL :          Uniprocessor HAL" "Installed Processors : 2" \
            "HAL Recovery :         Not Present" "recomends that you upgrade" \
            "(*) Install a Multiprocessor HAL" "[ ] Enable HAL Recovery boot option" "[< Apply >]"; do
  screen | grep -qF -- "$text" || fail "the main window does not show: $text"
done
if [ -n "$picture" ]; then
  tmux -S "$socket" capture-pane -e -p -t "$session" |
    bash "$source_dir/tests/terminal/render-screen.sh" "$picture" 80 ||
    fail "the screen could not be drawn into $picture"
fi

# Help (Alt-H) shows the manual's text, written from docs/manual/ with the manual page; End
# goes to its last line, q closes it over the unchanged window.
keys M-h
wait_for "halshift(1)"
wait_for "SYNOPSIS"
keys End
wait_for "comes with no warranty."
keys q
wait_for "(*) Install a Multiprocessor HAL"
screen | grep -qF "halshift(1)" && fail "Help did not close with q"

# The upgrade is preselected; Tab over the three radio buttons to the recovery box and mark it.
keys Tab Tab Tab Space
wait_for "[X] Enable HAL Recovery boot option"
keys Enter
wait_for "┌─ Caution ─"
wait_for "ensure that the correct source media is used."
keys Enter
wait_for "┌─ Insert Source Media ─"
wait_for "[D:\\I386\\HAL.DLL"
wait_for "\"Windows NT Service Pack 6\""
keys Enter
wait_for "Installation Successful! Please reboot your system for the"
keys Enter
wait_for "[ ] Disable HAL Recovery boot option"
wait_for "Current HAL :          Multiprocessor HAL"
wait_for "HAL Recovery :         Present"
keys Escape

tries=0
while [ ! -s "$work/$session.exit" ]; do
  tries=$((tries + 1))
  [ "$tries" -le 100 ] || fail "halshift did not end"
  sleep 0.1
done
[ "$(cat "$work/$session.exit")" = 1 ] || fail "exit code $(cat "$work/$session.exit"), expected 1"
# The boot entry printed while the window was up comes out after it, on a clean screen.
wait_for "multi(0)disk(0)rdisk(0)partition(1)\\WINNT=\"Windows NT Workstation Version 4.00\""

drive_c="$work/$session/drives/C"
log=$(find "$drive_c" -iname halshift.log | head -n 1)
[ -n "$log" ] || fail "no activity log"
for text in "Interactive session beginning..." "HAL Recovery is enabled." \
            "The system is upgraded to Multiprocessor HAL."; do
  grep -qF -- "$text" "$log" || fail "the log lacks: $text"
done

system32="$drive_c/WINNT/System32"
media="$work/$session/drives/D/I386"
cmp -s "$system32/UPHAL.DLL" "$media/HAL.DLL" || fail "UPHAL.DLL is not the media's HAL.DLL"
[ -s "$system32/UPKERNEL.EXE" ] || fail "no UPKERNEL.EXE"
cmp -s "$system32/HAL.DLL" "$example/drives/C/WINNT/System32/HAL.DLL" && fail "HAL.DLL was not replaced"
grep -qF "[HAL Recovery Mode]" "$drive_c/BOOT.INI" || fail "BOOT.INI has no recovery entry"
grep -qF "/ORVRCV=1" "$drive_c/BOOT.INI" || fail "the recovery entry has no /ORVRCV=1"
[ -n "$(find "$drive_c" -maxdepth 1 -iname bootini.orv)" ] || fail "no BOOTINI.ORV backup"
grep -qF '"CurrentType"="Multiprocessor Free"' "$work/$session/registry.reg" || fail "CurrentType not set"

# The frames on other terminals. GNU screen's type, whose line-drawing set ncurses knows not to
# work with UTF-8, and NCURSES_NO_UTF8_ACS, which says the same of any terminal: box-drawing
# characters. A VT100 in the "C" locale: its own line-drawing set. A terminal type without
# line drawing (tmux's less its acsc, smacs and rmacs): ASCII.
terminfo="$work/terminfo"
mkdir "$terminfo"
infocmp -1 -x tmux-256color |
  sed 's/^tmux-256color|[^,]*,/halshift-no-lines|tmux without line drawing,/' |
  grep -vE '^[[:space:]]*(acsc|smacs|rmacs|enacs)=' > "$work/no-lines.src" &&
  tic -x -o "$terminfo" "$work/no-lines.src" ||
  fail "could not make the terminal type without line drawing"
while read -r name drawn environment; do
  start "$name" $environment
  check_frames "$drawn"
  echo "--- $name: frames drawn ($drawn) ---"
  screen | head -n 3
  tmux -S "$socket" kill-session -t "$session"
done <<EOF
screen-utf8 unicode TERM=screen LC_ALL=C.UTF-8
no-utf8-acs unicode TERM=vt100 LC_ALL=C.UTF-8 NCURSES_NO_UTF8_ACS=1
vt100 line-set TERM=vt100 LC_ALL=C
no-lines ascii TERMINFO=$terminfo TERM=halshift-no-lines LC_ALL=C
EOF

echo "PASS"
