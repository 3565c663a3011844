#!/usr/bin/env bash
# Hostile peers against the protocol-1 ports (53200/53201) and the bridge,
# run by hand (as root, for the network namespace). The service runs inside a
# network namespace of its own (`unshare -n`, loopback up), so it never meets
# another service on this machine; bench/protocol1_hostile.py starts and stops
# it by pid and prints the figures.
#   TDS_BIN        service binary (default build/plain/.../TalvenorDiscoveryService)
#   P1_SECONDS     length of each attack (20)
#   P1_PHASES      phases to run, comma-separated (all): enum,burst,stall,reset,
#                  rename,bridge,frames,silent,keepalive,window,kapartial,
#                  slotchurn,heldbudget,shared,rebuild,share
#   P1_KEEPALIVE_SECONDS  longest wait for the keep-alive peers to be closed (400)
#   P1_SHARE_CONNECTIONS  layered registration connections of the share phase (66)
set -euo pipefail
cd "$(dirname "$0")/.."
bin=${TDS_BIN:-build/plain/DiscoveryService/TalvenorDiscoveryService}
if [ "${P1_IN_NAMESPACE:-}" != 1 ]; then
  [ -x "$bin" ] || { echo "no service binary at $bin"; exit 1; }
  # The whole run is bounded; the namespace ends with its last process.
  exec timeout --kill-after=30 2400 unshare -n env P1_IN_NAMESPACE=1 "$0" "$@"
fi
ip link set lo up
ulimit -n 65536 2>/dev/null || ulimit -n 8192
exec python3 bench/protocol1_hostile.py "$bin"
