#!/usr/bin/env bash
# Where a keep-alive "?action=checkLs" spends its time, in the program (event log on tmpfs)
# and in nginx serving the same reply: for each thread that works on the requests, CPU time,
# context switches and system calls per request (perf stat), then a sampled profile of each
# server by library and by function (perf record on the cpu-clock event, which needs no
# hardware counters).
#
#   bench/profile-checkls.sh BIN_DIR [REQUESTS]      (as root; needs linux-perf and nginx)
#
# Runs in a network namespace of its own when it can, so that another copy of the program or
# a test on port 9009 is no matter.
set -euo pipefail
if [[ -z ${VEMO_PROFILE_NETNS:-} ]] && unshare -n true 2>/dev/null; then
  exec env VEMO_PROFILE_NETNS=1 unshare -n bash -c 'ip link set lo up && exec bash "$0" "$@"' \
    "$0" "$@"
fi
bin=$(realpath "$1")
count=${2:-20000}
here=$(cd "$(dirname "$0")" && pwd)
source "$here/../tests/e2e/user_home.sh"
ram=$(mktemp -d /dev/shm/vemo-profile.XXXXXX)
program=""
server=""
trap '[[ -n $program ]] && kill "$program" 2>/dev/null; [[ -n $server ]] && kill "$server" 2>/dev/null; rm -rf "$ram"' EXIT

# measure LABEL PID PORT CA: perf stat, then perf record, around COUNT requests each.
measure() {
  local label=$1 pid=$2 port=$3 ca=$4
  "$bin/https_client" localhost "$port" '/?action=checkLs' 1000 "$ca" >/dev/null
  perf stat --per-thread -e task-clock,context-switches,raw_syscalls:sys_enter -p "$pid" \
    -o "$ram/$label.stat" &
  local perf=$!
  sleep 0.5
  "$bin/https_client" localhost "$port" '/?action=checkLs' "$count" "$ca" | sed "s/^/$label: /"
  kill -INT "$perf"
  wait "$perf" || true
  echo "$label, per request (threads that ran):"
  awk -v n="$count" '
    $2 ~ /^[0-9.,]+$/ && $2 != "0" {
      gsub(",", "", $2)
      if ($3 == "msec") cpu[$1] = $2 * 1000 / n
      else if ($3 == "context-switches") sw[$1] = $2 / n
      else if ($3 ~ /sys_enter/) sc[$1] = $2 / n
    }
    END {
      printf "  %-28s %12s %18s %14s\n", "thread", "CPU µs", "context switches", "system calls"
      for (t in cpu) if (cpu[t] > 1) printf "  %-28s %12.1f %18.2f %14.2f\n", t, cpu[t], sw[t], sc[t]
    }' "$ram/$label.stat"
  perf record -e cpu-clock -F 4000 -g -p "$pid" -o "$ram/$label.data" 2>/dev/null &
  perf=$!
  sleep 0.5
  "$bin/https_client" localhost "$port" '/?action=checkLs' "$count" "$ca" >/dev/null
  kill -INT "$perf"
  wait "$perf" || true
  echo "$label, share of the samples by library:"
  perf report -i "$ram/$label.data" --no-children --sort dso -g none --stdio 2>/dev/null |
    grep -E '^ +[0-9]' | head -8 || true
  echo "$label, functions with the largest share of samples:"
  perf report -i "$ram/$label.data" --no-children --sort sym -g none --stdio 2>/dev/null |
    grep -E '^ +[0-9]' | head -25 | cut -c1-110 || true
  echo
}

use_fresh_home "$ram/home"
(unset LD_LIBRARY_PATH; exec "$bin/Vemo_Server_Crypt" </dev/null >"$ram/program.out" 2>&1) &
program=$!
wait_for_service
measure "Vemo_Server_Crypt" "$program" 9009 "$data/localhost-ca.pem"
kill "$program"
wait "$program" || true
program=""

bash "$here/nginx-checkls.sh" 9443 "$data/localhost.pem" "$data/localhost.key" >/dev/null 2>&1 &
server=$!
until_true bash -c "exec 3<>/dev/tcp/127.0.0.1/9443"
worker=$(pgrep -P "$(pgrep -P "$server")")
measure "nginx" "$worker" 9443 "$data/localhost-ca.pem"
