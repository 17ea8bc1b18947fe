#!/bin/bash
# A reference HTTPS server for the benchmarks: Debian's nginx, run as the current user from a
# temporary prefix, answering every request on 127.0.0.1:PORT with the reply the service gives
# to "?action=checkLs" (same body, same headers); a request body of up to 64 MiB is read and
# dropped. Stopped when this script ends.
#
#   nginx-checkls.sh PORT CERT_CHAIN KEY [COMMAND ARGS...]
#
# With a command, runs it while the server is up and exits with its status; without one,
# serves until interrupted.
set -euo pipefail

if [[ $# -lt 3 ]]; then
  echo "usage: $0 PORT CERT_CHAIN KEY [COMMAND ARGS...]" >&2
  exit 2
fi
port=$1
certificate=$(realpath "$2")
key=$(realpath "$3")
shift 3

nginx=$(command -v nginx || echo /usr/sbin/nginx)
[[ -x $nginx ]] || { echo "nginx is not installed" >&2; exit 1; }

prefix=$(mktemp -d "${TMPDIR:-/tmp}/nginx-checkls.XXXXXX")
pid=""
stop() {
  if [[ -n $pid ]] && kill -0 "$pid" 2>/dev/null; then
    kill -QUIT "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  fi
  rm -rf "$prefix"
}
trap stop EXIT
trap 'exit 130' INT TERM

# As root nginx would hand its workers to "nobody"; keep them as the current user.
user_line=""
if [[ $(id -u) -eq 0 ]]; then
  user_line="user $(id -un) $(id -gn);"
fi

mkdir -p "$prefix/logs" "$prefix/temp"
cat >"$prefix/nginx.conf" <<EOF
$user_line
worker_processes 1;
daemon off;
pid $prefix/nginx.pid;
error_log $prefix/logs/error.log warn;
events { worker_connections 256; }
http {
  access_log off;
  server_tokens off;
  client_body_temp_path $prefix/temp/body;
  proxy_temp_path $prefix/temp/proxy;
  fastcgi_temp_path $prefix/temp/fastcgi;
  uwsgi_temp_path $prefix/temp/uwsgi;
  scgi_temp_path $prefix/temp/scgi;
  keepalive_requests 1000000;
  client_max_body_size 64m;
  server {
    listen 127.0.0.1:$port ssl;
    ssl_certificate $certificate;
    ssl_certificate_key $key;
    ssl_protocols TLSv1.2 TLSv1.3;
    location / {
      default_type "application/json; charset=utf-8";
      add_header Cache-Control "no-cache, no-store" always;
      add_header Access-Control-Allow-Headers "Content-Type, option" always;
      add_header Access-Control-Allow-Credentials "true" always;
      add_header Access-Control-Allow-Origin "*" always;
      add_header Access-Control-Allow-Methods "POST, GET, OPTIONS" always;
      return 200 '{"status":"OK"}';
    }
  }
}
EOF

"$nginx" -p "$prefix" -c "$prefix/nginx.conf" -e "$prefix/logs/error.log" &
pid=$!

# Up when the port answers; give up if nginx died or after five seconds.
for _ in $(seq 50); do
  if ! kill -0 "$pid" 2>/dev/null; then
    cat "$prefix/logs/error.log" >&2 || true
    echo "nginx did not start" >&2
    exit 1
  fi
  if (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; then
    break
  fi
  sleep 0.1
done
echo "nginx serves https://127.0.0.1:$port/ (pid $pid)" >&2

if [[ $# -gt 0 ]]; then
  status=0
  "$@" || status=$?
  exit "$status"
fi
wait "$pid"
