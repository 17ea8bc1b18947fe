#!/usr/bin/env bash
# Serial keep-alive "?action=checkLs" over one TLS connection: the program with its event log
# on the normal disk, the same on a tmpfs, and Debian's nginx serving the same reply bytes, in
# one run.
#   bench/checkls.sh <build bin dir> [requests]
set -euo pipefail
bin=$(realpath "$1")
count=${2:-20000}
here=$(cd "$(dirname "$0")" && pwd)
source "$here/../tests/e2e/user_home.sh"
program=

run_program() {  # <home> : starts the program, measures, stops it
  local home=$1
  use_fresh_home "$home"
  (unset LD_LIBRARY_PATH; exec "$bin/Vemo_Server_Crypt" </dev/null >"$home/program.out" 2>&1) &
  program=$!
  wait_for_service
  "$bin/https_client" localhost 9009 '/?action=checkLs' "$count" "$data/localhost-ca.pem"
  kill "$program"; wait "$program" || true; program=
  echo "event log: $(wc -l <"$data/Vemo_Server_Crypt_Z.log") entries, $(df --output=fstype "$data" | tail -1)"
}

disk=$(mktemp -d /var/tmp/vemo-bench.XXXXXX)
ram=$(mktemp -d /dev/shm/vemo-bench.XXXXXX)
trap '[ -n "$program" ] && kill "$program" 2>/dev/null; rm -rf "$disk" "$ram"' EXIT

echo "== Vemo_Server_Crypt, event log on disk ($disk)"
run_program "$disk"
echo "== Vemo_Server_Crypt, event log on tmpfs ($ram)"
run_program "$ram"
data=$ram/.config/Tramontel_Vemo_Server_Crypt
echo "== nginx, same reply bytes and headers"
bash "$here/nginx-checkls.sh" 9443 "$data/localhost.pem" "$data/localhost.key" \
  "$bin/https_client" localhost 9443 '/?action=checkLs' "$count" "$data/localhost-ca.pem"
