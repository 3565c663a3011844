#!/usr/bin/env bash
# Builds and runs the whole test suite three times: a plain build, one under
# AddressSanitizer + UndefinedBehaviorSanitizer, and the threaded suites under
# ThreadSanitizer. Exits non-zero when any run fails. JOBS sets the build and
# test parallelism (default: the core count).
set -uo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh --test || exit 1

jobs=${JOBS:-$(nproc)}
status=0

# Headers are included by bare name, so their names must be unique.
clashes=$(git ls-files '*.h' | xargs -n1 basename | sort | uniq -d)
if [ -n "$clashes" ]; then
  echo "=== header names used more than once:"; echo "$clashes"; status=1
fi

# Only the platform layer calls the OS for files, clocks and processes.
scripts/check-os-calls.sh || status=1

run_config() {
  local name=$1; shift
  local dir=build/$name
  echo "=== [$name] configure and build"
  if ! cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >"$dir.configure.log" 2>&1; then
    cat "$dir.configure.log"; status=1; return
  fi
  if [ -n "${targets:-}" ]; then
    # Build-only configurations: just the libraries, no test run.
    # shellcheck disable=SC2086
    if ! cmake --build "$dir" -j "$jobs" --target $targets; then status=1; fi
    return
  fi
  if ! cmake --build "$dir" -j "$jobs"; then status=1; return; fi
  echo "=== [$name] tests"
  # ThreadSanitizer cannot map its shadow memory under the kernel's widest
  # address randomisation; running without randomisation avoids that.
  local prefix=()
  [ "$name" = tsan ] && command -v setarch >/dev/null && prefix=(setarch "$(uname -m)" -R)
  if ! "${prefix[@]}" ctest --test-dir "$dir" --output-on-failure -j "$jobs" --timeout 600; then status=1; fi
}

mkdir -p build
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=0:strict_string_checks=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1
export CORVANE_NO_CRASH_HANDLER=1

run_config plain -DCMAKE_CXX_FLAGS=-Werror
run_config asan -DSANITIZE=address
run_config tsan -DSANITIZE=thread -DTDS_TSAN_SUBSET=ON

# clang's lock analysis over the libraries: a member marked GUARDED_BY touched
# without its lock, or a lock taken against its annotations, fails the build.
# The two top libraries bring in every library below them.
if command -v clang++ >/dev/null; then
  targets="corvane_service corvane_web" run_config clang-tsa -DCMAKE_CXX_COMPILER=clang++ \
    "-DCMAKE_CXX_FLAGS=-Wthread-safety -Werror=thread-safety"
else
  echo "=== [clang-tsa] clang++ missing"; status=1
fi

if [ -x scripts/fuzz.sh ]; then
  scripts/fuzz.sh || status=1
fi

if [ $status -eq 0 ]; then echo "=== all test runs passed"; else echo "=== a test run FAILED"; fi
exit $status
