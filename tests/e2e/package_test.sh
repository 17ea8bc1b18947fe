#!/usr/bin/env bash
# The bank customer's whole path: the Debian package installs with dpkg; the program, started
# by an ordinary user with a fresh home, serves and has added its local CA to that user's
# Chromium database by itself; headless Chromium, trusting nothing it was not told to (no
# certificate flag), loads the bank page from https://ibank.tramontel.example:PORT, a public
# address, and reads checkLs, version and a signature that `openssl cms -verify` accepts.
# Without the package's policy file the same page cannot reach the program. Removing the
# package takes the program and its module away, a purge the policy files too.
#
# Installs into the system, so it runs as root only (77, "skipped", otherwise) and only when
# the package is not known to dpkg already; whatever happens, it purges what it installed.
#   package_test.sh <build dir> <source dir of this test> [sanitized]
set -euo pipefail
package=vemo-server-crypt
skip() { echo "SKIPPED: $*"; exit 77; }
fail() { echo "FAILED: $*" >&2; exit 1; }

[ "${3:-}" != sanitized ] || skip "the package is made from the normal build, not the sanitized one"
[ "$(id -u)" -eq 0 ] || skip "installing a package needs root"
if dpkg-query -W -f='${Status}' "$package" >/dev/null 2>&1; then
  skip "$package is already known to dpkg here; it is left alone"
fi
build=$(realpath "$1")
here=$(realpath "$2")
origin_host=ibank.tramontel.example
policy=/etc/chromium/policies/managed/$package.json
for tool in cpack dpkg chromium certutil openssl setpriv python3 curl desktop-file-validate; do
  command -v "$tool" >/dev/null || fail "$tool is not installed"
done

work=$(mktemp -d)
chmod 755 "$work"
pids=()
installed=
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  [ -z "$installed" ] || dpkg --purge "$package" >/dev/null 2>&1 || true
  [ -n "${KEEP_WORK:-}" ] || rm -rf "$work"
}
trap cleanup EXIT
source "$here/user_home.sh"

# The package, from this build.
cpack -G DEB -B "$work/package" --config "$build/CPackConfig.cmake" >"$work/cpack.out" 2>&1 ||
  { cat "$work/cpack.out" >&2; fail "cpack"; }
deb=$(ls "$work"/package/${package}_*.deb)
dpkg-deb -f "$deb" Package Version Depends Installed-Size
installed=yes
dpkg -i "$deb" >"$work/dpkg.out" 2>&1 || { cat "$work/dpkg.out" >&2; fail "dpkg -i"; }

program_files=(/usr/bin/Vemo_Server_Crypt /usr/lib/$package/Vemo_Server_Crypt
  /usr/lib/$package/libvemo-softtoken.so)
system_files=(/etc/xdg/autostart/$package.desktop "$policy"
  /etc/opt/chrome/policies/managed/$package.json)
for file in "${program_files[@]}" "${system_files[@]}" /usr/share/applications/$package.desktop \
  /usr/share/icons/hicolor/scalable/apps/$package.svg; do
  [ -e "$file" ] || fail "$file is not installed"
done
[ "$(readlink -f /usr/bin/Vemo_Server_Crypt)" = /usr/lib/$package/Vemo_Server_Crypt ] ||
  fail "the command does not lead to the program"
desktop-file-validate /usr/share/applications/$package.desktop \
  /etc/xdg/autostart/$package.desktop || fail "the desktop entries"
for file in "${system_files[@]:1}"; do python3 -m json.tool "$file" >/dev/null || fail "$file"; done

# An ordinary user (nobody) with a fresh home, no session bus and no display.
home="$work/home"
use_fresh_home "$home"
unset XDG_CONFIG_HOME XDG_DATA_HOME XDG_CACHE_HOME DBUS_SESSION_BUS_ADDRESS DISPLAY \
  WAYLAND_DISPLAY LD_LIBRARY_PATH VEMO_MODULE_DIR QT_QPA_PLATFORM
chown -R nobody:nogroup "$home"
as_user=(setpriv --reuid=nobody --regid=nogroup --clear-groups --)

"${as_user[@]}" Vemo_Server_Crypt </dev/null >"$work/program.out" 2>&1 &
pids+=($!)
wait_for_service || { cat "$work/program.out" >&2; fail "the installed program does not serve"; }
# The import follows the start of the service.
imported="Сертификат Vemo_Server_Crypt добавлен в доверенные для браузеров (хранилищ: 1)"
for _ in $(seq 100); do grep -q "$imported" "$work/program.out" && break; sleep 0.1; done
grep -q "$imported" "$work/program.out" ||
  { cat "$work/program.out" >&2; fail "no window line of the import"; }
nssdb="$home/.local/share/pki/nssdb"
"${as_user[@]}" certutil -L -d "sql:$nssdb" | grep -Eq "^Vemo_Server_Crypt local CA [0-9a-f]{8} +C,, *$" ||
  fail "the CA is not in Chromium's database with trust C,,"
grep -q "Local CA for the browsers | Chromium: $nssdb: database created, CA added" \
  "$data/Vemo_Server_Crypt_Z.log" || fail "no event log entry of the import"

