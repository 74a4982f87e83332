#!/usr/bin/env bash
# Installs what is missing, builds the program (in build-run/, so that it leaves the test
# build's settings in build/ alone) and starts it.
set -euo pipefail
cd "$(dirname "$0")/.."
if [[ -z "${DISPLAY:-}" && -z "${WAYLAND_DISPLAY:-}" ]]; then
  echo "tools/run.sh: no display (neither DISPLAY nor WAYLAND_DISPLAY is set): the programmer is a desktop program; start this from a desktop session, or under xvfb-run." >&2
  exit 1
fi
tools/install-deps.sh run
cmake -S . -B build-run -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=OFF
cmake --build build-run --target vantrel9-programmer
exec build-run/shell/vantrel9-programmer
