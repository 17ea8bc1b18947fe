#!/usr/bin/env bash
# Each scenario of load_faults against each given build of the program: a fresh home and a
# fresh start for every scenario, the scripted signer standing in for the token, and one
# Markdown table at the end (the details of each run on standard error).
#   bench/load_faults.sh <load_faults binary> <label>=<bin dir> [<label>=<bin dir> ...]
# A bin dir holds Vemo_Server_Crypt and fakes/ (a build with the tests). As root, run it in a
# network namespace of its own, so that port 9009 is ours whatever else runs on the machine:
#   unshare -n bash -c 'ip link set lo up; bash bench/load_faults.sh ...'
# A sanitizer build (-DVEMO_SANITIZE=ON) runs with leak detection and stops at its first
# report; after each scenario the program is ended with SIGTERM and its standard error is
# searched for reports. SCENARIOS="idle huge" runs only those.
#
# As root, "files" runs the program as the unprivileged user 65534 in a home of that user, so
# that a log file or folder made read-only is read-only for the program too.
set -euo pipefail
tool=$(realpath "$1")
shift
source "$(dirname "$0")/../tests/e2e/user_home.sh"
scenarios=${SCENARIOS:-idle keepalive handshake trickle huge gone files codes enigma failed-start}
work=$(mktemp -d)
chmod 711 "$work"  # the unprivileged program reaches its home inside
program=
observer=
pids=()  # the X display of "enigma", started by start_display
trap '[ -n "$program" ] && kill -9 "$program" 2>/dev/null
      for pid in $observer "${pids[@]}"; do kill "$pid" 2>/dev/null; done
      rm -rf "$work"' EXIT
export ASAN_OPTIONS=detect_leaks=1:halt_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
sanitizer_report='ERROR: (Address|Leak)Sanitizer|runtime error:|Sanitizer has encountered a fatal error'
# A module that fails to start: the Avest range's "Носитель не зарегистрирован".
start_failure=$((0xE82A014E))

status() {  # status FIELD: the program's VmRSS or Threads
  awk -v f="$1:" '$1 == f { print $2 }' "/proc/$program/status" 2>/dev/null || echo "?"
}

# type_enigma_password <home>: a first signing, whose password dialog gets the password the
# fake wants; the provider keeps it for 60 s.
type_enigma_password() {
  local title='^Авторизация пользователя Enigma / Enigma2$' window
  printf 'document' | base64 -w0 | curl -s --max-time 30 --cacert "$data/localhost-ca.pem" \
    --data-binary @- 'https://localhost:9009/?action=getDocSign' >"$1/first" &
  until_true xdotool search --onlyvisible --name "$title" || echo "no password dialog" >&2
  window=$(xdotool search --onlyvisible --name "$title" | head -1)
  until_true bash -c "[ \"\$(xdotool getwindowfocus)\" = $window ]"
  xdotool type --delay 20 secret
  xdotool key Return
  wait $!
  grep -q '"sign"' "$1/first" || echo "the first Enigma signing: $(cat "$1/first")" >&2
}

# start <bin> <home> [command prefix...]: the program in the home, with the fakes.
start() {
  local bin=$1 home=$2
  shift 2
  (export LD_LIBRARY_PATH=$bin/fakes VEMO_FAKE_DIR=$home/fake
   exec "$@" "$bin/Vemo_Server_Crypt" </dev/null >"$home/program.out" 2>&1) &
  program=$!
}

# finish <home>: SIGTERM and the end of the program, its exit code and its sanitizer reports.
finish() {
  kill -TERM "$program" 2>/dev/null || true
  local rc=
  for _ in $(seq 200); do
    kill -0 "$program" 2>/dev/null || break
    sleep 0.1
  done
  if kill -0 "$program" 2>/dev/null; then
    kill -9 "$program"
    wait "$program" 2>/dev/null || true
    ended="NOT ENDED 20 s after SIGTERM"
  else
    wait "$program" 2>/dev/null && rc=0 || rc=$?
    ended="exit $rc"
  fi
  program=
  local reports
  reports=$(grep -cE "$sanitizer_report" "$1/program.out" || true)
  if [ "$reports" -gt 0 ]; then
    ended+=", $reports SANITIZER REPORT(S)"
    grep -E -A12 "$sanitizer_report" "$1/program.out" >&2 || true
  else
    ended+=", no sanitizer report"
  fi
}

