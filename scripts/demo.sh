#!/usr/bin/env bash
# Builds the programs and runs one on the simulated board in this terminal:
# q7m-uart by default, q7m-inspect with the argument "inspect". Needs only the
# packages that build and run the programs; the tests' are scripts/test.sh's.
set -euo pipefail
cd "$(dirname "$0")/.."

# cmake and the build reach the checkout by its full path and write build/:
# a user who got here through a folder closed to them (a clone in another
# user's 0700 home) is told which folder, rather than cmake's "does not
# exist" or the shell's "Permission denied".
top=$(pwd -P)
user=$(id -un 2>/dev/null || id -u)
if ! (cd "$top") 2>/dev/null; then
  closed=$top
  dir=$top
  while [ "$dir" != / ]; do
    dir=$(dirname "$dir")
    [ -x "$dir" ] || closed=$dir
  done
  mode=$(stat -c '%A, owned by %U' "$closed" 2>/dev/null || echo unreadable)
  echo "demo.sh: this user ($user) cannot reach $top by its path:" \
    "$closed ($mode) is closed to it." >&2
  echo "Run the demo as the checkout's owner, or clone the project into a folder of your own." >&2
  exit 1
fi
if { [ -e build ] && ! [ -w build ]; } || { ! [ -e build ] && ! [ -w . ]; }; then
  owner=$(stat -c %U "$([ -e build ] && echo build || echo .)")
  echo "demo.sh: this user ($user) cannot write the build folder $top/build ($owner's)." >&2
  echo "Run the demo as the checkout's owner, or clone the project into a folder of your own." >&2
  exit 1
fi

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
