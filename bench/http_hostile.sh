#!/usr/bin/env bash
# Hostile HTTP clients against the discovery service's web API, run by hand
# (as root, or with unprivileged user namespaces). The service runs inside a
# network namespace of its own (`unshare -n`, loopback up), so it never meets
# another service on this machine; bench/http_hostile.py starts and stops it
# by pid and prints the figures.
#   bench/http_hostile.sh [phase ...]   (slowloris idle stalled trailing flood bodies multipart churn documents)
#   TDS_BIN               service binary (default build/plain/.../TalvenorDiscoveryService)
#   HTTP_HOSTILE_SECONDS  attack length per phase (30)
#   HTTP_HOSTILE_FULL     displays of the full-size document phase (19500)
#   HTTP_HOSTILE_FLOOD_HOLD  seconds a never-reading flood connection is held (1)
#   HTTP_HOSTILE_CHURN    churned ids (200000)
set -euo pipefail
cd "$(dirname "$0")/.."
bin=${TDS_BIN:-build/plain/DiscoveryService/TalvenorDiscoveryService}
if [ "${HOSTILE_IN_NAMESPACE:-}" != 1 ]; then
  [ -x "$bin" ] || { echo "no service binary at $bin"; exit 1; }
  flags=(-n)
  [ "$(id -u)" -ne 0 ] && flags=(-r -n)
  # The whole run is bounded; the namespace ends with its last process.
  exec timeout --kill-after=30 3000 unshare "${flags[@]}" env HOSTILE_IN_NAMESPACE=1 "$0" "$@"
fi
ip link set lo up
ulimit -n "$(ulimit -Hn)"
exec python3 bench/http_hostile.py "$bin" "$@"
