#!/bin/bash
# Runs the interactive window of the Windows build under Wine set to Windows NT 4.0, on a
# private X server with a window manager, checks that it appears, shows every label whole,
# answers the keyboard and ends the session, and takes the README's pictures of it:
#
#   gui-test.sh WIN32_BUILD_DIR [SCREENSHOT_DIR]
#
# The throw-away prefix stands for the example machine: two processors in the firmware's
# "!SIT" table (a physical-memory section made by make_physmem_section.exe), the uniprocessor
# HAL (Wine's own CurrentType), so that the window recommends the upgrade, Service Pack 6; and
# Windows NT 4.0's dialog font, "MS Shell Dlg" drawn as "MS Sans Serif" (Wine's own fonts,
# Debian's fonts-wine). openbox gives the windows their title bars and frames.
#
# The first run checks the labels of the main window against their templates (check_labels.exe),
# takes a picture, and closes the window with Escape: exit code 1 and the log's "Interactive
# session beginning..." header. The second presses Apply on the preselected upgrade, confirms
# the caution, checks the labels of the source media prompt and takes a picture of it over the
# main window, then cancels. The third maps "MS Shell Dlg" to "Tahoma", which makes a label
# wrap, and checks that the label check then fails. The fourth presses Help: Wine's help
# viewer must start on HALSHIFT.HLP beside the program at its contents, and quit when the
# window closes; then "winhlp32 -i ID" must open every topic that HALSHIFT.CNT lists. Pictures
# go to SCREENSHOT_DIR (default: the work directory, removed at the end) as main-dialog.png,
# media-prompt.png and help-window.png.
#
# HALSHIFT_WINE_TIMEOUT  seconds allowed for each wine call (default 120)
# HALSHIFT_WINE_KEEP     when set, the work directory is kept and its path printed
#
# Prints "PASS name" or "FAIL name" per check, then "N passed, N failed"; exits 1 when any
# check failed, 2 on a usage error. Needs Xvfb, openbox, xdotool, xprop, ImageMagick's import
# and convert, and Wine's fonts.
set -u

usage() {
  echo "usage: gui-test.sh WIN32_BUILD_DIR [SCREENSHOT_DIR]" >&2
  exit 2
}

