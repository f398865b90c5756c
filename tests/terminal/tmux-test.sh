#!/bin/sh
# The interactive window of the Linux build in a real terminal: a two-processor machine with the
# uniprocessor HAL is upgraded with the recovery entry through the keyboard, and the machine
# image is checked afterwards. With a PNG path, the main window as it first appears is drawn
# into that picture (render-screen.sh).
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
# A server of our own, so nothing of anybody else's tmux is touched.
socket="halshift-terminal-$$"
session="halshift-terminal-$$"
cleanup() {
  tmux -L "$socket" kill-session -t "$session" >/dev/null 2>&1
  tmux -L "$socket" kill-server >/dev/null 2>&1
  rm -rf "$work"
}
trap cleanup EXIT INT TERM

fail() {
  echo "FAIL: $*"
  echo "--- screen ---"
  tmux -L "$socket" capture-pane -p -t "$session" 2>/dev/null
  exit 1
}

screen() { tmux -L "$socket" capture-pane -p -t "$session"; }

# Polls the screen until it shows the text, for at most 10 seconds.
wait_for() {
  tries=0
  while ! screen | grep -qF -- "$1"; do
    tries=$((tries + 1))
    [ "$tries" -le 100 ] || fail "the screen never showed: $1"
    sleep 0.1
  done
}

keys() { tmux -L "$socket" send-keys -t "$session" "$@"; }

cp -R "$example" "$work/machine"
tmux -L "$socket" -f /dev/null new-session -d -s "$session" -x 80 -y 25 \
  "HALSHIFT_MACHINE='$work/machine' '$binary'; echo \$? > '$work/exit'; sleep 60"

wait_for "Orvane Hardware Abstraction Layer Utility"
wait_for "Installed Processors :"
echo "--- main window ---"
screen
for text in "Current HAL :          Uniprocessor HAL" "Installed Processors : 2" \
            "HAL Recovery :         Not Present" "recomends that you upgrade" \
            "(*) Install a Multiprocessor HAL" "[ ] Enable HAL Recovery boot option" "[< Apply >]"; do
  screen | grep -qF -- "$text" || fail "the main window does not show: $text"
done
if [ -n "$picture" ]; then
  tmux -L "$socket" capture-pane -e -p -t "$session" |
    bash "$source_dir/tests/terminal/render-screen.sh" "$picture" 80 ||
    fail "the screen could not be drawn into $picture"
fi

# The upgrade is preselected; Tab over the three radio buttons to the recovery box and mark it.
keys Tab Tab Tab Space
wait_for "[X] Enable HAL Recovery boot option"
keys Enter
wait_for "+- Caution -"
wait_for "ensure that the correct source media is used."
keys Enter
wait_for "+- Insert Source Media -"
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
while [ ! -s "$work/exit" ]; do
  tries=$((tries + 1))
  [ "$tries" -le 100 ] || fail "halshift did not end"
  sleep 0.1
done
[ "$(cat "$work/exit")" = 1 ] || fail "exit code $(cat "$work/exit"), expected 1"
# The boot entry printed while the window was up comes out after it, on a clean screen.
wait_for "multi(0)disk(0)rdisk(0)partition(1)\\WINNT=\"Windows NT Workstation Version 4.00\""

drive_c="$work/machine/drives/C"
log=$(find "$drive_c" -iname halshift.log | head -n 1)
[ -n "$log" ] || fail "no activity log"
for text in "Interactive session beginning..." "HAL Recovery is enabled." \
            "The system is upgraded to Multiprocessor HAL."; do
  grep -qF -- "$text" "$log" || fail "the log lacks: $text"
done

system32="$drive_c/WINNT/System32"
media="$work/machine/drives/D/I386"
cmp -s "$system32/UPHAL.DLL" "$media/HAL.DLL" || fail "UPHAL.DLL is not the media's HAL.DLL"
[ -s "$system32/UPKERNEL.EXE" ] || fail "no UPKERNEL.EXE"
cmp -s "$system32/HAL.DLL" "$example/drives/C/WINNT/System32/HAL.DLL" && fail "HAL.DLL was not replaced"
grep -qF "[HAL Recovery Mode]" "$drive_c/BOOT.INI" || fail "BOOT.INI has no recovery entry"
grep -qF "/ORVRCV=1" "$drive_c/BOOT.INI" || fail "the recovery entry has no /ORVRCV=1"
[ -n "$(find "$drive_c" -maxdepth 1 -iname bootini.orv)" ] || fail "no BOOTINI.ORV backup"
grep -qF '"CurrentType"="Multiprocessor Free"' "$work/machine/registry.reg" || fail "CurrentType not set"

echo "PASS"
