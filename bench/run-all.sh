#!/usr/bin/env bash
# Every benchmark of the project in one run, each figure beside a baseline measured in the same
# run, printed as one table (Markdown): figure, our value, the baseline, what the baseline is,
# and the ratio ours / baseline.
#
#   bench/run-all.sh [--quick] [--before BIN_DIR]
#
#   --quick            fewer requests and repeats, for a look rather than for figures
#   --before BIN_DIR   the bin folder of another build of the program (an earlier commit, say):
#                      the checkLs figures are measured for it too, as the baseline of ours
#
# Builds a Release tree in build/bench (VEMO_BENCH_BUILD to change) with what the benchmarks
# need, and installs nginx when it is missing. Port 9009 must be free, unless the script can
# have a network namespace of its own (as root). The machine is shared and noisy: the checkLs
# latencies are taken in rounds that alternate the servers, and the median of the rounds is
# shown.
set -euo pipefail
# What the benchmarks need first: the network namespace below has no way out to the package
# archive.
bash "$(dirname "$0")/../scripts/install-deps.sh"
if ! command -v nginx >/dev/null && [[ ! -x /usr/sbin/nginx ]]; then
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends nginx >/dev/null
fi
# A network namespace of its own, where the system allows one: port 9009 is then ours whatever
# else runs on the machine, and the loopback is the same loopback.
if [[ -z ${VEMO_BENCH_NETNS:-} ]] && unshare -n true 2>/dev/null; then
  exec env VEMO_BENCH_NETNS=1 unshare -n bash -c 'ip link set lo up && exec bash "$0" "$@"' \
    "$0" "$@"
fi
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/.." && pwd)
cd "$root"

quick=0
before=""
while (($#)); do
  case $1 in
    --quick) quick=1 ;;
    --before) before=$(realpath "$2"); shift ;;
    *) echo "usage: $0 [--quick] [--before BIN_DIR]" >&2; exit 2 ;;
  esac
  shift
done
if ((quick)); then
  requests=2000 rounds=1 disk_requests=300 posts=3 idle_seconds=10 min_time=0.05
else
  requests=20000 rounds=7 disk_requests=3000 posts=7 idle_seconds=30 min_time=0.3
fi

build=${VEMO_BENCH_BUILD:-build/bench}
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j "$(nproc)" --target Vemo_Server_Crypt https_client base64_bench \
  getdocsign_bench vemo_fake_avcryptmail vemo_fake_fcp >/dev/null
bin=$(realpath "$build/bin")

source "$root/tests/e2e/user_home.sh"
work=$(mktemp -d "${TMPDIR:-/tmp}/vemo-run-all.XXXXXX")
disk=$(mktemp -d /var/tmp/vemo-bench.XXXXXX)
ram=$(mktemp -d /dev/shm/vemo-bench.XXXXXX)
program=""
nginx=""
cleanup() {
  [[ -n $program ]] && kill "$program" 2>/dev/null && wait "$program" 2>/dev/null
  [[ -n $nginx ]] && kill "$nginx" 2>/dev/null && wait "$nginx" 2>/dev/null
  rm -rf "$disk" "$ram"
}
trap cleanup EXIT
echo "logs: $work" >&2

