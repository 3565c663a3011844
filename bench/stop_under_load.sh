#!/usr/bin/env bash
# SIGTERM under load, many times: for each build folder given (default
# build/asan and build/tsan), runs the stop-under-load test with 50 cycles of
# start, load (protocol-2 publishers and subscribers, protocol-1 updates and
# enumerations) and SIGTERM, each of which must end with exit status 0
# within 5 s. Each run has a network namespace of its own (loopback only,
# cmake/RunWithOwnNetwork.sh), so the fixed ports never meet another
# program's; the test starts and stops the service by pid.
#   bench/stop_under_load.sh [build folder...]
set -uo pipefail
cd "$(dirname "$0")/.."
cycles=${TDS_STOP_CYCLES:-50}
dirs=("$@")
[ ${#dirs[@]} -eq 0 ] && dirs=(build/asan build/tsan)
status=0
for dir in "${dirs[@]}"; do
  test_binary="$dir/DiscoveryService/Service/ServiceStopUnderLoadTest"
  if [ ! -x "$test_binary" ]; then
    echo "=== $dir: $test_binary is not built"
    status=1
    continue
  fi
  prefix=()
  # TSan needs the address-space layout without randomisation.
  if grep -q "^SANITIZE:STRING=thread" "$dir/CMakeCache.txt" 2>/dev/null; then
    prefix=(setarch "$(uname -m)" -R)
    export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1"
  fi
  echo "=== $dir: $cycles cycles"
  if ! cmake/RunWithOwnNetwork.sh env CORVANE_NO_CRASH_HANDLER=1 TDS_STOP_CYCLES="$cycles" "${prefix[@]}" \
      "$test_binary"; then
    status=1
  fi
done
exit $status
