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
  cmake -S . -B "$dir" -G Ninja -DQ7M_WERROR=ON -DQ7M_TESTS=ON "$@" >/dev/null
  ninja -C "$dir" -j "$jobs"
  ctest --test-dir "$dir" --output-on-failure --no-tests=error -j "$jobs" --timeout 300
}

echo "== build and test =="
run_suite build
echo "== build and test with sanitizers =="
# The simulated board answers window accesses from its own SIGSEGV handler.
export ASAN_OPTIONS=handle_segv=0:allow_user_segv_handler=1:detect_leaks=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
run_suite build-sanitize -DQ7M_SANITIZE=ON

echo "== fuzz harnesses: replay the corpora =="
CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DQ7M_WERROR=ON -DQ7M_FUZZ=ON \
  -DQ7M_TESTS=OFF >/dev/null
ninja -C build-fuzz -j "$jobs" config_fuzz macro_fuzz receive_fuzz
for harness in config macro receive; do
  build-fuzz/bin/${harness}_fuzz -runs=0 fuzz/corpus/${harness} 2>&1 | tail -n 1
done
echo "fuzz corpora replayed"

echo "== Debian package: lintian =="
# Built from a normal build without the tests, as scripts/package.sh does.
scripts/package.sh >/dev/null
lintian -I --pedantic --fail-on error,warning build-package/q7m-uart_*.deb
echo "lintian: no error, no warning"
