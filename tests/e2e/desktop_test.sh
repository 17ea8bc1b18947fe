#!/usr/bin/env bash
# The program on a real X display (Xvfb), as a desktop user meets it: without a tray its window
# stays on screen; a tray host started later gets the icon; with a tray it starts hidden with a
# docked icon; a second copy says so and ends with 0. Screenshots of the main window, the
# settings dialog and the About box are left in the artifacts folder.
#   desktop_test.sh <bin dir> <artifacts dir>
set -euo pipefail
bin=$(realpath "$1")
artifacts=$2
mkdir -p "$artifacts"
source "$(dirname "$0")/user_home.sh"
new_work
use_fresh_home "$work/home"
unset LD_LIBRARY_PATH QT_QPA_PLATFORM WAYLAND_DISPLAY
fail() { echo "FAILED: $*" >&2; exit 1; }

start_display "$work"
# Under LeakSanitizer, the X display's libraries (libdbus, the platform plugin that Qt unloads
# at exit) leave allocations that cannot be told apart from ours; our own code's leaks are
# checked by the offscreen GUI tests and the integration tests.
export ASAN_OPTIONS="${ASAN_OPTIONS:-}${ASAN_OPTIONS:+:}detect_leaks=0"
main_window() { xdotool search --onlyvisible --name '^Vemo_Server_Crypt$' | head -1; }
# The icon's window inside the tray host's panel, when it is docked there.
docked_icon() {
  local panel
  panel=$(xdotool search --name '^panel$' 2>/dev/null | head -1)
  [ -n "$panel" ] || return 1
  xwininfo -tree -id "$panel" | awk '/"Vemo_Server_Crypt": \(/ {print $1; exit}' | grep .
}
icon_docked() { docked_icon >/dev/null; }
start_program() {
  "$bin/Vemo_Server_Crypt" >"$work/$1.out" 2>&1 &
  program=$!
  pids+=($program)
  wait_for_service
}
stop_program() {
  kill -TERM "$program"
  wait "$program" || fail "program ended with $?"
}

cd "$work"
# No tray on this desktop: the window is the way in.
start_program first
until_true main_window || fail "no visible main window without a tray"
import -window "$(main_window)" "$artifacts/main_window.png"

# A tray host that comes later gets the icon.
trayer --edge top --align right --widthtype request --height 24 >/dev/null 2>&1 &
pids+=($!)
until_true icon_docked || fail "the icon did not dock in a tray started later"

# The About box from the window's context menu, and the settings dialog from the tray menu.
window=$(main_window)
xdotool mousemove --window "$window" 20 20 click 3
sleep 0.5
xdotool key Down Return
until_true xdotool search --onlyvisible --name '^О программе Vemo_Server_Crypt$' ||
  fail "no About box"
about=$(xdotool search --onlyvisible --name '^О программе Vemo_Server_Crypt$' | head -1)
sleep 0.3
import -window "$about" "$artifacts/about_box.png"
xdotool windowfocus "$about" key Escape
until_true bash -c "! xdotool search --onlyvisible --name '^О программе Vemo_Server_Crypt\$'" ||
  fail "About box still open"
stop_program

# With a tray: hidden at start, icon docked.
start_program second
until_true icon_docked || fail "no docked icon"
sleep 0.5
[ -z "$(main_window)" ] || fail "a window is visible at start"

# The tray menu: "Настройки..." is its fourth item.
icon=$(docked_icon)
xdotool mousemove --window "$icon" 5 5 click 3
sleep 0.5
xdotool key Down Down Down Down Return
until_true xdotool search --onlyvisible --name '^Настройки Vemo_Server_Crypt$' ||
  fail "no settings dialog"
settings=$(xdotool search --onlyvisible --name '^Настройки Vemo_Server_Crypt$' | head -1)
sleep 0.3
import -window "$settings" "$artifacts/settings_dialog.png"
xdotool windowfocus "$settings" key Escape

# A second copy tells the user and ends with 0; the first goes on serving.
"$bin/Vemo_Server_Crypt" >"$work/copy.out" 2>&1 &
copy=$!
until_true xdotool search --onlyvisible --name '^Vemo_Server_Crypt$' || fail "no message box"
box=$(xdotool search --onlyvisible --name '^Vemo_Server_Crypt$' | head -1)
import -window "$box" "$artifacts/second_copy.png"
xdotool windowfocus "$box" key Return
set +e
timeout 20 tail --pid="$copy" -f /dev/null
wait "$copy"
copy_rc=$?
set -e
[ "$copy_rc" -eq 0 ] || fail "second copy ended with $copy_rc"
curl -sf --cacert "$data/localhost-ca.pem" 'https://localhost:9009/?action=checkLs' >/dev/null ||
  fail "first copy after the second"
stop_program
echo "desktop: every check holds"