[ $# -ge 1 ] && [ $# -le 2 ] || usage
win32_build=$(cd "$1" 2>/dev/null && pwd) || usage
wine_timeout=${HALSHIFT_WINE_TIMEOUT:-120}
main_title="Orvane Hardware Abstraction Layer Utility"
media_title="Insert Source Media"
caution_title="Caution"

halshift_exe=$(find "$win32_build" -name halshift.exe -type f | head -n 1)
check_labels_exe=$(find "$win32_build" -name check_labels.exe -type f | head -n 1)
physmem_exe=$(find "$win32_build" -name make_physmem_section.exe -type f | head -n 1)
if [ -z "$halshift_exe" ] || [ -z "$check_labels_exe" ] || [ -z "$physmem_exe" ]; then
  echo "no halshift.exe, check_labels.exe or make_physmem_section.exe below $win32_build" >&2
  exit 2
fi
for tool in Xvfb openbox xdotool xprop xwininfo import convert wine; do
  command -v "$tool" >/dev/null || { echo "$tool is not installed" >&2; exit 2; }
done
# Debian's fonts-wine; its "MS Sans Serif" is the font of Windows NT 4.0's dialogs.
wine_fonts=/usr/share/wine/fonts
if [ ! -f "$wine_fonts/sserife.fon" ]; then
  echo "Wine's own fonts are not installed ($wine_fonts, Debian's fonts-wine)" >&2
  exit 2
fi

passed=0
failed=0
work=$(mktemp -d "${TMPDIR:-/tmp}/halshift-gui.XXXXXX")
shots=${2:-$work}
mkdir -p "$shots"
prefix=$work/prefix
xvfb_pid=
wm_pid=
app_pid=

# report, remove_work and write_firmware_image.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

cleanup() {
  # Only what this script started: its program, its prefix's server, its window manager and
  # its X server.
  [ -n "$app_pid" ] && kill "$app_pid" 2>/dev/null
  WINEPREFIX=$prefix timeout 30 wineserver -k >/dev/null 2>&1
  [ -n "$wm_pid" ] && kill "$wm_pid" 2>/dev/null && wait "$wm_pid" 2>/dev/null
  [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null && wait "$xvfb_pid" 2>/dev/null
  remove_work
}
trap cleanup EXIT


# A display number that no X server holds.
free_display() {
  local n
  for n in $(seq 90 150); do
    if [ ! -e "/tmp/.X$n-lock" ] && [ ! -e "/tmp/.X11-unix/X$n" ]; then
      echo "$n"
      return 0
    fi
  done
  return 1
}

# Waits until a window with exactly this title is shown; prints its id. Wine may replace a
# new window's X window once the window manager has taken it, so an id counts when a second
# look half a second later finds the same.
wait_window() {  # wait_window TITLE SECONDS
  local i id seen=
  for ((i = 0; i < $2 * 2; i++)); do
    id=$(xdotool search --onlyvisible --name "^$1\$" 2>/dev/null | head -n 1)
    if [ -n "$id" ] && [ "$id" = "$seen" ]; then
      echo "$id"
      return 0
    fi
    seen=$id
    sleep 0.5
  done
  return 1
}

# Waits for the program to end; leaves its exit code in $app_status (124 when it did not).
wait_exit() {  # wait_exit SECONDS
  local i
  for ((i = 0; i < $1 * 2; i++)); do
    if ! kill -0 "$app_pid" 2>/dev/null; then
      wait "$app_pid"
      app_status=$?
      app_pid=
      return 0
    fi
    sleep 0.5
  done
  app_status=124
  return 1
}

in_prefix() {
  WINEPREFIX=$prefix timeout "$wine_timeout" "$@" </dev/null
}

start_halshift() {
  WINEPREFIX=$prefix timeout "$wine_timeout" wine "$halshift_exe" </dev/null >/dev/null 2>&1 &
  app_pid=$!
}

# Gives the window with this title the focus, through the window manager, and types the keys
# (if any) into it as a keyboard would.
press() {  # press TITLE KEY...
  local title=$1 id
  shift
  id=$(wait_window "$title" 10) || return 1
  xdotool windowactivate --sync "$id" >/dev/null 2>&1 || return 1
  [ $# -eq 0 ] || xdotool key "$@"
}

log_file() {
  find "$prefix/drive_c" -ipath "$prefix/drive_c/orvsystem/log/halshift.log" -type f 2>/dev/null |
    head -n 1
}

# The dialog font as the screenshots show it: "MS Shell Dlg" is a name that the registry's
# FontSubstitutes key maps to a real face, "MS Sans Serif" on Windows NT 4.0.
map_dialog_font() {  # map_dialog_font FACE
  in_prefix wine reg add 'HKEY_LOCAL_MACHINE\Software\Microsoft\Windows NT\CurrentVersion\FontSubstitutes' \
    /v 'MS Shell Dlg' /d "$1" /f >/dev/null 2>&1
}

# The labels of a shown dialog against its template; the output is left in $labels.
check_labels() {  # check_labels TITLE [EMPHASIS-ID...]
  local status
  labels=$(in_prefix wine "$check_labels_exe" "$@" 2>&1)
  status=$?
  labels=${labels//$'\r'/}
  return $status
}

# A window with the frame the window manager gives it, as "X Y WIDTH HEIGHT" on the screen.
frame_rect() {  # frame_rect WINDOW
  local x= y= width= height= extents geometry left=0 right=0 top=0 bottom=0
  geometry=$(xwininfo -id "$1" 2>/dev/null) || return 1
  eval "$(awk -F: '
    /Absolute upper-left X/ { print "x=" $2 } /Absolute upper-left Y/ { print "y=" $2 }
    /Width/ { print "width=" $2 } /Height/ { print "height=" $2 }' <<<"$geometry" | tr -d ' ')"
  extents=$(xprop -id "$1" _NET_FRAME_EXTENTS 2>/dev/null | sed -n 's/.*= *//p' | tr -d ' ')
  [ -n "$extents" ] && IFS=, read -r left right top bottom <<<"$extents"
  echo "$((x - left)) $((y - top)) $((width + left + right)) $((height + top + bottom))"
}

# The part of the screen that two windows, found by their titles, cover together with their
# frames, saved as a PNG.
screenshot_of() {  # screenshot_of FILE TITLE TITLE
  local a b ax ay aw ah bx by bw bh left top right bottom
  a=$(wait_window "$2" 10) && b=$(wait_window "$3" 10) || return 1
  read -r ax ay aw ah <<<"$(frame_rect "$a")" && [ -n "$ah" ] || return 1
  read -r bx by bw bh <<<"$(frame_rect "$b")" && [ -n "$bh" ] || return 1
  left=$((ax < bx ? ax : bx)); top=$((ay < by ? ay : by))
  right=$((ax + aw > bx + bw ? ax + aw : bx + bw)); bottom=$((ay + ah > by + bh ? ay + ah : by + bh))
  import -window root "$work/screen.png" 2>/dev/null &&
    convert "$work/screen.png" -crop "$((right - left))x$((bottom - top))+$left+$top" +repage "$1"
}

display=$(free_display) || { echo "no free X display" >&2; exit 2; }
Xvfb ":$display" -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
xvfb_pid=$!
export DISPLAY=:$display
for ((i = 0; i < 20; i++)); do
  xdotool getmouselocation >/dev/null 2>&1 && break
  sleep 0.5
done
openbox --sm-disable >/dev/null 2>&1 &
wm_pid=$!
for ((i = 0; i < 20; i++)); do
  xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q 'window id' && break
  sleep 0.5
done
export WINEARCH=win32 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="

WINEPREFIX=$prefix timeout "$wine_timeout" wineboot -i </dev/null >/dev/null 2>&1
WINEPREFIX=$prefix timeout "$wine_timeout" wineserver -w
in_prefix wine reg add 'HKEY_CURRENT_USER\Software\Wine' /v Version /d nt40 /f >/dev/null 2>&1
# Windows keeps its fonts in its Fonts folder; Debian's Wine 8 does not look for its own ones
# where fonts-wine puts them, so they are copied there.
cp "$wine_fonts"/* "$prefix/drive_c/windows/Fonts/"
map_dialog_font 'MS Sans Serif'
# Service Pack 6, as on the example machine, names its CD in the media prompt.
in_prefix wine reg add 'HKEY_LOCAL_MACHINE\System\CurrentControlSet\Control\Windows' \
  /v CSDVersion /t REG_DWORD /d 0x600 /f >/dev/null 2>&1
# Two processors: the section lives as long as the prefix's server, kept up until cleanup.
WINEPREFIX=$prefix timeout 30 wineserver -p
mkdir -p "$prefix/drive_c/halshift-test"
write_firmware_image "$prefix/drive_c/halshift-test/firmware.bin" 2
in_prefix wine "$physmem_exe" 'C:\halshift-test\firmware.bin' >/dev/null 2>&1
report "two-processor firmware section" $? "make_physmem_section.exe failed"

# The semi-bold values of the main window.
main_emphasis=(1001 1003 1010)

# --- the main window ----------------------------------------------------------------------

start_halshift
if wait_window "$main_title" 60 >/dev/null; then
  report "main window appears" 0
  press "$main_title"
  xdotool mousemove 1000 740
  sleep 1
  check_labels "$main_title" "${main_emphasis[@]}"
  report "main window labels fit their templates" $? "$labels"
  grep -q '^fits label 1004 "Orvane recomends that you upgrade' <<<"$labels"
  report "main window recommends the upgrade" $? "$(grep 'label 1004' <<<"$labels")"
  rm -f "$shots/main-dialog.png"
  window=$(wait_window "$main_title" 10) &&
    import -frame -window "$window" "$shots/main-dialog.png" 2>/dev/null
  report "main window screenshot" $? "no $shots/main-dialog.png"
  press "$main_title" Escape
else
  report "main window appears" 1 "no window titled \"$main_title\" within 60 s"
fi
wait_exit 30
[ "$app_status" -eq 1 ]
report "closed with Escape, exit code 1" $? "exit code $app_status"
log=$(log_file)
[ -n "$log" ] && grep -q 'Interactive session beginning\.\.\.' "$log"
report "log has the interactive session header" $? "log: ${log:-missing}"
[ -n "$log" ] && grep -q $'^Installed Processors:       2\r$' "$log"
report "log counts two processors" $? "$(grep -a Processors "${log:-/dev/null}")"

# --- the source media prompt --------------------------------------------------------------

start_halshift
if wait_window "$main_title" 60 >/dev/null; then
  sleep 1
  # The focus starts on the preselected "Install a Multiprocessor HAL ", and Enter, with no
  # push button focused, is Apply.
  press "$main_title" Return
  if wait_window "$caution_title" 20 >/dev/null; then
    report "caution before the media prompt" 0
    sleep 1
    press "$caution_title" Return
  else
    report "caution before the media prompt" 1 "no window titled \"$caution_title\""
  fi
  if wait_window "$media_title" 20 >/dev/null; then
    report "media prompt appears" 0
    press "$media_title"
    xdotool mousemove 1000 740
    # The main window repaints what the caution covered.
    sleep 2
    check_labels "$media_title"
    report "media prompt labels fit their templates" $? "$labels"
    rm -f "$shots/media-prompt.png"
    screenshot_of "$shots/media-prompt.png" "$main_title" "$media_title"
    report "media prompt screenshot" $? "no $shots/media-prompt.png"
    press "$media_title" Escape
    sleep 1
  else
    report "media prompt appears" 1 "no window titled \"$media_title\""
  fi
  # Cancelled: the main window is still there and closes as before.
  press "$main_title" Escape
fi
wait_exit 30
[ "$app_status" -eq 1 ]
report "session with a cancelled media prompt ends with 1" $? "exit code $app_status"

# --- a clipped label is found -------------------------------------------------------------

# Tahoma, Wine's own choice for "MS Shell Dlg", is wider than MS Sans Serif: "Installed
# Processors :" no longer fits on its line.
map_dialog_font Tahoma
start_halshift
if wait_window "$main_title" 60 >/dev/null; then
  sleep 1
  check_labels "$main_title" "${main_emphasis[@]}"
  status=$?
  [ $status -eq 1 ] && grep -q '^CLIPPED label' <<<"$labels"
  report "label check finds the labels clipped in Tahoma" $? "exit code $status:" "$labels"
  press "$main_title" Escape
else
  report "label check finds the labels clipped in Tahoma" 1 "no window titled \"$main_title\""
fi
wait_exit 30
map_dialog_font 'MS Sans Serif'

# --- the help file ------------------------------------------------------------------------

# The help file that the build writes beside halshift.exe, where Help looks for it.
help_file=$(dirname "$halshift_exe")/HALSHIFT.HLP
help_contents=$(dirname "$halshift_exe")/HALSHIFT.CNT
[ -f "$help_file" ] && [ -f "$help_contents" ]
report "HALSHIFT.HLP and HALSHIFT.CNT beside halshift.exe" $? "not in $(dirname "$halshift_exe")"

# Wine's help viewer, winhlp32, titles its window "Wine Help"; it is found by its class.
wait_viewer() {  # wait_viewer SECONDS: prints the viewer window's id
  local i id seen=
  for ((i = 0; i < $1 * 2; i++)); do
    id=$(xdotool search --onlyvisible --class '^winhlp32\.exe$' 2>/dev/null | head -n 1)
    if [ -n "$id" ] && [ "$id" = "$seen" ]; then
      echo "$id"
      return 0
    fi
    seen=$id
    sleep 0.5
  done
  return 1
}
viewer_gone() {  # viewer_gone SECONDS
  local i
  for ((i = 0; i < $1 * 2; i++)); do
    [ -z "$(xdotool search --onlyvisible --class '^winhlp32\.exe$' 2>/dev/null)" ] && return 0
    sleep 0.5
  done
  return 1
}
# Pixels of two pictures of the same size that differ by more than a tenth.
differing_pixels() {  # differing_pixels A B
  compare -metric AE -fuzz 10% "$1" "$2" null: 2>&1 | sed 's/[^0-9].*//'
}

# The Help button (Alt+H) calls WinHelpA with HELP_FINDER, for which winhlp32 shows the
# contents topic; closing the window quits the viewer (HELP_QUIT).
start_halshift
if wait_window "$main_title" 60 >/dev/null; then
  sleep 1
  press "$main_title" alt+h
  if viewer=$(wait_viewer 30); then
    report "Help starts the help viewer" 0
    xdotool mousemove 1000 740
    sleep 2
    rm -f "$shots/help-window.png"
    import -frame -window "$viewer" "$shots/help-window.png" 2>/dev/null &&
      import -window "$viewer" "$work/help-button.png" 2>/dev/null
    report "help window screenshot" $? "no $shots/help-window.png"
  else
    report "Help starts the help viewer" 1 "no winhlp32 window within 30 s"
  fi
  press "$main_title" Escape
fi
wait_exit 30
[ "$app_status" -eq 1 ]
report "session with the help viewer ends with 1" $? "exit code $app_status"
viewer_gone 20
report "closing the main window quits the help viewer" $?

# winhlp32 -i ID opens the topic of a context id; a missing one makes it say "Page of hash
# ... not found" on Wine's error channel. Every topic of the contents file opens, and one that
# the file does not have is reported.
help_path=$(in_prefix wine winepath -w "$help_file" 2>/dev/null | tr -d '\r')
open_topic() {  # open_topic ID PICTURE: leaves Wine's errors in $work/topic.err
  WINEPREFIX=$prefix WINEDEBUG=err+winhelp timeout "$wine_timeout" wine winhlp32 -i "$1" "$help_path" \
    </dev/null >/dev/null 2>"$work/topic.err" &
  app_pid=$!
  local viewer status=0
  if viewer=$(wait_viewer 30); then
    sleep 1
    [ -z "$2" ] || import -window "$viewer" "$2" 2>/dev/null
  else
    status=1
  fi
  kill "$app_pid" 2>/dev/null
  wait "$app_pid" 2>/dev/null
  app_pid=
  viewer_gone 20
  return $status
}
topics=$(sed -n 's/^[0-9][0-9]* .*=\(.*\)$/\1/p' "$help_contents" | tr -d '\r')
[ "$(wc -w <<<"$topics")" -ge 20 ]
report "HALSHIFT.CNT lists the topics" $? "$topics"
unopened=()
for topic in $topics; do
  picture=
  [ "$topic" = Top ] && picture=$work/help-top.png
  [ "$topic" = what_it_does ] && picture=$work/help-topic.png
  if ! open_topic "$topic" "$picture" || grep -q 'not found' "$work/topic.err"; then
    unopened+=("$topic: $(grep 'not found' "$work/topic.err" | head -n 1)")
  fi
done
[ ${#unopened[@]} -eq 0 ]
report "winhlp32 -i opens every topic of HALSHIFT.CNT" $? "${unopened[@]}"
open_topic no_such_topic ""
grep -q 'not found' "$work/topic.err"
report "winhlp32 -i with an unknown id is reported" $? "$(cat "$work/topic.err")"
# The Help button's window shows what "winhlp32 -i Top" shows, the contents, and not a topic.
same=$(differing_pixels "$work/help-button.png" "$work/help-top.png")
other=$(differing_pixels "$work/help-button.png" "$work/help-topic.png")
[ -n "$same" ] && [ -n "$other" ] && [ $((same * 20)) -lt "$other" ]
report "Help opens the help file at its contents" $? \
  "pixels differing from the contents: ${same:-?}, from the first topic: ${other:-?}"

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
