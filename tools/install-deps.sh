#!/usr/bin/env bash
# Installs the Debian 12 packages that are missing for what is asked:
#   tools/install-deps.sh          building and running the program
#   tools/install-deps.sh test     that, and the tests (fuzz target, simulator tools, Xvfb)
#   tools/install-deps.sh bench    that, and the benchmarks
set -euo pipefail
packages=(
  cmake ninja-build g++ pkg-config
  qt6-base-dev qt6-serialport-dev libgl-dev libglx-dev
  libboost-context-dev fonts-liberation2
)
case "${1:-run}" in
  run) ;;
  test) packages+=(libgtest-dev libx11-dev xvfb xauth xdotool imagemagick fonts-dejavu-core
                   srecord binutils clang libclang-rt-14-dev) ;;
  bench) packages+=(libgtest-dev libx11-dev xvfb xauth srecord strace) ;;
  *) echo "usage: $0 [run|test|bench]" >&2; exit 2 ;;
esac
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
((${#missing[@]})) || exit 0
if [[ $(id -u) -eq 0 ]]; then
  as_root=()
elif command -v sudo >/dev/null; then
  # sudo resets the environment: the variable has to be given on its own command line.
  as_root=(sudo)
else
  echo "Missing Debian packages (${missing[*]}): run this as root or install sudo." >&2
  exit 1
fi
"${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update -qq
"${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
