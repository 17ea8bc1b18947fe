#!/usr/bin/env bash
# The Enigma token's password as a user types it: the real program on an X display (Xvfb)
# with the scripted Enigma signer and a running fake observer. A signing opens the dialog;
# the typed password and Enter sign; a second signing within 60 s asks nothing; after
# "forget" the dialog comes again and Escape answers that the user cancelled. A screenshot of
# the dialog is left in the artifacts folder.
#   password_dialog_test.sh <bin dir> <artifacts dir>
set -euo pipefail
bin=$(realpath "$1")
artifacts=$2
mkdir -p "$artifacts"
source "$(dirname "$0")/user_home.sh"
new_work
use_fresh_home "$work/home"
unset QT_QPA_PLATFORM WAYLAND_DISPLAY
fail() { echo "FAILED: $*" >&2; exit 1; }
start_display "$work"
# Under LeakSanitizer, the X display's libraries (libdbus, the platform plugin that Qt unloads
# at exit) leave allocations that cannot be told apart from ours; our own code's leaks are
# checked by the offscreen GUI tests and the integration tests.
export ASAN_OPTIONS="${ASAN_OPTIONS:-}${ASAN_OPTIONS:+:}detect_leaks=0"

# The Enigma side: the scripted signer wants "secret"; the observer runs.
export LD_LIBRARY_PATH=$bin/fakes VEMO_FAKE_DIR=$work/fake
mkdir -p "$VEMO_FAKE_DIR" "$work/enigma/PacMcard" "$data"
echo "sign_Enigma.password=secret" >"$VEMO_FAKE_DIR/script"
: >"$work/enigma/PacMcard/sign.exe"
cp "$bin/fakes/observer/MCardObserver.exe" "$work/enigma/"
"$work/enigma/MCardObserver.exe" &
pids+=($!)
printf '[Vemo_Server_Crypt Settings]\r\ndefaultProvider=\xdd\xed\xe8\xe3\xec\xe0\r\n' \
  >"$data/Vemo_Server_Crypt.ini"  # "Энигма" in code page 1251

"$bin/Vemo_Server_Crypt" >"$work/program.out" 2>&1 &
pids+=($!)
wait_for_service

title='^Авторизация пользователя Enigma / Enigma2$'
sign() {
  printf 'document' | base64 -w0 | curl -s --max-time 60 --cacert "$data/localhost-ca.pem" \
    --data-binary @- 'https://localhost:9009/?action=getDocSign'
}
dialog() { xdotool search --onlyvisible --name "$title" | head -1; }

# Escape: the user cancelled.
sign >"$work/cancelled" &
until_true dialog || fail "no password dialog"
window=$(dialog)
# It takes the keyboard by itself: the keys go to it.
until_true bash -c "[ \"\$(xdotool getwindowfocus)\" = $window ]" || fail "the dialog has no focus"
xdotool key Escape
wait %%
[ "$(cat "$work/cancelled")" = \
  '{"error":"Подпись токеном Энигма отменена пользователем","errorCode":222,"status":"OK"}' ] ||
  fail "Escape: $(cat "$work/cancelled")"

# The password typed and Enter: signed.
sign >"$work/signed" &
until_true bash -c "[ -n \"\$(xdotool search --onlyvisible --name '$title')\" ]" ||
  fail "no second password dialog"
window=$(dialog)
until_true bash -c "[ \"\$(xdotool getwindowfocus)\" = $window ]" || fail "the dialog has no focus"
sleep 0.3
import -window "$window" "$artifacts/password_dialog.png"
xdotool type --delay 20 secret
xdotool key Return
wait %%
case $(cat "$work/signed") in
  '{"sign":"'*'","status":"OK","tokenId":"Enigma"}') ;;
  *) fail "signing: $(cat "$work/signed")" ;;
esac

# Within 60 s the password is kept: no dialog.
case $(sign) in '{"sign":"'*) ;; *) fail "second signing" ;; esac
[ -z "$(dialog)" ] || fail "a dialog for the second signing"
echo "password dialog: every check holds"