# The bank's own site: a certificate from a CA that stands for a public one, which this user's
# Chromium trusts the way it trusts the public ones.
openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 2 \
  -subj "/CN=Test public CA" -addext "basicConstraints=critical,CA:TRUE" \
  -addext "keyUsage=critical,keyCertSign" -keyout "$work/bank-ca.key" -out "$work/bank-ca.pem" \
  2>/dev/null
openssl req -new -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -subj "/CN=$origin_host" \
  -keyout "$work/bank.key" -out "$work/bank.csr" 2>/dev/null
printf 'subjectAltName=DNS:%s\nextendedKeyUsage=serverAuth\n' "$origin_host" >"$work/bank.ext"
openssl x509 -req -in "$work/bank.csr" -CA "$work/bank-ca.pem" -CAkey "$work/bank-ca.key" \
  -CAcreateserial -days 2 -extfile "$work/bank.ext" -out "$work/bank.pem" 2>/dev/null
chmod 644 "$work/bank-ca.pem"
"${as_user[@]}" certutil -A -d "sql:$nssdb" -n "Test public CA" -t "C,," -a -i "$work/bank-ca.pem" \
  -f /dev/null

page_port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
python3 "$here/page_server.py" "$here/bank_page.html" "$work/result.json" "$page_port" \
  "$work/bank.pem" "$work/bank.key" &
pids+=($!)
for _ in $(seq 100); do
  curl -s --cacert "$work/bank-ca.pem" --resolve "$origin_host:$page_port:127.0.0.1" \
    "https://$origin_host:$page_port/" >/dev/null && break
  sleep 0.1
done

# open_page NAME: the bank page in a fresh Chromium profile of the user; its report lands in
# $work/NAME.json.
open_page() {
  rm -f "$work/result.json"
  "${as_user[@]}" chromium --headless --no-sandbox --disable-gpu --disable-quic --no-first-run \
    --disable-background-networking --disable-component-update --disable-sync \
    --user-data-dir="$home/chromium-$1" --window-size=900,600 \
    --host-resolver-rules="MAP $origin_host 127.0.0.1" \
    --ip-address-space-overrides="127.0.0.1:$page_port=public" \
    --screenshot="$home/$1.png" --virtual-time-budget=15000 \
    "https://$origin_host:$page_port/" >"$work/chromium-$1.out" 2>&1 &
  local browser=$!
  pids+=($browser)
  for _ in $(seq 300); do
    [ -f "$work/result.json" ] && break
    sleep 0.1
  done
  kill "$browser" 2>/dev/null || true
  wait "$browser" 2>/dev/null || true
  [ -f "$work/result.json" ] || { tail -20 "$work/chromium-$1.out" >&2; fail "$1: no report"; }
  mv "$work/result.json" "$work/$1.json"
}

open_page with_policy
python3 - "$work/with_policy.json" "$work/signature.der" <<'PY'
import base64, json, sys
r = json.load(open(sys.argv[1]))
print("with the policy:", json.dumps(r, ensure_ascii=False)[:600])
ok = lambda name, body: r[name].get("status") == 200 and r[name].get("body") == body
assert ok("checkLs", '{"status":"OK"}'), r["checkLs"]
assert ok("version", '{"status":"OK","version":"2.3.2"}'), r["version"]
sign = json.loads(r["sign"]["body"])
assert sign["status"] == "OK" and sign["tokenId"] == "Avest", sign
open(sys.argv[2], "wb").write(base64.b64decode(sign["sign"], validate=True))
PY
printf 'Платёжное поручение 1' >"$work/document.txt"
openssl cms -verify -inform DER -in "$work/signature.der" -content "$work/document.txt" -binary \
  -CAfile "$data/softtoken/cert.pem" -purpose any -out /dev/null ||
  fail "openssl cms -verify refused the signature"

# The same page without the policy: the browser keeps the public page away from localhost.
mv "$policy" "$work/policy.json"
open_page without_policy
mv "$work/policy.json" "$policy"
python3 - "$work/without_policy.json" <<'PY'
import json, sys
r = json.load(open(sys.argv[1]))
print("without the policy:", json.dumps(r, ensure_ascii=False)[:300])
for name in ("checkLs", "version", "sign"):
    assert "body" not in r[name] and "Failed to fetch" in r[name].get("error", ""), r[name]
PY

# The end of the program, then the package's removal and purge.
kill -TERM "${pids[0]}"
wait "${pids[0]}" || fail "the program ended with $?"
dpkg -r "$package" >"$work/dpkg.out" 2>&1 || { cat "$work/dpkg.out" >&2; fail "dpkg -r"; }
for file in "${program_files[@]}"; do [ ! -e "$file" ] || fail "$file is left after dpkg -r"; done
for file in "${system_files[@]}"; do [ -e "$file" ] || fail "dpkg -r took $file"; done
dpkg --purge "$package" >"$work/dpkg.out" 2>&1 || { cat "$work/dpkg.out" >&2; fail "purge"; }
installed=
for file in "${system_files[@]}"; do [ ! -e "$file" ] || fail "$file is left after the purge"; done
echo "package: every check holds"
