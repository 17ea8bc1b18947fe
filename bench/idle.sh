#!/usr/bin/env bash
# A tray program runs all day: what it costs while nothing happens. Starts each given program
# in a fresh home, times start to serving, then counts the context switches of all its threads
# over the idle period and reads its resident memory.
#   idle.sh <seconds> <label>=<program> [<label>=<program> ...]
# Extra environment for every program (QT_QPA_PLATFORM, DISPLAY) passes through.
set -euo pipefail
seconds=$1
shift
source "$(dirname "$0")/../tests/e2e/user_home.sh"

# "TID switches" for each thread of PID: its voluntary and involuntary context switches.
switches() {
  local task
  for task in /proc/"$1"/task/*; do
    echo "${task##*/} $(awk '/^(voluntary|nonvoluntary)_ctxt_switches/ {s += $2} END {print s}' \
      "$task/status" 2>/dev/null || echo 0)"
  done | sort
}

# The switches between two snapshots, thread by thread: a thread that began meanwhile counts
# whole, one that ended meanwhile is left out (its last switches are not known).
wakeups() {
  join -a 2 -e 0 -o '0,1.2,2.2' <(echo "$1") <(echo "$2") | awk '{ s += $3 - $2 } END { print s }'
}

printf '| %-28s | %12s | %18s | %8s | %13s |\n' program "start→serving" "wake-ups in ${seconds} s" threads "RSS idle"
printf '|%s|%s|%s|%s|%s|\n' ------------------------------ -------------- -------------------- ---------- ---------------
for labelled in "$@"; do
  label=${labelled%%=*}
  program=${labelled#*=}
  work=$(mktemp -d)
  use_fresh_home "$work/home"
  # A terminal build reads commands from standard input: give it one that stays open.
  mkfifo "$work/stdin"
  sleep infinity >"$work/stdin" &
  holder=$!
  start=$(date +%s.%N)
  "$program" <"$work/stdin" >"$work/out" 2>&1 &
  pid=$!
  wait_for_service
  ready=$(date +%s.%N)
  sleep 10  # let start-up work settle: the browsers' trust, the pooled threads ending
  before=$(switches "$pid")
  sleep "$seconds"
  after=$(switches "$pid")
  rss=$(awk '/^VmRSS/ {print $2 " " $3}' /proc/"$pid"/status)
  threads=$(ls /proc/"$pid"/task | wc -l)
  printf '| %-28s | %12.3f s | %18d | %8d | %13s |\n' "$label" \
    "$(echo "$ready - $start" | bc -l)" "$(wakeups "$before" "$after")" "$threads" "$rss"
  kill -TERM "$pid"
  wait "$pid" 2>/dev/null || true
  kill "$holder" 2>/dev/null || true
  rm -rf "$work"
done
