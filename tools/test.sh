#!/usr/bin/env bash
# Installs what is missing, builds everything and runs the tests.
# With SANITIZE=1 it builds into build-asan with AddressSanitizer and UBSan instead.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/install-deps.sh
dir=build
flags=()
if [[ "${SANITIZE:-0}" == 1 ]]; then
  dir=build-asan
  flags+=(-DVANTREL_SANITIZE=ON)
  # Qt keeps caches for the life of the process; only real errors should fail a test.
  export ASAN_OPTIONS=detect_leaks=0
  export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
fi
cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "${flags[@]}"
cmake --build "$dir"
ctest --test-dir "$dir" --output-on-failure -j "$(nproc)" --timeout 300
