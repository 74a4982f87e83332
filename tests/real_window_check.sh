#!/usr/bin/env bash
# The built program in a real X window: its title, its size, a screenshot, the About window
# opened through the Edit menu (its size, a screenshot, OK in its corner), and Ctrl+Q.
# Usage: real_window_check.sh PROGRAM OUTPUT_DIR
set -euo pipefail
program=$1
out=$2
# The X platform under Xvfb, whatever the caller set (the suite's other tests run offscreen,
# where no window would ever appear on the X server).
export QT_QPA_PLATFORM=xcb
inner() {
  "$program" &
  pid=$!
  wid=""
  for _ in $(seq 100); do
    wid=$(xdotool search --name '^Vantrel-9 Programmer$' 2>/dev/null | head -1 || true)
    [[ -n "$wid" ]] && break
    sleep 0.1
  done
  [[ -n "$wid" ]] || { echo "no window titled 'Vantrel-9 Programmer'"; kill $pid; exit 1; }
  xdotool search --sync --onlyvisible --name '^Vantrel-9 Programmer$' >/dev/null
  sleep 1  # let it paint
  eval "$(xdotool getwindowgeometry --shell "$wid")"
  echo "window $WIDTH x $HEIGHT"
  # The menu bar sits above the 750 x 572 content area.
  (( WIDTH == 750 )) || { echo "width $WIDTH, not 750"; kill $pid; exit 1; }
  (( HEIGHT - 572 >= 15 && HEIGHT - 572 <= 40 )) || { echo "height $HEIGHT: no 572 content area under a menu bar"; kill $pid; exit 1; }
  import -window "$wid" "$out/real_window.png"

  # About is the last item of the Edit menu: Alt+E opens the menu on its first item, Up
  # wraps round to the last, Return takes it. A loaded machine may lose the first keys.
  about_title='^About Kesmar-5 Programmer$'
  awid=""
  for _ in 1 2 3; do
    xdotool windowfocus --sync "$wid" 2>/dev/null || true
    xdotool key --clearmodifiers alt+e
    sleep 0.3
    xdotool key Up Return
    for _ in $(seq 30); do
      awid=$(xdotool search --onlyvisible --name "$about_title" 2>/dev/null | head -1 || true)
      [[ -n "$awid" ]] && break
      sleep 0.1
    done
    [[ -n "$awid" ]] && break
    xdotool key Escape Escape
  done
  [[ -n "$awid" ]] || { echo "the Edit menu's last item opened no About window"; kill $pid; exit 1; }
  sleep 1  # let it paint
  eval "$(xdotool getwindowgeometry --shell "$awid")"
  echo "About window $WIDTH x $HEIGHT"
  # Xvfb runs no window manager: the X window is the content area itself, with no frame
  # and no menu bar on this window.
  (( WIDTH == 548 && HEIGHT == 323 )) || { echo "About window $WIDTH x $HEIGHT, not 548 x 323"; kill $pid; exit 1; }
  import -window "$awid" "$out/about_window.png"
  # OK is the 68 x 20 button 9 px from the right and 20 px from the bottom: a click at
  # its middle closes the window only if it is there and on top.
  xdotool mousemove --window "$awid" $((548 - 9 - 34)) $((323 - 20 - 10)) click 1
  for _ in $(seq 30); do
    xdotool search --onlyvisible --name "$about_title" >/dev/null 2>&1 || break
    sleep 0.1
  done
  if xdotool search --onlyvisible --name "$about_title" >/dev/null 2>&1; then
    echo "a click on OK's place did not close the About window"; kill $pid; exit 1
  fi
  xdotool search --onlyvisible --name '^Vantrel-9 Programmer$' >/dev/null || { echo "OK closed the main window"; kill $pid; exit 1; }
  # A loaded machine may take a while to map and focus the window: try a few times.
  for _ in 1 2 3; do
    xdotool windowfocus --sync "$wid" 2>/dev/null || true
    xdotool key --clearmodifiers ctrl+q
    for _ in $(seq 50); do
      kill -0 $pid 2>/dev/null || break
      sleep 0.1
    done
    kill -0 $pid 2>/dev/null || break
  done
  if kill -0 $pid 2>/dev/null; then echo "Ctrl+Q did not end the program"; kill $pid; exit 1; fi
  wait $pid
  status=$?
  echo "exit status $status"
  exit $status
}
if [[ "${1:-}" != "--inner" && -z "${VANTREL_IN_XVFB:-}" ]]; then
  export VANTREL_IN_XVFB=1
  exec xvfb-run -a -s "-screen 0 1280x1024x24" "$0" "$program" "$out"
fi
inner
