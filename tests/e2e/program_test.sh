#!/usr/bin/env bash
# The program as a user runs it: start, a second copy, requests with curl, the end.
#   program_test.sh <bin dir>
set -euo pipefail
bin=$1
work=$(mktemp -d)
first=
cleanup() {
  [ -n "$first" ] && kill "$first" 2>/dev/null || true
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
source "$(dirname "$0")/user_home.sh"
use_fresh_home "$work/home"
unset LD_LIBRARY_PATH
fail() { echo "FAILED: $*" >&2; exit 1; }

cd "$work"
"$bin/Vemo_Server_Crypt" </dev/null >first.out 2>&1 &
first=$!
wait_for_service
[ "$(curl -s --cacert "$data/localhost-ca.pem" 'https://localhost:9009/?action=checkLs')" = \
  '{"status":"OK"}' ] || fail "checkLs"
grep -q "Vemo_Server_Crypt запущен: Авест" first.out || fail "start line"

# A second copy tells the user and ends with exit code 0; the first goes on serving.
set +e
timeout 20 "$bin/Vemo_Server_Crypt" </dev/null >second.out 2>&1
second_rc=$?
set -e
[ "$second_rc" -eq 0 ] || fail "second copy ended with $second_rc"
grep -q "Уже запущена копия Vemo_Server_Crypt" second.out || fail "second copy message"
[ "$(curl -s --cacert "$data/localhost-ca.pem" 'https://[::1]:9009/?action=version')" = \
  '{"status":"OK","version":"2.3.2"}' ] || fail "first copy after the second"

# It listens on the loopback addresses only (seen in the kernel's socket tables, so no
# traffic goes anywhere else).
listeners=$(awk '$4 == "0A" && $2 ~ /:2331$/ {print $2}' /proc/net/tcp /proc/net/tcp6)
[ -n "$listeners" ] || fail "no listener on 9009"
for address in $listeners; do
  case $address in
    0100007F:2331 | 00000000000000000000000001000000:2331) ;;
    *) fail "listening on $address" ;;
  esac
done

# Signing with the bundled software token, then the end: the token is logged out.
reply=$(printf 'document' | base64 -w0 | curl -s --cacert "$data/localhost-ca.pem" \
  --data-binary @- 'https://localhost:9009/?action=getDocSign')
case $reply in '{"sign":"MII'*'","status":"OK","tokenId":"Avest"}') ;; *) fail "sign: $reply" ;; esac
kill -TERM "$first"
set +e
wait "$first"
first_rc=$?
set -e
first=
[ "$first_rc" -eq 0 ] || fail "program ended with $first_rc"
grep -q "AvCmLogout retCode | 0" "$data/Vemo_Server_Crypt_Z.log" || fail "logout at exit"
[ -f "$data/Vemo_Server_Crypt.ini" ] || fail "settings file created"
echo "program: every check holds"
