#!/usr/bin/env bash
# Fan-out of one 105-byte message to 100, 1000 and 5000 subscribers: the
# protocol-2 registry against Redis pub/sub and NATS (Debian's redis-server
# and nats-server, default settings) and a bare multi-threaded fan-out server
# (the client's floor), all side by side in one run, interleaved, PAIRS
# times. Prints each target's median p50/p99 and time to the first
# subscriber, and the medians of the per-pair ratios service/Redis and
# service/NATS. Everything runs in a private network namespace on free
# loopback ports; servers are stopped by pid.
#
# Usage: bench/fanout_compare.sh [build dir (default build/bench)]
#   PAIRS (default 5), SIZES (default "100 1000 5000"), THREADS (client's
#   receiving threads, default 4).
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/bench}
export PAIRS=${PAIRS:-5} SIZES=${SIZES:-"100 1000 5000"} THREADS=${THREADS:-4}

if [ -z "${FANOUT_IN_NAMESPACE:-}" ]; then
  if ! command -v redis-server >/dev/null || ! command -v nats-server >/dev/null; then
    apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
      redis-server nats-server >/dev/null
  fi
  if [ ! -x "$build/bench/FanOutCompare" ] || [ ! -x "$build/bench/Protocol2Bench" ]; then
    cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTDS_BUILD_BENCH=ON >/dev/null
    cmake --build "$build" --target FanOutCompare Protocol2Bench
  fi
  exec env FANOUT_IN_NAMESPACE=1 unshare -n "$0" "$build"
fi

ip link set lo up
# Many short-lived connections per run: room for their ports.
sysctl -qw net.ipv4.ip_local_port_range="10000 65000" || true
sysctl -qw net.ipv4.tcp_tw_reuse=1 || true
ulimit -n "$(ulimit -Hn)"
PATH=$PATH:/usr/sbin
client=$build/bench/FanOutCompare
work=$(mktemp -d)
pids=()
cleanup() {
  exec 9>&- 2>/dev/null || true
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT

redis_port=6400 nats_port=4300 bare_port=7400
redis-server --port $redis_port --bind 127.0.0.1 --save '' --appendonly no --maxclients 19000 \
  --logfile "$work/redis.log" &
pids+=($!)
nats-server -a 127.0.0.1 -p $nats_port -l "$work/nats.log" &
pids+=($!)
"$client" serve-bare $bare_port 4 &
pids+=($!)
# The registry serves until its input ends.
mkfifo "$work/registry.in"
"$build/bench/Protocol2Bench" serve <"$work/registry.in" >"$work/registry.log" 2>&1 &
pids+=($!)
exec 9>"$work/registry.in"

wait_port() {
  for _ in $(seq 200); do
    (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null && return 0
    sleep 0.05
  done
  echo "nothing listens on port $1" >&2
  return 1
}
wait_port $redis_port; wait_port $nats_port; wait_port $bare_port; wait_port 53202

echo "cores: $(nproc); message 105 bytes; client receiving threads: $THREADS; pairs: $PAIRS"
results=$work/results
: >"$results"
for size in $SIZES; do
  rounds=$(( size >= 5000 ? 100 : size >= 1000 ? 200 : 500 ))
  for pair in $(seq "$PAIRS"); do
    for target in service:53202 redis:$redis_port nats:$nats_port bare:$bare_port; do
      name=${target%%:*} port=${target##*:}
      line=$("$client" client "$name" "$port" "$size" "$rounds" "$THREADS") || { echo "$name $size failed" >&2; exit 1; }
      echo "$pair $line" >>"$results"
    done
  done
done

python3 - "$results" <<'PY'
import statistics, sys
rows = {}
for line in open(sys.argv[1]):
    f = line.split()
    pair, name, size = int(f[0]), f[1], int(f[2])
    rows[(name, size, pair)] = dict(p50=float(f[4]), p99=float(f[6]), first=float(f[8]))
sizes = sorted({k[1] for k in rows})
pairs = sorted({k[2] for k in rows})
med = statistics.median
print(f"{'subs':>5} {'target':>8} {'p50 ms':>8} {'p99 ms':>8} {'first ms':>9}")
for size in sizes:
    for name in ("service", "redis", "nats", "bare"):
        got = [rows[(name, size, p)] for p in pairs if (name, size, p) in rows]
        print(f"{size:>5} {name:>8} {med([g['p50'] for g in got]):8.3f} {med([g['p99'] for g in got]):8.3f} "
              f"{med([g['first'] for g in got]):9.3f}")
print()
print(f"{'subs':>5} {'vs':>6} {'ratio p50':>10} {'ratio p99':>10} {'ratio first':>12}")
for size in sizes:
    for other in ("redis", "nats"):
        r = lambda key: med([rows[("service", size, p)][key] / rows[(other, size, p)][key] for p in pairs])
        print(f"{size:>5} {other:>6} {r('p50'):10.2f} {r('p99'):10.2f} {r('first'):12.2f}")
print("(bare: a multi-threaded fan-out server doing nothing else: the client's floor)")
PY
