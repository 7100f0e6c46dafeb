#!/usr/bin/env bash
# Builds the Debian package (q7m-uart_<version>_<arch>.deb) in build-package/,
# from a build without the tests.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh package

cmake -S . -B build-package -G Ninja -DQ7M_WERROR=ON -DQ7M_TESTS=OFF >/dev/null
ninja -C build-package -j "$(nproc)" q7m-uart q7m-inspect q7m-uart-bridge PCIAccessDll_sysfs PCIAccessDll_sim q7m-man
(cd build-package && cpack -G DEB)
deb=$(ls build-package/q7m-uart_*.deb)
dpkg -c "$deb"
echo "Built $deb; install it with: sudo apt-get install ./$deb"
