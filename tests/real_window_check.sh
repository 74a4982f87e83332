#!/usr/bin/env bash
# The built program in a real X window: its title, its size, a screenshot, the About window
# opened through the Edit menu (its size, a screenshot, OK in its corner) and Ctrl+Q. Then
# the program on a device that answers nothing (PROGRAM_ON_PORT on SILENT_PORT's
# pseudo-terminal, never a device of this machine): a refusal box during an upload that
# waits (centred on the window, a screenshot), and Ctrl+Q, which ends the program with the
# upload still waiting.
# Usage: real_window_check.sh PROGRAM OUTPUT_DIR PROGRAM_ON_PORT SILENT_PORT
set -euo pipefail
program=$1
out=$2
program_on_port=$3
silent_port=$4
# The X platform under Xvfb, whatever the caller set (the suite's other tests run offscreen,
# where no window would ever appear on the X server).
export QT_QPA_PLATFORM=xcb
inner() {
  "$program" &
  pid=$!
  find_window
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

  quit_check

  # A refusal box: a .gen upload whose erase nobody answers, then "Gen Version". The upload
  # sends its erase command to the port the program opened at start-up, so the program
  # runs here with its port list and lock folder replaced: its only port is a
  # pseudo-terminal that drops what it is sent. No device on this machine, an instrument
  # least of all, is told to erase.
  locks=$(mktemp -d)
  exec {port_out}< <(exec "$silent_port")
  port_pid=$!
  trap 'kill $port_pid 2>/dev/null || true; rm -rf "$locks"' EXIT
  device=""
  read -r -t 10 device <&"$port_out" || true
  [[ "$device" == /dev/pts/* ]] || { echo "the silent port named no pseudo-terminal: '$device'"; exit 1; }
  "$program_on_port" "$device" "$locks" &
  pid=$!
  find_window
  has_device() {
    local fd
    for fd in /proc/$pid/fd/*; do
      [[ "$(readlink "$fd" 2>/dev/null || true)" == "$device" ]] && return 0
    done
    return 1
  }
  for _ in $(seq 100); do
    has_device && break
    sleep 0.1
  done
  has_device || { echo "the program did not open $device"; kill $pid; exit 1; }
  check_refusal_box
  quit_check
}

# Waits until the main window of the program just started is shown; sets wid.
find_window() {
  wid=""
  for _ in $(seq 100); do
    wid=$(xdotool search --name '^Vantrel-9 Programmer$' 2>/dev/null | head -1 || true)
    [[ -n "$wid" ]] && break
    sleep 0.1
  done
  [[ -n "$wid" ]] || { echo "no window titled 'Vantrel-9 Programmer'"; kill $pid; exit 1; }
  xdotool search --sync --onlyvisible --name '^Vantrel-9 Programmer$' >/dev/null
  sleep 1  # let it paint
}

# The box stands centred on the main window, whatever frame Qt supposes round it.
# Needs wid, pid and out of inner.
check_refusal_box() {
  eval "$(xdotool getwindowgeometry --shell "$wid")"
  main_x=$X main_y=$Y main_w=$WIDTH main_h=$HEIGHT
  menu=$((main_h - 572))
  gen="$out/refusal_check.gen"
  printf 'S9030000FC\r\n' > "$gen"
  others() { xdotool search --onlyvisible --name '.' 2>/dev/null | grep -vx "$wid" || true; }
  # Clicks the content area's X, Y until another window shows (a loaded machine may lose a
  # click); prints that window.
  click_for_window() {
    local found=""
    for _ in 1 2 3; do
      xdotool mousemove --window "$wid" "$1" $((menu + $2)) click 1
      for _ in $(seq 30); do
        found=$(others | head -1)
        [[ -n "$found" ]] && break
        sleep 0.1
      done
      [[ -n "$found" ]] && break
    done
    echo "$found"
  }
  # "Select/Send .gen File": 160 x 20 at (433, 195) in the content area.
  dwid=$(click_for_window $((433 + 80)) $((195 + 10)))
  [[ -n "$dwid" ]] || { echo "the .gen button opened no file dialog"; kill $pid; exit 1; }
  sleep 0.5
  xdotool windowfocus --sync "$dwid" 2>/dev/null || true
  xdotool type --delay 10 "$gen"
  xdotool key Return
  for _ in $(seq 30); do
    [[ -z "$(others)" ]] && break
    sleep 0.1
  done
  [[ -z "$(others)" ]] || { echo "the file dialog did not close on Return"; kill $pid; exit 1; }
  # "Gen Version": 94 x 20 at (162, 278).
  bwid=$(click_for_window $((162 + 47)) $((278 + 10)))
  [[ -n "$bwid" ]] || { echo "no refusal box while the .gen upload waits"; kill $pid; exit 1; }
  sleep 0.5  # let it paint
  eval "$(xdotool getwindowgeometry --shell "$bwid")"
  echo "refusal box $WIDTH x $HEIGHT at $X, $Y over the window's $main_w x $main_h at $main_x, $main_y"
  import -window root "$out/refusal_box.png"
  dx=$(( (2 * X + WIDTH) - (2 * main_x + main_w) ))
  dy=$(( (2 * Y + HEIGHT) - (2 * main_y + main_h) ))
  (( dx >= -4 && dx <= 4 && dy >= -4 && dy <= 4 )) ||
    { echo "the refusal box is off the main window's centre by ($((dx / 2)), $((dy / 2)))"; kill $pid; exit 1; }
  xdotool windowfocus --sync "$bwid" 2>/dev/null || true
  xdotool key Return
  for _ in $(seq 30); do
    [[ -z "$(others)" ]] && break
    sleep 0.1
  done
  [[ -z "$(others)" ]] || { echo "Return did not close the refusal box"; kill $pid; exit 1; }
  rm -f "$gen"
}

quit_check() {
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
  status=0
  wait $pid || status=$?
  echo "exit status $status"
  (( status == 0 )) || exit $status
}
if [[ "${1:-}" != "--inner" && -z "${VANTREL_IN_XVFB:-}" ]]; then
  export VANTREL_IN_XVFB=1
  exec xvfb-run -a -s "-screen 0 1280x1024x24" "$0" "$@"
fi
inner
