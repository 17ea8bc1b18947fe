#!/usr/bin/env bash
# The program with a real token, as a user runs it: SoftHSM2 registered with p11-kit in a fresh
# home, the scripted pinentry, signing requests over HTTPS, each signature checked with
# `openssl cms -verify` against the token's certificate.
#   program_token_test.sh <bin dir> <scripted pinentry dir> <libsofthsm2.so>
set -euo pipefail
bin=$1 pinentry_dir=$2 softhsm=$3
work=$(mktemp -d)
program=
stop_program() {
  if [ -n "$program" ]; then
    kill -TERM "$program" 2>/dev/null || true
    wait "$program" || true
    program=
  fi
}
trap 'stop_program; rm -rf "$work"' EXIT
source "$(dirname "$0")/../e2e/user_home.sh"
use_fresh_home "$work/home"
unset LD_LIBRARY_PATH
fail() { echo "FAILED: $*" >&2; exit 1; }

export SOFTHSM2_CONF=$work/softhsm2.conf SCRIPTED_PINENTRY=$work/pinentry
export PATH=$pinentry_dir:$PATH
mkdir -p "$work/tokens" "$SCRIPTED_PINENTRY" "$XDG_CONFIG_HOME/pkcs11/modules"
printf 'directories.tokendir = %s\nobjectstore.backend = file\nlog.level = ERROR\n' \
  "$work/tokens" >"$SOFTHSM2_CONF"
# The user's own registration, under the name of the system's: it replaces that one.
echo "module: $softhsm" >"$XDG_CONFIG_HOME/pkcs11/modules/softhsm2.module"
pin='12%34 5'

start_program() {
  "$bin/Vemo_Server_Crypt" </dev/null >>"$work/program.out" 2>&1 &
  program=$!
  wait_for_service
}
request() { curl -s --cacert "$data/localhost-ca.pem" "$@"; }
sign() { printf '%s' "$1" | base64 -w0 | request --data-binary @- 'https://localhost:9009/?action=getDocSign'; }
forget() { [ "$(request 'https://localhost:9009/?action=forget')" = '{"status":"OK"}' ] || fail forget; }
prompts() { if [ -f "$SCRIPTED_PINENTRY/prompts" ]; then wc -l <"$SCRIPTED_PINENTRY/prompts"; else echo 0; fi; }
# The scripted pinentry answers the next prompt so.
next_answer() {
  { for _ in $(seq "$(prompts)"); do echo used; done; echo "$1"; } >"$SCRIPTED_PINENTRY/answers"
}
# verify <reply> <document> <certificate>
verify() {
  case $1 in '{"sign":"'*'","status":"OK","tokenId":"Avest"}') ;; *) fail "reply: $1" ;; esac
  sed 's/.*"sign":"\([^"]*\)".*/\1/' <<<"$1" | base64 -d >"$work/signature.der"
  printf '%s' "$2" >"$work/document"
  openssl cms -verify -binary -inform DER -in "$work/signature.der" -content "$work/document" \
    -CAfile "$3" -out /dev/null 2>"$work/verify.out" || fail "cms -verify: $(cat "$work/verify.out")"
}
expect_prompts() { [ "$(prompts)" -eq "$1" ] || fail "$(prompts) PIN prompts where $1 were due ($2)"; }

# A fresh machine without a token: the software key signs, no PIN is asked.
start_program
verify "$(sign 'first document')" 'first document' "$data/softtoken/cert.pem"
expect_prompts 0 "software key"
stop_program

