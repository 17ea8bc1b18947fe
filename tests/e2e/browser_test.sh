#!/usr/bin/env bash
# End to end: the real program with its bundled software token, and headless Chromium loading
# a page from another origin that calls the service with fetch, as the bank's page does.
#   browser_test.sh <bin dir> <source dir of this test>
set -euo pipefail
bin=$1
here=$2
if ! command -v chromium >/dev/null || ! command -v certutil >/dev/null; then
  echo "chromium or certutil is not installed" >&2
  exit 1
fi
work=$(mktemp -d)
program_pid= server_pid= browser_pid=
cleanup() {
  for pid in $browser_pid $server_pid $program_pid; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
source "$(dirname "$0")/user_home.sh"
use_fresh_home "$work/home"
unset LD_LIBRARY_PATH

"$bin/Vemo_Server_Crypt" </dev/null >"$work/program.out" 2>&1 &
program_pid=$!
wait_for_service

# The user trusts the program's local CA once; Chromium reads the NSS database in HOME.
mkdir -p "$HOME/.pki/nssdb"
certutil -d "sql:$HOME/.pki/nssdb" -N --empty-password
certutil -d "sql:$HOME/.pki/nssdb" -A -n "Vemo_Server_Crypt local CA" -t "C,," \
  -i "$data/localhost-ca.pem"

page_port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
python3 "$here/page_server.py" "$here/bank_page.html" "$work/result.json" "$page_port" &
server_pid=$!
sleep 0.5

chromium --headless --no-sandbox --disable-gpu --disable-quic --no-first-run \
  --disable-background-networking --disable-component-update --disable-sync \
  --user-data-dir="$work/chromium" --window-size=900,600 \
  --screenshot="${VEMO_SCREENSHOT:-$work/page.png}" --virtual-time-budget=15000 \
  "http://127.0.0.1:$page_port/" >"$work/chromium.out" 2>&1 &
browser_pid=$!
for _ in $(seq 300); do
  [ -f "$work/result.json" ] && break
  sleep 0.1
done
if [ ! -f "$work/result.json" ]; then
  echo "the page reported nothing" >&2
  tail -20 "$work/chromium.out" >&2
  exit 1
fi
python3 - "$work/result.json" <<'PY'
import json, sys
r = json.load(open(sys.argv[1]))
print(json.dumps(r, ensure_ascii=False, indent=1)[:2000])
ok = lambda name, body: r[name].get("status") == 200 and r[name].get("body") == body
assert ok("checkLs", '{"status":"OK"}'), r["checkLs"]
assert ok("version", '{"status":"OK","version":"2.3.2"}'), r["version"]
assert ok("forget", '{"status":"OK"}'), r["forget"]
assert ok("badQuery", '{"error":"Ошибочный запрос","status":"OK"}'), r["badQuery"]
sign = json.loads(r["sign"]["body"])
assert sorted(sign) == ["sign", "status", "tokenId"] and sign["tokenId"] == "Avest", sign
assert sign["sign"].startswith("MII"), sign
assert r["checkLs"]["contentType"] == "application/json; charset=utf-8"
print("browser page: every check holds")
PY
grep -q "AvCmLogin retCode | 0" "$data/Vemo_Server_Crypt_Z.log"
