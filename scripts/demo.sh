#!/usr/bin/env bash
# Builds the programs and runs one on the simulated board in this terminal:
# q7m-uart by default, q7m-inspect with the argument "inspect". Needs only the
# packages that build and run the programs; the tests' are scripts/test.sh's.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh build
# A build folder made here without GoogleTest leaves the tests out, so that
# configuring does not ask for it; scripts/test.sh turns them on again.
options=()
if [ ! -f build/CMakeCache.txt ] &&
  ! dpkg-query -W -f='${Status}' libgtest-dev 2>/dev/null | grep -q "install ok installed"; then
  options+=(-DQ7M_TESTS=OFF)
fi
cmake -S . -B build -G Ninja "${options[@]}" >/dev/null
ninja -C build q7m-uart q7m-inspect PCIAccessDll_sim
if [ "${1:-}" = inspect ]; then
  exec build/bin/q7m-inspect-sim
fi
exec build/bin/q7m-uart-sim
