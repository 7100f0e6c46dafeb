#!/usr/bin/env bash
# Makes sure the Debian packages the build and the tests use are installed.
# As root it installs what is missing; otherwise it names what is missing.
set -euo pipefail

# dpkg-dev: dpkg-shlibdeps for the package's dependencies; man-db and groff-base
# render the man page in the tests.
packages=(cmake ninja-build g++ pkg-config libncurses-dev libgtest-dev tmux clang libclang-rt-14-dev
  dpkg-dev man-db groff-base)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
  echo "Missing Debian packages: ${missing[*]}" >&2
  echo "Install them with: sudo apt-get install -y ${missing[*]}" >&2
  exit 1
fi
echo "Installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq "${missing[@]}"
