#!/usr/bin/env bash
# checkLs over one keep-alive TLS connection (event log on a tmpfs and on the disk) and the
# getDocSign latency and peak memory (its home on the tmpfs too), for each given build of the
# program, in one run and in turns, so that the figures share the machine's state. As root it
# is best run in a network namespace of its own, so that nothing else holds port 9009:
#   unshare -n bash -c 'ip link set lo up; bench/side_by_side.sh ...' 
#   bench/side_by_side.sh <tools bin dir> <label>=<bin dir> [<label>=<bin dir> ...]
# The tools (https_client, getdocsign_bench) come from the first dir; each program from its own.
set -euo pipefail
tools=$(realpath "$1")
shift
count=${COUNT:-20000}
rounds=${ROUNDS:-2}
source "$(dirname "$0")/../tests/e2e/user_home.sh"
program=
disk=$(mktemp -d /var/tmp/vemo-bench.XXXXXX)
ram=$(mktemp -d /dev/shm/vemo-bench.XXXXXX)
trap '[ -n "$program" ] && kill "$program" 2>/dev/null; rm -rf "$disk" "$ram"' EXIT

checkls() {  # <label> <bin> <home>
  use_fresh_home "$3"
  (unset LD_LIBRARY_PATH; exec "$2/Vemo_Server_Crypt" </dev/null >"$3/program.out" 2>&1) &
  program=$!
  wait_for_service
  printf '%-8s %-6s ' "$1" "$(df --output=fstype "$data" | tail -1)"
  "$tools/https_client" localhost 9009 '/?action=checkLs' "$count" "$data/localhost-ca.pem" |
    tr '\n' ' '
  echo
  kill "$program"; wait "$program" 2>/dev/null || true; program=
  rm -rf "$3"
}

for round in $(seq "$rounds"); do
  echo "== round $round: checkLs, $count requests over one connection"
  for labelled in "$@"; do
    checkls "${labelled%%=*}" "$(realpath "${labelled#*=}")" "$ram/home"
    checkls "${labelled%%=*}" "$(realpath "${labelled#*=}")" "$disk/home"
  done
  echo "== round $round: getDocSign"
  for labelled in "$@"; do
    echo "-- ${labelled%%=*}"
    TMPDIR=$ram "$tools/getdocsign_bench" "$(realpath "${labelled#*=}")" 7 2>/dev/null
  done
done
