#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for a bounded time
# (FUZZ_SECONDS, default 30) under AddressSanitizer. Fails on any crash, leak
# or oversized allocation.
set -uo pipefail
cd "$(dirname "$0")/.."
seconds=${FUZZ_SECONDS:-30}
dir=build/fuzz
echo "=== [fuzz] configure and build"
CC=clang CXX=clang++ cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DTDS_FUZZ=ON -DTDS_BUILD_TESTS=OFF >"$dir.configure.log" 2>&1 || { cat "$dir.configure.log"; exit 1; }
cmake --build "$dir" -j "$(nproc)" || exit 1
status=0
shopt -s nullglob
targets=("$dir"/fuzz/fuzz_*)
for t in "${targets[@]}"; do
  [ -x "$t" ] || continue
  name=$(basename "$t")
  corpus="$dir/corpus/$name"
  mkdir -p "$corpus"
  seeds=()
  [ -d "fuzz/seeds/$name" ] && seeds=("fuzz/seeds/$name")
  echo "=== [fuzz] $name for ${seconds}s"
  if ! "$t" -max_total_time="$seconds" -rss_limit_mb=2048 -malloc_limit_mb=256 -timeout=10 \
       -print_final_stats=0 "$corpus" "${seeds[@]}" >"$dir/$name.log" 2>&1; then
    tail -n 60 "$dir/$name.log"
    status=1
  else
    grep -E "^(#[0-9]+|Done)" "$dir/$name.log" | tail -n 1
  fi
done
echo "=== [fuzz] ${#targets[@]} targets run"
exit $status
