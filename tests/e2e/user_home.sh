# Shared by the scripts that run the program as a user: a fresh home and the wait for the
# service. Source it; it defines functions only.

# use_fresh_home DIR: the program's files go below DIR; sets $data to its data folder.
use_fresh_home() {
  export HOME=$1 XDG_CONFIG_HOME=$1/.config XDG_RUNTIME_DIR=$1/run
  mkdir -p "$XDG_CONFIG_HOME" "$XDG_RUNTIME_DIR" && chmod 700 "$XDG_RUNTIME_DIR"
  data=$XDG_CONFIG_HOME/Tramontel_Vemo_Server_Crypt
}

# wait_for_service: until "checkLs" is answered over the program's own certificate (10 s).
wait_for_service() {
  for _ in $(seq 100); do
    [ -f "$data/localhost-ca.pem" ] && curl -s --cacert "$data/localhost-ca.pem" \
      'https://localhost:9009/?action=checkLs' >/dev/null && return 0
    sleep 0.1
  done
  echo "the service does not answer" >&2
  return 1
}

# start_display WORK: an Xvfb display of our own; exports DISPLAY and adds its pid to $pids.
start_display() {
  Xvfb -displayfd 3 -screen 0 1280x800x24 -nolisten tcp 3>"$1/display" >/dev/null 2>&1 &
  pids+=($!)
  for _ in $(seq 100); do [ -s "$1/display" ] && break; sleep 0.1; done
  export DISPLAY=:$(cat "$1/display")
}

# until_true CMD...: retries the command for up to 10 s.
until_true() {
  for _ in $(seq 100); do "$@" >/dev/null 2>&1 && return 0; sleep 0.1; done
  return 1
}

# new_work: a scratch folder in $work and a list $pids of processes to end, both cleaned up
# when the script exits (KEEP_WORK=1 keeps the folder for a look).
new_work() {
  work=$(mktemp -d)
  pids=()
  trap '_end_work' EXIT
}
_end_work() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  [ -n "${KEEP_WORK:-}" ] || rm -rf "$work"
}
