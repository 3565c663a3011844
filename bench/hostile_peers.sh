#!/usr/bin/env bash
# Hostile peers against the discovery service, run by hand (as root, for the
# network namespace). The service runs inside a network namespace of its own
# (`unshare -n`, loopback up), so it never meets another service on this
# machine; bench/hostile_peers.py starts and stops it by pid and prints the
# figures.
#   TDS_BIN       plain service binary (default build/plain/.../TalvenorDiscoveryService)
#   TDS_ASAN_BIN  ASan+UBSan binary for the mixed phase (default build/asan/...)
#   SUBSCRIBE_SECONDS (10), PUBLISH_SECONDS (60), MIXED_SECONDS (60)
set -euo pipefail
cd "$(dirname "$0")/.."
bin=${TDS_BIN:-build/plain/DiscoveryService/TalvenorDiscoveryService}
asan_bin=${TDS_ASAN_BIN:-build/asan/DiscoveryService/TalvenorDiscoveryService}
if [ "${HOSTILE_IN_NAMESPACE:-}" != 1 ]; then
  [ -x "$bin" ] || { echo "no service binary at $bin"; exit 1; }
  # The whole run is bounded; the namespace ends with its last process.
  exec timeout --kill-after=30 900 unshare -n env HOSTILE_IN_NAMESPACE=1 "$0" "$@"
fi
ip link set lo up
ulimit -n 65536 2>/dev/null || ulimit -n 8192
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1}
exec python3 bench/hostile_peers.py "$bin" "$asan_bin"
