#!/usr/bin/env bash
# Builds the programs and runs one on the simulated board in this terminal:
# q7m-uart by default, q7m-inspect with the argument "inspect".
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
cmake -S . -B build -G Ninja >/dev/null
ninja -C build q7m-uart q7m-inspect PCIAccessDll_sim
if [ "${1:-}" = inspect ]; then
  LD_LIBRARY_PATH="$PWD/build/sim" exec build/bin/q7m-inspect
fi
exec build/bin/q7m-uart-sim
