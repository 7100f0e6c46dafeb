#!/usr/bin/env bash
# Makes sure the Debian packages of a task are installed. As root it installs
# what is missing; otherwise it names what is missing and fails.
#
#   scripts/deps.sh build      build and run the programs (the demo)
#   scripts/deps.sh package    build the Debian package
#   scripts/deps.sh [test]     build and run every test (the default)
#   scripts/deps.sh --list SET print the packages of a set, one a line
set -euo pipefail

build=(cmake ninja-build g++ pkg-config libncurses-dev)
# dpkg-dev: dpkg-shlibdeps computes the package's dependencies.
package=("${build[@]}" dpkg-dev)
# libclang-rt-dev is the runtime of the default clang (libFuzzer), named
# through the clang package's own source rather than a version; man-db and
# groff-base render the man pages; lintian checks the package; adduser,
# passwd, mount and util-linux (unshare, setpriv) serve the install tests;
# picocom, python3-pexpect, lrzsz, ser2net and python3-serial are the serial
# tools the bridge's tests drive; systemd checks the bridge's unit
# (systemd-analyze verify; it need not run); conserver-server, conserver-client,
# labgrid and python3-pytest are the lab's tools its lab tests drive, with
# util-linux's agetty and login on the board's side; mmdebstrap builds a
# Debian root file system in which systemd-container's systemd-nspawn boots
# systemd, to run the bridge's unit under a real service manager.
test=("${package[@]}" libgtest-dev tmux clang libclang-rt-dev man-db groff-base lintian
  adduser passwd mount util-linux picocom python3-pexpect lrzsz ser2net python3-serial
  systemd conserver-server conserver-client labgrid python3-pytest login
  systemd-container mmdebstrap)

list=false
if [ "${1:-}" = --list ]; then
  list=true
  shift
fi
case "${1:-test}" in
  build) packages=("${build[@]}") ;;
  package) packages=("${package[@]}") ;;
  test) packages=("${test[@]}") ;;
  *)
    echo "usage: $0 [--list] [build|package|test]" >&2
    exit 2
    ;;
esac
if $list; then
  printf '%s\n' "${packages[@]}"
  exit 0
fi

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
