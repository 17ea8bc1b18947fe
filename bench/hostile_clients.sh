#!/usr/bin/env bash
# Each misbehaving client of hostile_clients against each given build of the program, in one
# run: a fresh home and a fresh start for every scenario, the scripted signer standing in for
# the token.
#   bench/hostile_clients.sh <hostile_clients binary> <label>=<bin dir> [<label>=<bin dir> ...]
# As root, best in a network namespace of its own (unshare -n, then ip link set lo up).
set -euo pipefail
tool=$(realpath "$1")
shift
source "$(dirname "$0")/../tests/e2e/user_home.sh"
program=
work=$(mktemp -d)
trap '[ -n "$program" ] && kill "$program" 2>/dev/null; rm -rf "$work"' EXIT

for scenario in stalled trickled heads idle; do
  for labelled in "$@"; do
    label=${labelled%%=*}
    bin=$(realpath "${labelled#*=}")
    home=$work/$label-$scenario
    use_fresh_home "$home"
    mkdir -p "$home/fake"
    (export LD_LIBRARY_PATH=$bin/fakes VEMO_FAKE_DIR=$home/fake
     exec "$bin/Vemo_Server_Crypt" </dev/null >"$home/program.out" 2>&1) &
    program=$!
    wait_for_service
    printf '%-8s | ' "$label"
    "$tool" "$data/localhost-ca.pem" "$scenario"
    kill "$program"; wait "$program" 2>/dev/null || true; program=
  done
done
