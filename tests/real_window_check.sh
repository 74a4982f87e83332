#!/usr/bin/env bash
# The built program in a real X window: its title, its size, a screenshot, and Ctrl+Q.
# Usage: real_window_check.sh PROGRAM OUTPUT_DIR
set -euo pipefail
program=$1
out=$2
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
