#!/usr/bin/env bash
# The program's certificate options as a user runs them, in a home laid out with Chromium's
# database still to be made, the snap and Flatpak Chromium and two Firefox profiles (one
# native, named by profiles.ini; one of the snap): --help, --install-certificate (twice, and
# after a new CA), --remove-certificate, and arguments it refuses.
#   certificate_command_test.sh <bin dir>
set -euo pipefail
bin=$(realpath "$1")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
source "$(dirname "$0")/user_home.sh"
use_fresh_home "$work/home"
unset XDG_DATA_HOME
fail() { echo "FAILED: $*" >&2; exit 1; }
command -v certutil >/dev/null || fail "certutil is not installed"

make_db() { mkdir -p "$1" && certutil -N -d "sql:$1" --empty-password -f /dev/null; }
chromium_db=$HOME/.local/share/pki/nssdb
snap_db=$HOME/snap/chromium/current/.pki/nssdb
flatpak_db=$HOME/.var/app/org.chromium.Chromium/.pki/nssdb
firefox_db=$HOME/.mozilla/firefox/q1w2.default-release
firefox_snap_db=$HOME/snap/firefox/common/.mozilla/firefox/e3r4.default
mkdir -p "$HOME/snap/chromium/2890"
ln -s 2890 "$HOME/snap/chromium/current"
for db in "$snap_db" "$flatpak_db" "$firefox_db" "$firefox_snap_db"; do make_db "$db"; done
printf '[Profile0]\nName=default-release\nIsRelative=1\nPath=q1w2.default-release\n' \
  >"$HOME/.mozilla/firefox/profiles.ini"
databases=("$chromium_db" "$snap_db" "$flatpak_db" "$firefox_db" "$firefox_snap_db")

# run NAME ARGS...: the program with the arguments; output in $work/NAME.out, exit code in $rc.
run() {
  local name=$1
  shift
  set +e
  "$bin/Vemo_Server_Crypt" "$@" </dev/null >"$work/$name.out" 2>&1
  rc=$?
  set -e
}
# trust_of DB NICKNAME: the trust flags certutil lists for the nickname, or nothing.
trust_of() {
  certutil -L -d "sql:$1" -f /dev/null |
    awk -v name="$2" 'substr($0, 1, length(name) + 1) == name " " {print $NF}'
}
ca_name() { openssl x509 -in "$data/localhost-ca.pem" -noout -subject -nameopt multiline |
  sed -n 's/^ *commonName *= //p'; }

run help --help
[ "$rc" -eq 0 ] || fail "--help ended with $rc"
grep -q -- "--install-certificate" "$work/help.out" && grep -q -- "--remove-certificate" \
  "$work/help.out" || fail "--help does not list the options"
[ ! -e "$data" ] || fail "--help made the data folder"

run install --install-certificate
cat "$work/install.out"
[ "$rc" -eq 0 ] || fail "--install-certificate ended with $rc"
name=$(ca_name)
[[ $name =~ ^Vemo_Server_Crypt\ local\ CA\ [0-9a-f]{8}$ ]] || fail "CA name '$name'"
grep -q "^Chromium: $chromium_db: database created, CA added$" "$work/install.out" ||
  fail "Chromium's database"
[ "$(grep -c ": CA added$" "$work/install.out")" -eq 4 ] || fail "four databases added to"
for db in "${databases[@]}"; do [ "$(trust_of "$db" "$name")" = "C,," ] || fail "trust in $db"; done

run again --install-certificate
[ "$rc" -eq 0 ] && [ "$(grep -c ": CA already there$" "$work/again.out")" -eq 5 ] ||
  fail "a second install: $(cat "$work/again.out")"

# A new CA (the old one gone from the data folder) takes the old one's place everywhere.
rm "$data/localhost-ca.pem" "$data/localhost-ca.key"
run renewed --install-certificate
new_name=$(ca_name)
[ "$rc" -eq 0 ] && [ "$new_name" != "$name" ] || fail "no new CA: $(cat "$work/renewed.out")"
[ "$(grep -c ": CA added, 1 older CA removed$" "$work/renewed.out")" -eq 5 ] ||
  fail "the new CA: $(cat "$work/renewed.out")"
for db in "${databases[@]}"; do
  [ "$(trust_of "$db" "$new_name")" = "C,," ] && [ -z "$(trust_of "$db" "$name")" ] ||
    fail "renewal in $db"
done

run remove --remove-certificate
cat "$work/remove.out"
[ "$rc" -eq 0 ] && [ "$(grep -c ": CA removed$" "$work/remove.out")" -eq 5 ] ||
  fail "--remove-certificate ended with $rc"
for db in "${databases[@]}"; do
  certutil -L -d "sql:$db" -f /dev/null | grep -q "Vemo_Server_Crypt local CA" && fail "left in $db"
done

run extra --install-certificate --remove-certificate
[ "$rc" -eq 2 ] && grep -q "Usage:" "$work/extra.out" || fail "two options ended with $rc"
echo "certificate command: every check holds"
