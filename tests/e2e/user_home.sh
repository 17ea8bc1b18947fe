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
