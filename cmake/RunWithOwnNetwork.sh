#!/bin/sh
# Runs a test that binds the service's fixed ports (53200-53202) in a network
# namespace of its own, with loopback up and those ports kept out of the
# ephemeral range. On a shared machine any program's outgoing connection may
# otherwise be given one of them as its local port, and its TIME_WAIT holds
# the port for a minute. Where namespaces are not available the test runs
# here as it is.
if unshare -rn true 2>/dev/null; then
  exec unshare -rn sh -c '
    ip link set lo up 2>/dev/null || ifconfig lo up 2>/dev/null
    echo 53200-53202 > /proc/sys/net/ipv4/ip_local_reserved_ports 2>/dev/null
    exec "$@"' sh "$@"
fi
exec "$@"
