#!/usr/bin/env bash
# Builds everything with warnings as errors and runs every test: the normal
# build, then the same tests under AddressSanitizer and UndefinedBehaviorSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh

jobs=$(nproc)
export LANG=C.UTF-8

run_suite() {
  local dir=$1
  shift
  cmake -S . -B "$dir" -G Ninja -DQ7M_WERROR=ON "$@" >/dev/null
  ninja -C "$dir" -j "$jobs"
  ctest --test-dir "$dir" --output-on-failure -j "$jobs" --timeout 300
}

echo "== build and test =="
run_suite build
echo "== build and test with sanitizers =="
# The simulated board answers window accesses from its own SIGSEGV handler.
export ASAN_OPTIONS=handle_segv=0:allow_user_segv_handler=1:detect_leaks=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
run_suite build-sanitize -DQ7M_SANITIZE=ON
