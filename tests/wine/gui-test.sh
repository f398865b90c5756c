#!/bin/bash
# Runs the interactive window of the Windows build under Wine set to Windows NT 4.0, on a
# private X server, and checks that it appears, answers the keyboard and ends the session:
#
#   gui-test.sh WIN32_BUILD_DIR [SCREENSHOT_DIR]
#
# In a fresh throw-away prefix it starts halshift.exe without arguments, finds the main window
# by its title, takes a screenshot, closes it with Escape, and checks the exit code (1) and
# the log's "Interactive session beginning..." header. A second run selects the upgrade,
# presses Apply, confirms the caution and captures the source media prompt, then cancels.
# Screenshots go to SCREENSHOT_DIR (default: the work directory, removed at the end) as
# main-dialog.png and media-prompt.png.
#
# HALSHIFT_WINE_TIMEOUT  seconds allowed for each wine call (default 120)
# HALSHIFT_WINE_KEEP     when set, the work directory is kept and its path printed
#
# Prints "PASS name" or "FAIL name" per check, then "N passed, N failed"; exits 1 when any
# check failed, 2 on a usage error. Needs Xvfb, xdotool and ImageMagick's import.
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
if [ -z "$halshift_exe" ]; then
  echo "no halshift.exe below $win32_build" >&2
  exit 2
fi
for tool in Xvfb xdotool import wine; do
  command -v "$tool" >/dev/null || { echo "$tool is not installed" >&2; exit 2; }
done

passed=0
failed=0
work=$(mktemp -d "${TMPDIR:-/tmp}/halshift-gui.XXXXXX")
shots=${2:-$work}
mkdir -p "$shots"
prefix=$work/prefix
xvfb_pid=
app_pid=

# report and remove_work.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

cleanup() {
  # Only what this script started: its program, its prefix's server and its X server.
  [ -n "$app_pid" ] && kill "$app_pid" 2>/dev/null
  WINEPREFIX=$prefix timeout 30 wineserver -k >/dev/null 2>&1
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

# Waits until a window with exactly this title is shown; prints its id.
wait_window() {  # wait_window TITLE SECONDS
  local i id
  for ((i = 0; i < $2 * 2; i++)); do
    id=$(xdotool search --onlyvisible --name "^$1\$" 2>/dev/null | head -n 1)
    if [ -n "$id" ]; then
      echo "$id"
      return 0
    fi
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

start_halshift() {
  WINEPREFIX=$prefix timeout "$wine_timeout" wine "$halshift_exe" </dev/null >/dev/null 2>&1 &
  app_pid=$!
}

log_file() {
  find "$prefix/drive_c" -ipath "$prefix/drive_c/orvsystem/log/halshift.log" -type f 2>/dev/null |
    head -n 1
}

display=$(free_display) || { echo "no free X display" >&2; exit 2; }
Xvfb ":$display" -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
xvfb_pid=$!
export DISPLAY=:$display
for ((i = 0; i < 20; i++)); do
  xdotool getmouselocation >/dev/null 2>&1 && break
  sleep 0.5
done
export WINEARCH=win32 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="

WINEPREFIX=$prefix timeout "$wine_timeout" wineboot -i </dev/null >/dev/null 2>&1
WINEPREFIX=$prefix timeout "$wine_timeout" wineserver -w
WINEPREFIX=$prefix timeout "$wine_timeout" wine reg add 'HKEY_CURRENT_USER\Software\Wine' \
  /v Version /d nt40 /f </dev/null >/dev/null 2>&1

# --- the main window ----------------------------------------------------------------------

start_halshift
if window=$(wait_window "$main_title" 60); then
  report "main window appears" 0
  sleep 1
  import -window "$window" "$shots/main-dialog.png" 2>/dev/null
  [ -s "$shots/main-dialog.png" ]
  report "main window screenshot" $? "no $shots/main-dialog.png"
  xdotool windowactivate --sync "$window" >/dev/null 2>&1 || xdotool windowfocus "$window"
  xdotool key --window "$window" Escape
else
  report "main window appears" 1 "no window titled \"$main_title\" within 60 s"
fi
wait_exit 30
[ "$app_status" -eq 1 ]
report "closed with Escape, exit code 1" $? "exit code $app_status"
log=$(log_file)
[ -n "$log" ] && grep -q 'Interactive session beginning\.\.\.' "$log"
report "log has the interactive session header" $? "log: ${log:-missing}"

# --- the source media prompt --------------------------------------------------------------

start_halshift
if window=$(wait_window "$main_title" 60); then
  sleep 1
  xdotool windowactivate --sync "$window" >/dev/null 2>&1 || xdotool windowfocus "$window"
  # The focus starts on the selected choice, "Keep current HAL " (no firmware, so no count of
  # processors): two steps up select "Install a Multiprocessor HAL ", and Enter, with no push
  # button focused, is Apply.
  xdotool key --window "$window" Up Up
  xdotool key --window "$window" Return
  if caution=$(wait_window "$caution_title" 20); then
    report "caution before the media prompt" 0
    xdotool windowactivate --sync "$caution" >/dev/null 2>&1
    xdotool key --window "$caution" Return
  else
    report "caution before the media prompt" 1 "no window titled \"$caution_title\""
  fi
  if media=$(wait_window "$media_title" 20); then
    report "media prompt appears" 0
    sleep 1
    import -window root "$shots/media-prompt.png" 2>/dev/null
    [ -s "$shots/media-prompt.png" ]
    report "media prompt screenshot" $? "no $shots/media-prompt.png"
    xdotool windowactivate --sync "$media" >/dev/null 2>&1
    xdotool key --window "$media" Escape
    sleep 1
  else
    report "media prompt appears" 1 "no window titled \"$media_title\""
  fi
  # Cancelled: the main window is still there and closes as before.
  if window=$(wait_window "$main_title" 10); then
    xdotool windowactivate --sync "$window" >/dev/null 2>&1
    xdotool key --window "$window" Escape
  fi
fi
wait_exit 30
[ "$app_status" -eq 1 ]
report "session with a cancelled media prompt ends with 1" $? "exit code $app_status"

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
