#!/bin/sh
# 50 cycles of 100 live transport connections torn down by Finalize, in a
# private network namespace. Usage: bench/transport_teardown.sh <build dir> [cycles]
set -e
build=${1:-build/bench}
cycles=${2:-50}
exec unshare -rn sh -c "ip link set lo up && exec '$build/bench/TransportBench' teardown $cycles"