rows=()
# row FIGURE OURS BASELINE WHAT [RATIO]: one line of the table; the ratio is ours / baseline
# unless given.
row() {
  local ratio=${5:-}
  [[ -n $ratio ]] ||
    ratio=$(awk -v a="$2" -v b="$3" 'BEGIN { if (b + 0 == 0) print "—"; else printf "%.2f", a / b }')
  rows+=("| $1 | $2 | $3 | $4 | $ratio |")
}
median() { sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
field() {  # field LOG KEY: the number after KEY in the log ("p50", "requests/s:")
  awk -v key="$2" '{ for (i = 1; i < NF; ++i) if ($i == key) { print $(i + 1); exit } }' "$1"
}

# start_program BIN HOME: the program as a user starts it, serving on 9009. Another program on
# the port (a test, another copy) is waited for, up to two minutes.
start_program() {
  for _ in $(seq 120); do
    (exec 3<>/dev/tcp/127.0.0.1/9009) 2>/dev/null || break
    sleep 1
  done
  use_fresh_home "$2"
  (unset LD_LIBRARY_PATH; exec "$1/Vemo_Server_Crypt" </dev/null >"$2/program.out" 2>&1) &
  program=$!
  wait_for_service
}
stop_program() {
  kill "$program"
  wait "$program" || true
  program=""
}
# checkls BIN HOME COUNT LOG: serial keep-alive checkLs against the program.
checkls() {
  start_program "$1" "$2"
  "$bin/https_client" localhost 9009 '/?action=checkLs' "$3" "$data/localhost-ca.pem" >"$4"
  stop_program
}

echo "== checkLs" >&2
# One home serves for the certificate that nginx presents too.
use_fresh_home "$ram/cert"
start_program "$bin" "$ram/cert"
stop_program
cert=$data
for ((r = 1; r <= rounds; ++r)); do
  checkls "$bin" "$ram/ours$r" "$requests" "$work/checkls-tmpfs-$r.log"
  bash "$here/nginx-checkls.sh" 9443 "$cert/localhost.pem" "$cert/localhost.key" \
    "$bin/https_client" localhost 9443 '/?action=checkLs' "$requests" "$cert/localhost-ca.pem" \
    >"$work/checkls-nginx-$r.log" 2>/dev/null
  if [[ -n $before ]]; then
    checkls "$before" "$ram/before$r" "$requests" "$work/checkls-before-$r.log"
  fi
  rm -rf "$ram"/ours* "$ram"/before*
done
checkls "$bin" "$disk/ours" "$disk_requests" "$work/checkls-disk.log"
disk_type=$(df --output=fstype "$disk" | tail -1)

stat_of() {  # stat_of NAME KEY: the median over the rounds
  for log in "$work"/checkls-"$1"-*.log; do field "$log" "$2"; done | median
}
# ratio_of NAME BASE KEY: the median over the rounds of each round's ratio. The machine can
# change pace between rounds; the servers of one round ran back to back and share its pace.
ratio_of() {
  for ((r = 1; r <= rounds; ++r)); do
    awk -v a="$(field "$work/checkls-$1-$r.log" "$3")" -v b="$(field "$work/checkls-$2-$r.log" "$3")" \
      'BEGIN { if (b + 0 != 0) print a / b }'
  done | median | awk '{ printf "%.2f", $1 }'
}
row "checkLs p50 µs, event log on tmpfs" "$(stat_of tmpfs p50)" "$(stat_of nginx p50)" \
  "nginx, same reply" "$(ratio_of tmpfs nginx p50)"
row "checkLs p99 µs, event log on tmpfs" "$(stat_of tmpfs p99)" "$(stat_of nginx p99)" \
  "nginx, same reply" "$(ratio_of tmpfs nginx p99)"
row "checkLs requests/s, event log on tmpfs" "$(stat_of tmpfs requests/s:)" \
  "$(stat_of nginx requests/s:)" "nginx, same reply" "$(ratio_of tmpfs nginx requests/s:)"
row "checkLs p50 µs, event log on $disk_type" "$(field "$work/checkls-disk.log" p50)" \
  "$(stat_of nginx p50)" "nginx, same reply"
row "checkLs requests/s, event log on $disk_type" "$(field "$work/checkls-disk.log" requests/s:)" \
  "$(stat_of nginx requests/s:)" "nginx, same reply"
if [[ -n $before ]]; then
  row "checkLs p50 µs, event log on tmpfs" "$(stat_of tmpfs p50)" "$(stat_of before p50)" \
    "the program of --before" "$(ratio_of tmpfs before p50)"
  row "checkLs requests/s, event log on tmpfs" "$(stat_of tmpfs requests/s:)" \
    "$(stat_of before requests/s:)" "the program of --before"
fi

echo "== getDocSign" >&2
# The program's files (its event log among them) on tmpfs, as for the checkLs figures above.
TMPDIR=$ram "$bin/getdocsign_bench" "$bin" "$posts" >"$work/getdocsign.log"
for size in 1024 1048576 20971520; do
  bash "$here/nginx-checkls.sh" 9443 "$cert/localhost.pem" "$cert/localhost.key" \
    "$bin/https_client" --post="$size" localhost 9443 / "$posts" "$cert/localhost-ca.pem" \
    >"$work/post-nginx-$size.log" 2>/dev/null
done
# getdocsign_bench: body document p50 max min peak-idle x-body, one line per size.
ours_ms() { awk -v b="$1" '$1 == b { print $3 }' "$work/getdocsign.log"; }
nginx_ms() { awk '{ printf "%.2f", $1 / 1000 }' <<<"$(field "$work/post-nginx-$1.log" p50)"; }
row "getDocSign p50 ms, 1 KiB body, event log on tmpfs" "$(ours_ms 1024)" "$(nginx_ms 1024)" \
  "nginx reading the same POST"
row "getDocSign p50 ms, 1 MiB body, event log on tmpfs" "$(ours_ms 1048576)" "$(nginx_ms 1048576)" \
  "nginx reading the same POST"
row "getDocSign p50 ms, 20 MiB body, event log on tmpfs" "$(ours_ms 20971520)" "$(nginx_ms 20971520)" \
  "nginx reading the same POST"
row "getDocSign peak memory above idle KiB, 20 MiB body" \
  "$(awk '$1 == 20971520 { print $6 }' "$work/getdocsign.log")" 20480 "the body's size"

echo "== Base64" >&2
"$bin/base64_bench" --benchmark_format=csv --benchmark_min_time="$min_time" \
  >"$work/base64.csv" 2>/dev/null
gbps() {  # gbps NAME/SIZE: GB/s of one benchmark
  awk -F, -v name="\"$1\"" '$1 == name { printf "%.1f", $6 / 1e9 }' "$work/base64.csv"
}
for size in 65536 20971520; do
  label=$((size / 1024))\ KiB
  ((size >= 1048576)) && label=$((size / 1048576))\ MiB
  row "Base64Decode GB/s, $label" "$(gbps BM_Base64Decode/$size)" \
    "$(gbps BM_OpenSslDecodeBlock/$size)" "OpenSSL EVP_DecodeBlock"
  row "Base64Encode GB/s, $label" "$(gbps BM_Base64Encode/$size)" \
    "$(gbps BM_OpenSslEncodeBlock/$size)" "OpenSSL EVP_EncodeBlock"
  row "Base64Decode GB/s, $label" "$(gbps BM_Base64Decode/$size)" "$(gbps BM_Memcpy/$size)" \
    "memcpy of the same bytes"
done

echo "== idle" >&2
bash "$here/idle.sh" "$idle_seconds" "Vemo_Server_Crypt=$bin/Vemo_Server_Crypt" \
  >"$work/idle.log" 2>&1
# The table row of idle.sh: | label | start s | wake-ups | threads | RSS kB |
read -r ours_wakeups ours_threads ours_rss < <(awk -F'|' '$2 ~ /Vemo_Server_Crypt/ {
  for (i = 4; i <= 6; ++i) gsub(/[^0-9]/, "", $i); print $4, $5, $6 }' "$work/idle.log")
# nginx idle for the same time: master and worker together.
bash "$here/nginx-checkls.sh" 9443 "$cert/localhost.pem" "$cert/localhost.key" \
  >/dev/null 2>&1 &
nginx=$!
until_true bash -c "exec 3<>/dev/tcp/127.0.0.1/9443"
sleep 2
nginx_pids() {
  local master
  master=$(pgrep -P "$nginx" || true)
  echo "$master" $(pgrep -P "$master" 2>/dev/null || true)
}
switches() {
  local total=0 v
  for pid in $(nginx_pids); do
    for status in /proc/"$pid"/task/*/status; do
      v=$(awk '/^(voluntary|nonvoluntary)_ctxt_switches/ { s += $2 } END { print s }' "$status")
      total=$((total + v))
    done
  done
  echo "$total"
}
before_switches=$(switches)
sleep "$idle_seconds"
nginx_wakeups=$(($(switches) - before_switches))
nginx_rss=0
nginx_threads=0
for pid in $(nginx_pids); do
  nginx_rss=$((nginx_rss + $(awk '/^VmRSS/ { print $2 }' /proc/"$pid"/status)))
  nginx_threads=$((nginx_threads + $(ls /proc/"$pid"/task | wc -l)))
done
kill "$nginx"
wait "$nginx" 2>/dev/null || true
nginx=""
row "idle: wake-ups in $idle_seconds s" "$ours_wakeups" "$nginx_wakeups" \
  "nginx serving nothing (master + worker)"
row "idle: resident memory KiB" "$ours_rss" "$nginx_rss" "nginx serving nothing (master + worker)"
row "idle: threads" "$ours_threads" "$nginx_threads" "nginx serving nothing (master + worker)"

{
  echo "$(date -u '+%Y-%m-%d %H:%M UTC'), $(nproc) cores ($(awk -F': ' '/model name/ { print $2; exit }' /proc/cpuinfo)), $(uname -r), load average $(cut -d' ' -f1-3 /proc/loadavg) at the end"
  echo
  echo "| figure | ours | baseline | baseline is | ours / baseline |"
  echo "|---|---|---|---|---|"
  printf '%s\n' "${rows[@]}"
} | tee "$work/table.md"
