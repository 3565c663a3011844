#!/usr/bin/env bash
# Load on the web API: wrk against "/api/discover" (1000 displays, or
# HTTP_API_BENCH_DISPLAYS) at
# concurrency 1, 16 and 64, next to nginx serving the same JSON body as a
# static file on another loopback port. Every request closes its connection
# on both sides. Runs in a private network namespace (only lo, brought up
# here), so nothing else on the machine is reached or disturbed.
#
#   bench/http_api.sh [build-dir]      (default build/bench, made with -DTDS_BUILD_BENCH=ON)
#
# Needs wrk and nginx-light (Debian) and root or unprivileged user
# namespaces for unshare.
set -euo pipefail

if [ -z "${HTTP_API_BENCH_INNER:-}" ]; then
  for tool in wrk nginx unshare; do
    command -v "$tool" >/dev/null || { echo "missing: $tool (apt-get install wrk nginx-light)" >&2; exit 2; }
  done
  root=$(cd "$(dirname "$0")/.." && pwd)
  build=${1:-$root/build/bench}
  if [ ! -x "$build/bench/HttpApiBenchServer" ]; then
    cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTDS_BUILD_BENCH=ON -DTDS_BUILD_TESTS=ON >/dev/null
    ninja -C "$build" -j3 HttpApiBenchServer >/dev/null
  fi
  flags=(-n)
  [ "$(id -u)" -ne 0 ] && flags=(-r -n)
  exec env HTTP_API_BENCH_INNER=1 unshare "${flags[@]}" "$0" "$build"
fi

build=$1
ip link set lo up
work=$(mktemp -d /tmp/http-api-bench.XXXXXX)
api_port=18080
nginx_port=18081
displays=${HTTP_API_BENCH_DISPLAYS:-1000}
duration=${HTTP_API_BENCH_SECONDS:-5}
server_pid=""
nginx_pid=""
cleanup() {
  [ -n "$server_pid" ] && kill -TERM "$server_pid" 2>/dev/null && wait "$server_pid" 2>/dev/null || true
  [ -n "$nginx_pid" ] && kill -TERM "$nginx_pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

mkdir -p "$work/www/api" "$work/data"
# nginx's workers run as an unprivileged user: they must reach the body.
chmod 755 "$work" "$work/www" "$work/www/api"
CORVANE_DATA_ROOT="$work/data" "$build/bench/HttpApiBenchServer" $api_port $displays "$work/www/api/discover" \
  >"$work/server.out" 2>&1 &
server_pid=$!
for _ in $(seq 200); do grep -q READY "$work/server.out" 2>/dev/null && break; sleep 0.05; done
grep -q READY "$work/server.out" || { cat "$work/server.out"; exit 1; }

cat >"$work/nginx.conf" <<CONF
worker_processes auto;
daemon off;
pid $work/nginx.pid;
error_log $work/nginx-error.log;
events { worker_connections 1024; }
http {
  access_log off;
  keepalive_timeout 0;
  server {
    listen 127.0.0.1:$nginx_port;
    root $work/www;
    location / { default_type application/json; add_header Access-Control-Allow-Origin *; }
  }
}
CONF
chmod 644 "$work/www/api/discover"
nginx -c "$work/nginx.conf" -p "$work" &
nginx_pid=$!
for _ in $(seq 200); do
  curl -s -o /dev/null "http://127.0.0.1:$nginx_port/api/discover" 2>/dev/null && break; sleep 0.05
done

threads() { awk '/^Threads:/ {print $2}' "/proc/$server_pid/status"; }
bytes_api=$(curl -s "http://127.0.0.1:$api_port/api/discover" | wc -c)
bytes_nginx=$(curl -s "http://127.0.0.1:$nginx_port/api/discover" | wc -c)
echo "body: web API $bytes_api bytes, nginx $bytes_nginx bytes ($displays displays)"
before=$(threads)

# Requests per second and p99 (ms) of one wrk run.
run() {
  local url=$1 conns=$2 wthreads=$(( $2 < 4 ? $2 : 4 ))
  wrk -t"$wthreads" -c"$conns" -d"${duration}s" --latency -H "Connection: close" "$url" >"$work/wrk.out" 2>&1
  local rps p99 errors
  rps=$(awk '/^Requests\/sec:/ {print $2}' "$work/wrk.out")
  p99=$(awk '$1 == "99%" {v=$2; if (v ~ /us$/) {sub(/us$/,"",v); v/=1000} else if (v ~ /ms$/) {sub(/ms$/,"",v)} else if (v ~ /s$/) {sub(/s$/,"",v); v*=1000}; print v}' "$work/wrk.out")
  errors=$(awk '/Socket errors|Non-2xx/ {printf "%s ", $0}' "$work/wrk.out")
  echo "$rps $p99 ${errors:-}"
}

printf "%-5s %12s %10s %12s %10s %8s %8s\n" conc "api req/s" "api p99ms" "nginx req/s" "ngx p99ms" "rps x" "p99 x"
for c in 1 16 64; do
  read -r a_rps a_p99 a_err <<<"$(run "http://127.0.0.1:$api_port/api/discover" $c)"
  read -r n_rps n_p99 n_err <<<"$(run "http://127.0.0.1:$nginx_port/api/discover" $c)"
  printf "%-5s %12s %10s %12s %10s %8s %8s\n" "$c" "$a_rps" "$a_p99" "$n_rps" "$n_p99" \
    "$(awk -v a="$a_rps" -v n="$n_rps" 'BEGIN {printf "%.2f", a/n}')" \
    "$(awk -v a="$a_p99" -v n="$n_p99" 'BEGIN {printf "%.2f", a/n}')"
  [ -n "$a_err" ] && echo "      api: $a_err"
  [ -n "$n_err" ] && echo "      nginx: $n_err"
done

# Connection threads end once their sockets have closed.
for _ in $(seq 100); do [ "$(threads)" -le "$before" ] && break; sleep 0.05; done
echo "server threads: before $before, after $(threads)"
kill -TERM "$server_pid"
wait "$server_pid" || true
server_pid=""
grep "pending requests" "$work/server.out"
