#!/bin/sh
# Exactly-once delivery across socket cuts, at scale: 10000 messages of 1 B
# to 1 MiB with 100 cuts, in modes 1 and 2, inside a private network
# namespace (loopback only). Run by hand:
#   bench/adapter_cuts.sh [build dir]      (default build/bench)
# The build dir is configured with -DTDS_BUILD_BENCH=ON.
set -eu
build=${1:-build/bench}
bench="$build/bench/AdapterBench"
[ -x "$bench" ] || { echo "no $bench: build the AdapterBench target first" >&2; exit 1; }
status=0
for mode in 1 2; do
  CORVANE_NO_CRASH_HANDLER=1 unshare -rn sh -c "ip link set lo up && exec \"$bench\" cuts $mode 10000 1048576 100" &
  pid=$!
  wait "$pid" || status=1
done
exit $status