rows=()
for scenario in $scenarios; do
  for labelled in "$@"; do
    label=${labelled%%=*}
    bin=$(realpath "${labelled#*=}")
    home=$work/$label-$scenario
    use_fresh_home "$home"
    mkdir -p "$home/fake" "$data"
    as=(env -u DISPLAY)
    if [ "$scenario" = files ] && [ "$(id -u)" = 0 ]; then
      chown -R 65534:65534 "$home"
      as=(env -u DISPLAY setpriv --reuid=65534 --regid=65534 --clear-groups)
    fi
    echo "== $scenario, $label" >&2
    if [ "$scenario" = enigma ]; then
      # The Enigma provider from the settings, its observer running, its sign program there,
      # a display for the password dialog. Under LeakSanitizer the display's libraries leave
      # allocations of their own: leaks are not looked for here.
      [ -n "${DISPLAY:-}" ] || start_display "$work"
      mkdir -p "$home/enigma/PacMcard"
      : >"$home/enigma/PacMcard/sign.exe"
      cp "$bin/fakes/observer/MCardObserver.exe" "$home/enigma/"
      "$home/enigma/MCardObserver.exe" &
      observer=$!
      printf '[Vemo_Server_Crypt Settings]\r\ndefaultProvider=\xdd\xed\xe8\xe3\xec\xe0\r\n' \
        >"$data/Vemo_Server_Crypt.ini"  # "Энигма" in code page 1251
      echo "sign_Enigma.password=secret" >"$home/fake/script"
      as=(env ASAN_OPTIONS=detect_leaks=0:halt_on_error=1)
    fi

    if [ "$scenario" = failed-start ]; then
      # The signer refuses to start: by design the program then does not serve at all.
      echo "AvCmInit.1=$start_failure" >"$home/fake/script"
      start "$bin" "$home" "${as[@]}"
      sleep 3
      before_rss=$(status VmRSS) before_threads=$(status Threads)
      refused=0
      for _ in 1 2 3 4 5; do
        curl -s -k --max-time 5 'https://localhost:9009/?action=checkLs' >/dev/null ||
          refused=$((refused + 1))
      done
      alive=$(kill -0 "$program" 2>/dev/null && echo "yes (not serving)" || echo NO)
      said=$(grep -c 'Ошибка инициализации Авест' "$home/program.out" || true)
      cells="| 5 | $((5 - refused)) | $refused | 0 | 0 | — | $alive | $before_rss → $(status VmRSS) | $before_threads → $(status Threads) |"
      note="AvCmInit(1) answers E82A014E: \"Ошибка инициализации Авест\" shown $said time(s), no server"
      echo "  $note" >&2
    elif start "$bin" "$home" "${as[@]}" && ! wait_for_service; then
      cells="| — | — | — | — | — | — | NO |  |  |"
      note="the program did not start serving in 10 s"
    else
      [ "$scenario" = enigma ] && type_enigma_password "$home"
      # The CA apart from the data folder, which "files" takes away.
      cp "$data/localhost-ca.pem" "$home/ca.pem"
      {
        read -r cells
        read -r note
      } < <("$tool" "$home/ca.pem" "$program" "$data" "$home/fake" "$scenario" ||
            true)
      if [ "$scenario" = codes ]; then
        # The program's end with a module that fails to log out and to finish.
        printf 'AvCmLogout=%d\nAvCmInit.2=%d\n' $((0xE82A0137)) $((0xE82A0137)) \
          >"$home/fake/script"
        note+="; at the end AvCmLogout and AvCmInit(2) fail"
      fi
      [ "$scenario" = enigma ] && note+="; no leak detection (the X display's libraries)"
    fi
    finish "$home"
    if [ -n "$observer" ]; then
      kill "$observer"
      wait "$observer" 2>/dev/null || true
      observer=
    fi
    rows+=("| $scenario | $label |${cells#|} $ended | $note |")
  done
done

echo
echo "| scenario | build | sent | answered | unanswered by design | lost | hangs | well-behaved: answered, p50 / slowest | alive after | VmRSS kB before → after | threads before → after | end of the program | note |"
echo "|---|---|---|---|---|---|---|---|---|---|---|---|---|"
printf '%s\n' "${rows[@]}"
