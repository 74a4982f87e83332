#!/usr/bin/env bash
# Installs what is missing, builds the program and the benchmarks, and runs every benchmark
# in turn (headless, on Qt's offscreen platform; the start is timed on Xvfb). Each prints
# its figures with the goals beside them; none fails the run. Takes about five minutes.
# BENCH=name runs only bench/name.cpp's program.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/install-deps.sh bench
dir=build-bench
cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=ON
benches=()
for src in bench/*.cpp; do
  name=$(basename "$src" .cpp)
  [[ -n "${BENCH:-}" && "$name" != "$BENCH" ]] && continue
  benches+=("$name")
done
cmake --build "$dir" --target "${benches[@]}"
export QT_QPA_PLATFORM=offscreen
echo "load average before the run: $(cut -d' ' -f1-3 /proc/loadavg) (the figures assume an otherwise idle machine)"
for name in "${benches[@]}"; do
  "$dir/bench/$name" 2> >(grep -v -e 'XDG_RUNTIME_DIR' -e 'does not support raise' >&2)
  echo
done
