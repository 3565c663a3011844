#!/usr/bin/env bash
# Load on the web API of the real service, next to nginx serving the same
# "/api/discover" bytes as a static file: 10 displays at concurrency 16 and
# 1000 displays at concurrency 16 and 64 (HTTP_API_BENCH_CASES), displays
# published over protocol 2, service and nginx rounds interleaved; every
# request closes its connection on both sides. bench/http_api.py runs the
# rounds and prints the table. Runs in a private network namespace (only lo,
# brought up here), so nothing else on the machine is reached or disturbed.
#
#   bench/http_api.sh                  (as root, or with unprivileged user namespaces)
#   TDS_BIN   service binary (default build/bench/DiscoveryService/TalvenorDiscoveryService,
#             built here when missing)
#
# Needs wrk and nginx-light (Debian); installed here with apt-get when
# missing and run as root.
set -euo pipefail
cd "$(dirname "$0")/.."

if [ -z "${HTTP_API_BENCH_INNER:-}" ]; then
  if ! command -v wrk >/dev/null || ! command -v nginx >/dev/null; then
    if [ "$(id -u)" -eq 0 ] && command -v apt-get >/dev/null; then
      DEBIAN_FRONTEND=noninteractive apt-get install -y wrk nginx-light >/dev/null
    fi
  fi
  for tool in wrk nginx unshare python3; do
    command -v "$tool" >/dev/null || { echo "missing: $tool (apt-get install wrk nginx-light)" >&2; exit 2; }
  done
  bin=${TDS_BIN:-build/bench/DiscoveryService/TalvenorDiscoveryService}
  if [ ! -x "$bin" ]; then
    cmake -S . -B build/bench -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTDS_BUILD_BENCH=ON >/dev/null
    ninja -C build/bench -j3 TalvenorDiscoveryService >/dev/null
  fi
  flags=(-n)
  [ "$(id -u)" -ne 0 ] && flags=(-r -n)
  # The whole run is bounded; the namespace ends with its last process.
  exec timeout --kill-after=30 1800 env HTTP_API_BENCH_INNER=1 unshare "${flags[@]}" "$0" "$bin"
fi

ip link set lo up
ulimit -n "$(ulimit -Hn)"
exec python3 bench/http_api.py "$1"
