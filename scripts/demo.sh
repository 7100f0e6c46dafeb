#!/usr/bin/env bash
# Builds q7m-uart and runs it on the simulated board in this terminal.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
cmake -S . -B build -G Ninja >/dev/null
ninja -C build q7m-uart PCIAccessDll_sim
exec build/bin/q7m-uart-sim
