#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for a bounded time
# (FUZZ_SECONDS, default 30) under AddressSanitizer + UndefinedBehavior-
# Sanitizer. Fails on any crash, leak, undefined behaviour, oversized
# allocation or input that runs over 10 s. Inputs are a few KiB, so a single
# allocation of FUZZ_MALLOC_LIMIT_MB (default 64) or more can only come from
# a length taken from the input: the 100 MiB string and body limits must
# never be reserved up front.
# FUZZ_JOBS (or JOBS) sets the build's parallelism (default: all cores).
set -uo pipefail
cd "$(dirname "$0")/.."
seconds=${FUZZ_SECONDS:-30}
jobs=${FUZZ_JOBS:-${JOBS:-$(nproc)}}
malloc_limit=${FUZZ_MALLOC_LIMIT_MB:-64}
dir=build/fuzz
mkdir -p build
echo "=== [fuzz] configure and build"
# Undefined behaviour must stop the run, not just print a line.
CC=clang CXX=clang++ cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DTDS_FUZZ=ON -DTDS_BUILD_TESTS=OFF -DCMAKE_CXX_FLAGS=-fno-sanitize-recover=undefined \
  >"$dir.configure.log" 2>&1 || { cat "$dir.configure.log"; exit 1; }
# Only the fuzz targets (and what they link) are built.
mapfile -t names < <(cmake --build "$dir" --target help | sed -n 's/^\(fuzz_[A-Za-z0-9_]*\):.*/\1/p' | sort -u)
if [ ${#names[@]} -eq 0 ]; then
  echo "=== [fuzz] no fuzz targets"
  exit 0
fi
cmake --build "$dir" -j "$jobs" --target "${names[@]}" || exit 1
status=0
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1}
export LSAN_OPTIONS=${LSAN_OPTIONS:-suppressions=$PWD/cmake/lsan.supp}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
for name in "${names[@]}"; do
  t="$dir/fuzz/$name"
  [ -x "$t" ] || { echo "=== [fuzz] $name was not built"; status=1; continue; }
  corpus="$dir/corpus/$name"
  mkdir -p "$corpus"
  seeds=()
  [ -d "fuzz/seeds/$name" ] && seeds=("fuzz/seeds/$name")
  echo "=== [fuzz] $name for ${seconds}s"
  if ! "$t" -max_total_time="$seconds" -rss_limit_mb=2048 -malloc_limit_mb="$malloc_limit" -timeout=10 \
       -print_final_stats=0 "$corpus" "${seeds[@]}" >"$dir/$name.log" 2>&1; then
    tail -n 60 "$dir/$name.log"
    status=1
  else
    grep -E "^(#[0-9]+|Done)" "$dir/$name.log" | tail -n 1
  fi
done
echo "=== [fuzz] ${#names[@]} targets run"
exit $status