# The user's token holds an EC key with an authentication certificate and an RSA key with the
# signing certificate, one holder's: the signing certificate signs.
"$bin/vemo_test_token" init "Bank token" "$pin" >/dev/null
"$bin/vemo_test_token" add "Bank token" "$pin" "$work/auth.pem" ec digitalSignature -1 365 "Иван Петров"
"$bin/vemo_test_token" add "Bank token" "$pin" "$work/sign.pem" rsa nonRepudiation -1 365 "Иван Петров"
next_answer "pin $pin"
start_program
start=$(date +%s%N)
verify "$(sign 'платёжное поручение 1')" 'платёжное поручение 1' "$work/sign.pem"
with_login_ms=$((($(date +%s%N) - start) / 1000000))
start=$(date +%s%N)
verify "$(sign 'платёжное поручение 2')" 'платёжное поручение 2' "$work/sign.pem"
signing_ms=$((($(date +%s%N) - start) / 1000000))
expect_prompts 1 "two signings within the login's 60 s"
if openssl cms -verify -binary -inform DER -in "$work/signature.der" -content "$work/document" \
  -CAfile "$work/auth.pem" -out /dev/null 2>/dev/null; then
  fail "signed with the authentication certificate"
fi
forget
next_answer "pin $pin"
verify "$(sign 'платёжное поручение 3')" 'платёжное поручение 3' "$work/sign.pem"
expect_prompts 2 "after forget"

# A cancelled prompt and a wrong PIN reach the page as the catalogue's texts.
forget
next_answer cancel
[ "$(sign 'четвёртый')" = '{"error":"Действие отменено пользователем","errorCode":222,"status":"OK"}' ] ||
  fail "cancelled prompt"
next_answer "pin 0000"
[ "$(sign 'пятый')" = '{"error":"Ошибка подтверждения пароля при повторной аутентификации\nВставлен неверный носитель или неверно задан личный пароль","errorCode":222,"status":"OK"}' ] ||
  fail "wrong PIN"
expect_prompts 4 "a new login after each failed one"
stop_program

# Tokens that cannot sign, each as the page names it. The user's token has signed before, so
# the software key stands in for none of them.
# token_case <expected error> <certificate>... (each "key usage from to holder [no-key]")
token_case() {
  local expected=$1 certificate
  shift
  rm -rf "$work/tokens" && mkdir "$work/tokens"
  identity=$("$bin/vemo_test_token" init "Bank token" "$pin")
  sed -i "s|^token=.*|token=$identity|" "$data/softtoken/token-signer"
  for certificate in "$@"; do
    # shellcheck disable=SC2086
    "$bin/vemo_test_token" add "Bank token" "$pin" "$work/case.pem" $certificate
  done
  next_answer "pin $pin"
  start_program
  reply=$(sign 'документ')
  stop_program
  [ "$reply" = "{\"error\":\"$expected\",\"errorCode\":222,\"status\":\"OK\"}" ] ||
    fail "$expected: $reply"
}
token_case "Не найден личный сертификат"
token_case "Не найден контейнер с личными ключами на носителе" "ec digitalSignature -1 365 Holder no-key"
token_case "Сертификат не предназначен для подписи" "ec keyEncipherment -1 365 Holder"
token_case "Срок действия сертификата истек" "rsa nonRepudiation -30 -1 Holder"
token_case "Срок действия сертификата не наступил" "ec nonRepudiation 2 30 Holder"
token_case "В личном справочнике несколько действующих сертификатов" \
  "ec nonRepudiation -1 365 Holder" "ec nonRepudiation -1 365 Other"
expect_prompts 5 "a PIN asked only for the certificate without its key"

# The token taken away after it has signed: the page is told so, the software key does not sign.
rm -rf "$work/tokens" && mkdir "$work/tokens"
start_program
[ "$(sign 'шестой')" = '{"error":"Носитель с личным ключом не установлен","errorCode":222,"status":"OK"}' ] ||
  fail "token removed"
expect_prompts 5 "no token, no prompt"
stop_program

# The PIN is never written anywhere.
if grep -rF -e "$pin" "$data" "$work/program.out"; then fail "the PIN was written down"; fi
echo "token signing: ${signing_ms} ms on a kept login, ${with_login_ms} ms with the login and PIN prompt"
echo "program with a token: every check holds"
